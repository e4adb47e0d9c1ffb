// Jobs run one after another on a thread of their own, so that device
// commands (a probe, a scan) never hold up the station's thread. Each job's
// `then` part is posted back to the station's thread through the dispatcher.
#pragma once

#include <atomic>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

#include "core/event_loop.h"

namespace ardentix {

class BackgroundQueue {
 public:
  explicit BackgroundQueue(Dispatcher& dispatcher) : dispatcher_(dispatcher) {}
  ~BackgroundQueue() { Close(); }
  BackgroundQueue(const BackgroundQueue&) = delete;
  BackgroundQueue& operator=(const BackgroundQueue&) = delete;

  // `work` runs on the queue's thread; what it returns is the task posted to
  // the station's thread (may be empty).
  void Submit(std::function<std::function<void()>()> work) {
    {
      std::lock_guard lock(mutex_);
      if (closed_) return;
      jobs_.push_back(std::move(work));
      ++*pending_;
      if (!thread_.joinable()) thread_ = std::thread([this] { Run(); });
    }
    wake_.notify_one();
  }
  // Jobs submitted whose posted part has not yet run (station's thread).
  int Pending() const { return pending_->load(); }
  // Runs what is queued, then stops the thread; later submits are dropped.
  void Close() {
    std::thread t;
    {
      std::lock_guard lock(mutex_);
      closed_ = true;
      t = std::move(thread_);
    }
    wake_.notify_one();
    if (t.joinable()) t.join();
  }

 private:
  void Run() {
    std::unique_lock lock(mutex_);
    for (;;) {
      wake_.wait(lock, [this] { return closed_ || !jobs_.empty(); });
      if (jobs_.empty()) return;
      auto job = std::move(jobs_.front());
      jobs_.pop_front();
      lock.unlock();
      std::function<void()> then = job();
      // The posted part may run after the queue is gone: it holds only
      // the count.
      dispatcher_.Post([pending = pending_, then = std::move(then)] {
        if (then) then();
        --*pending;
      });
      lock.lock();
    }
  }

  Dispatcher& dispatcher_;
  mutable std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<std::function<std::function<void()>()>> jobs_;
  std::shared_ptr<std::atomic<int>> pending_ = std::make_shared<std::atomic<int>>(0);
  bool closed_ = false;
  std::thread thread_;
};

}  // namespace ardentix
