#include "records/record_writer.h"

#include "records/record_store.h"

namespace ardentix::records {

RecordWriter::RecordWriter(RecordStore* store, Events events) : store_(store), events_(std::move(events)) {
  thread_ = std::thread([this] { Run(); });
}

RecordWriter::~RecordWriter() {
  Flush();
  {
    std::lock_guard lock(mutex_);
    stop_ = true;
  }
  wake_.notify_all();
  thread_.join();
}

void RecordWriter::SetStore(RecordStore* store) {
  std::lock_guard lock(mutex_);
  store_ = store;
}

void RecordWriter::Submit(UnitRecord record) {
  {
    std::lock_guard lock(mutex_);
    queue_.push_back(std::move(record));
  }
  wake_.notify_all();
}

bool RecordWriter::Flush() {
  std::unique_lock lock(mutex_);
  const uint64_t ticket = ++flushRequested_;
  wake_.notify_all();
  done_.wait(lock, [&] { return flushDone_ >= ticket; });
  return queue_.empty();
}

size_t RecordWriter::Waiting() const {
  std::lock_guard lock(mutex_);
  return queue_.size();
}

void RecordWriter::Run() {
  std::unique_lock lock(mutex_);
  // A failed batch is tried again only when asked (a new record or a
  // Flush), so a broken disk is not hammered in a loop.
  size_t failedAt = SIZE_MAX;  // queue size when the last attempt failed
  for (;;) {
    wake_.wait(lock, [&] {
      return stop_ || flushRequested_ > flushDone_ || (!queue_.empty() && queue_.size() != failedAt);
    });
    if (stop_ && flushRequested_ == flushDone_) return;
    const uint64_t flushing = flushRequested_;
    bool failed = false;
    if (!queue_.empty()) {
      std::vector<UnitRecord> batch(queue_.begin(), queue_.end());
      RecordStore* store = store_;
      lock.unlock();
      std::string error;
      const bool ok = store != nullptr && store->Add(batch, error);
      if (store == nullptr) error = "no records file is open";
      lock.lock();
      if (ok) {
        // Only what was taken: records submitted meanwhile stay queued.
        queue_.erase(queue_.begin(), queue_.begin() + std::ptrdiff_t(batch.size()));
        failedAt = SIZE_MAX;
        lock.unlock();
        if (events_.Committed) events_.Committed(batch);
        lock.lock();
      } else {
        failed = true;
        failedAt = queue_.size();
        const size_t waiting = queue_.size();
        lock.unlock();
        if (events_.Failed) events_.Failed(error, waiting);
        lock.lock();
      }
    }
    // A flush ends when everything is written or an attempt failed.
    if (flushing > flushDone_ && (queue_.empty() || failed)) {
      flushDone_ = flushing;
      done_.notify_all();
    }
  }
}

}  // namespace ardentix::records
