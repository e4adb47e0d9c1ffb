#include "records/line_sender.h"

#include <algorithm>

#include "core/strings.h"

namespace ardentix::records {

LineSender::LineSender(RecordOutbox& outbox, std::string url, Clock& clock, MessageSink* sink,
                       LineSenderOptions options)
    : outbox_(outbox), url_(std::move(url)), clock_(clock), sink_(sink), options_(options) {
  options_.Db.Abort = &stop_;
  if (options_.BatchSize == 0) options_.BatchSize = 1;
  if (options_.FirstRetry.count() <= 0) options_.FirstRetry = Milliseconds(1);
  options_.LongestRetry = std::max(options_.LongestRetry, options_.FirstRetry);
}

LineSender::~LineSender() { Stop(); }

void LineSender::Start() {
  if (thread_.joinable() || stop_) return;
  thread_ = std::thread([this] { Run(); });
}

void LineSender::Wake() {
  {
    std::lock_guard lock(mutex_);
    woken_ = true;
  }
  wake_.notify_all();
}

void LineSender::Stop() {
  {
    std::lock_guard lock(mutex_);
    stop_ = true;
  }
  wake_.notify_all();
  // From the sender's own thread (a sink that stops it): it ends by itself.
  if (thread_.joinable() && thread_.get_id() != std::this_thread::get_id()) thread_.join();
}

LineSenderStatus LineSender::Status() const {
  std::lock_guard lock(mutex_);
  return status_;
}

void LineSender::Run() {
  Milliseconds retry = options_.FirstRetry;
  while (!stop_) {
    const bool reused = db_ != nullptr;
    if (SendOnce()) {
      retry = options_.FirstRetry;
      continue;
    }
    if (stop_) break;
    // A connection that sat idle may have been closed by a server restart
    // since: one fresh connection straight away before pausing.
    if (reused && !db_) {
      if (SendOnce()) continue;
      if (stop_) break;
    }
    Pause(retry);
    retry = std::min(retry * 2, options_.LongestRetry);
  }
  db_.reset();
  std::lock_guard lock(mutex_);
  status_.state = LineSenderStatus::State::Stopped;
  status_.connected = false;
}

bool LineSender::SendOnce() {
  std::string error;
  {
    std::lock_guard lock(mutex_);
    woken_ = false;  // what Wake() announced so far is in the batch below
  }
  // The outbox first: while the line is down the status still tells how
  // many records wait.
  std::vector<UnitRecord> batch;
  if (!outbox_.Unsent(options_.BatchSize, batch, error)) {
    Fail("The station's record file cannot be read for the line: " + error);
    return false;
  }
  {
    std::lock_guard lock(mutex_);
    status_.unsent = batch.size();
    status_.unsentAtLeast = batch.size() >= options_.BatchSize;
  }
  if (!db_) {
    db_ = LineDb::Connect(url_, error, options_.Db);
    if (!db_) {
      Fail(error);
      return false;
    }
  }
  if (batch.empty()) {
    {
      std::lock_guard lock(mutex_);
      status_.state = LineSenderStatus::State::AllSent;
      status_.connected = true;
      status_.lastError.clear();
    }
    told_ = false;
    WaitForWake();
    return true;
  }
  {
    std::lock_guard lock(mutex_);
    status_.connected = true;
    if (status_.state != LineSenderStatus::State::Waiting) status_.state = LineSenderStatus::State::Sending;
  }
  if (!db_->Insert(batch, error)) {
    if (db_->Broken()) db_.reset();
    Fail(error);
    return false;
  }
  std::vector<std::string> ids;
  ids.reserve(batch.size());
  for (const auto& r : batch) ids.push_back(r.Id);
  if (!outbox_.MarkSent(ids, error)) {
    // The line has them; the next attempt sends them again, harmlessly.
    Fail("The station's record file cannot note the records sent to the line: " + error);
    return false;
  }
  {
    std::lock_guard lock(mutex_);
    status_.state = LineSenderStatus::State::Sending;
    status_.sent += batch.size();
    status_.unsent = status_.unsentAtLeast ? status_.unsent : 0;
    status_.lastError.clear();
  }
  told_ = false;
  return true;
}

void LineSender::Fail(const std::string& error) {
  {
    std::lock_guard lock(mutex_);
    status_.state = LineSenderStatus::State::Waiting;
    status_.connected = db_ != nullptr;
    status_.lastError = error;
    ++status_.failures;
  }
  // Once per outage: the status line keeps the latest reason.
  if (stop_ || told_) return;
  told_ = true;
  if (sink_) sink_->ShowMessage(error, text::kProgramCaption);
}

void LineSender::Pause(Milliseconds duration) {
  // In slices, so Stop() is not kept waiting for a long pause.
  const Milliseconds slice(100);
  while (duration.count() > 0 && !stop_) {
    const auto step = std::min(duration, slice);
    clock_.SleepFor(step);
    duration -= step;
  }
}

void LineSender::WaitForWake() {
  std::unique_lock lock(mutex_);
  wake_.wait(lock, [this] { return woken_ || stop_.load(); });
  woken_ = false;
}

std::unique_ptr<LineLink> StartLineLink(RecordOutbox& outbox, const std::string& url, Clock& clock,
                                        MessageSink* sink, std::string& error) {
  if (!CheckLineUrl(url, error)) return nullptr;
  auto sender = std::make_unique<LineSender>(outbox, url, clock, sink);
  sender->Start();
  return sender;
}

}  // namespace ardentix::records
