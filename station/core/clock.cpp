#include "core/clock.h"

#include <thread>

namespace ardentix {

int64_t SystemClock::NowMs() const {
  using namespace std::chrono;
  return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

void SystemClock::SleepFor(Milliseconds duration) {
  if (duration.count() > 0) std::this_thread::sleep_for(duration);
}

void FakeClock::SleepFor(Milliseconds duration) {
  slept_ += duration.count();
  now_ += duration.count();
  std::function<void(Milliseconds)> hook;
  {
    std::lock_guard lock(hookMutex_);
    hook = hook_;
  }
  if (hook) hook(duration);
}

void FakeClock::SetSleepHook(std::function<void(Milliseconds)> hook) {
  std::lock_guard lock(hookMutex_);
  hook_ = std::move(hook);
}

void FakeClock::AdvanceTo(int64_t ms) {
  int64_t cur = now_.load();
  while (cur < ms && !now_.compare_exchange_weak(cur, ms)) {
  }
}

}  // namespace ardentix
