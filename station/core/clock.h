// Time as the station sees it. Every wait goes through a Clock so that tests
// run the station's fixed waits (seconds of them) without waiting.
#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>

namespace ardentix {

using Milliseconds = std::chrono::milliseconds;

class Clock {
 public:
  virtual ~Clock() = default;
  // Milliseconds since an arbitrary start; never goes back.
  virtual int64_t NowMs() const = 0;
  // Blocks the calling thread for the duration (or pretends to).
  virtual void SleepFor(Milliseconds duration) = 0;
  virtual bool IsReal() const = 0;
};

class SystemClock final : public Clock {
 public:
  int64_t NowMs() const override;
  void SleepFor(Milliseconds duration) override;
  bool IsReal() const override { return true; }
};

// A clock that moves only when told to or when someone sleeps on it: a sleep
// returns at once and moves time forward. Safe to use from many threads.
class FakeClock final : public Clock {
 public:
  int64_t NowMs() const override { return now_.load(); }
  void SleepFor(Milliseconds duration) override;
  bool IsReal() const override { return false; }
  void Advance(Milliseconds duration) { now_ += duration.count(); }
  void AdvanceTo(int64_t ms);
  // Total time slept by all threads, for checking the fixed waits.
  int64_t SleptMs() const { return slept_.load(); }
  // Called with the length of every sleep, on the sleeping thread, before
  // it returns: a test acts at a chosen wait of the station. Null for none.
  void SetSleepHook(std::function<void(Milliseconds)> hook);

 private:
  std::atomic<int64_t> now_{0};
  std::atomic<int64_t> slept_{0};
  std::mutex hookMutex_;
  std::function<void(Milliseconds)> hook_;
};

}  // namespace ardentix
