#include "core/event_loop.h"

#include <climits>

namespace ardentix {

EventLoop::EventLoop(Clock& clock) : clock_(clock), loopThread_(std::this_thread::get_id()) {}

EventLoop::~EventLoop() = default;

void EventLoop::Post(std::function<void()> task) {
  {
    std::lock_guard lock(mutex_);
    tasks_.push_back(std::move(task));
  }
  wake_.notify_all();
}

void EventLoop::StartTimer(int id, Milliseconds period) {
  std::lock_guard lock(mutex_);
  timers_[id] = Timer{period.count(), clock_.NowMs() + period.count()};
  wake_.notify_all();
}

void EventLoop::KillTimer(int id) {
  std::lock_guard lock(mutex_);
  timers_.erase(id);
}

void EventLoop::SetTimerHandler(std::function<void(int id)> handler) {
  std::lock_guard lock(mutex_);
  timerHandler_ = std::move(handler);
}

bool EventLoop::TimerActive(int id) const {
  std::lock_guard lock(mutex_);
  return timers_.count(id) != 0;
}

bool EventLoop::OnLoopThread() const { return std::this_thread::get_id() == loopThread_; }

int64_t EventLoop::NextDue() const {
  int64_t next = INT64_MAX;
  for (const auto& [id, t] : timers_) next = std::min(next, t.due);
  return next;
}

bool EventLoop::RunOneTask() {
  std::function<void()> task;
  {
    std::lock_guard lock(mutex_);
    if (tasks_.empty()) return false;
    task = std::move(tasks_.front());
    tasks_.pop_front();
  }
  task();
  return true;
}

bool EventLoop::FireOneDueTimer(int64_t now) {
  int id = 0;
  std::function<void(int)> handler;
  {
    std::lock_guard lock(mutex_);
    auto best = timers_.end();
    for (auto it = timers_.begin(); it != timers_.end(); ++it)
      if (it->second.due <= now && (best == timers_.end() || it->second.due < best->second.due)) best = it;
    if (best == timers_.end()) return false;
    id = best->first;
    best->second.due += best->second.period;
    if (best->second.due <= now) best->second.due = now + best->second.period;  // late: don't burst
    handler = timerHandler_;
  }
  if (handler) handler(id);
  return true;
}

void EventLoop::RunPending() {
  loopThread_ = std::this_thread::get_id();
  while (RunOneTask()) {
  }
}

void EventLoop::AdvanceBy(Milliseconds duration) {
  loopThread_ = std::this_thread::get_id();
  auto* fake = dynamic_cast<FakeClock*>(&clock_);
  const int64_t end = clock_.NowMs() + duration.count();
  RunPending();
  for (;;) {
    int64_t next;
    {
      std::lock_guard lock(mutex_);
      next = NextDue();
    }
    if (next > end) break;
    if (fake) fake->AdvanceTo(next);
    FireOneDueTimer(std::max(next, clock_.NowMs()));
    RunPending();
  }
  if (fake) fake->AdvanceTo(end);
  RunPending();
}

bool EventLoop::WaitForTask(Milliseconds timeout) {
  std::unique_lock lock(mutex_);
  return wake_.wait_for(lock, timeout, [&] { return !tasks_.empty() || quit_; });
}

void EventLoop::Quit() {
  {
    std::lock_guard lock(mutex_);
    quit_ = true;
  }
  wake_.notify_all();
}

void EventLoop::Run(const std::function<bool()>& until) {
  loopThread_ = std::this_thread::get_id();
  auto* fake = dynamic_cast<FakeClock*>(&clock_);
  for (;;) {
    {
      std::lock_guard lock(mutex_);
      if (quit_) {
        quit_ = false;
        return;
      }
    }
    if (until && until()) return;
    if (RunOneTask()) continue;
    if (FireOneDueTimer(clock_.NowMs())) continue;

    std::unique_lock lock(mutex_);
    if (!tasks_.empty() || quit_) continue;
    const int64_t next = NextDue();
    if (fake) {
      // Let other threads run a little before jumping to the next tick, so a
      // fake clock does not starve the workers with timer ticks.
      if (wake_.wait_for(lock, Milliseconds(1), [&] { return !tasks_.empty() || quit_; })) continue;
      if (next != INT64_MAX) fake->AdvanceTo(next);
      continue;
    }
    const int64_t now = clock_.NowMs();
    const auto wait = next == INT64_MAX ? Milliseconds(100) : Milliseconds(std::max<int64_t>(0, next - now));
    wake_.wait_for(lock, wait, [&] { return !tasks_.empty() || quit_; });
  }
}

}  // namespace ardentix
