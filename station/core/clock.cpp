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
}

void FakeClock::AdvanceTo(int64_t ms) {
  int64_t cur = now_.load();
  while (cur < ms && !now_.compare_exchange_weak(cur, ms)) {
  }
}

}  // namespace ardentix
