// The station's own thread: tasks posted from any thread and periodic timers
// identified by number (a timer keeps firing until it is killed).
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <thread>

#include "core/clock.h"

namespace ardentix {

// What the station needs from whoever runs its thread: the CLI's loop below,
// or the window's.
class Dispatcher {
 public:
  virtual ~Dispatcher() = default;
  // Runs the task on the station's thread; callable from any thread.
  virtual void Post(std::function<void()> task) = 0;
  // (Re)starts a periodic timer; each tick calls the timer handler with id.
  virtual void StartTimer(int id, Milliseconds period) = 0;
  virtual void KillTimer(int id) = 0;
  virtual void SetTimerHandler(std::function<void(int id)> handler) = 0;
};

// A loop for front ends without a window, and for tests. With a FakeClock,
// waiting for a timer moves the clock instead of waiting.
class EventLoop final : public Dispatcher {
 public:
  explicit EventLoop(Clock& clock);
  ~EventLoop() override;

  void Post(std::function<void()> task) override;
  void StartTimer(int id, Milliseconds period) override;
  void KillTimer(int id) override;
  void SetTimerHandler(std::function<void(int id)> handler) override;

  // Runs tasks and timers until Quit() (from any thread) or until `until`
  // returns true (checked after every task and tick).
  void Run(const std::function<bool()>& until = nullptr);
  void Quit();

  // Test control: runs every task queued so far (and those they post).
  void RunPending();
  // Test control: moves time forward by `duration`, firing due timers in
  // order and running tasks in between.
  void AdvanceBy(Milliseconds duration);
  bool TimerActive(int id) const;
  // Blocks (real time) until a task is posted or the timeout passes.
  bool WaitForTask(Milliseconds timeout);
  bool OnLoopThread() const;

 private:
  struct Timer {
    int64_t period;
    int64_t due;
  };
  bool RunOneTask();
  bool FireOneDueTimer(int64_t now);
  int64_t NextDue() const;  // INT64_MAX when none; caller holds mutex_

  Clock& clock_;
  mutable std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<std::function<void()>> tasks_;
  std::map<int, Timer> timers_;
  std::function<void(int)> timerHandler_;
  bool quit_ = false;
  std::thread::id loopThread_;
};

}  // namespace ardentix
