// Device calls kept off the station's thread. Each call runs on a thread of
// its own, so a device that does not answer holds only its own call, never
// the window. What the call found is handed back as a continuation that runs
// on the station's thread: at once when the station waits briefly for quick
// answers (a device that answers is handled within the same event, as if it
// had been asked there), else as a task posted to the station's thread when
// the answer comes.
#pragma once

#include <chrono>
#include <functional>
#include <memory>

#include "core/event_loop.h"

namespace ardentix {

class OffThreadCalls {
 public:
  // What runs on the station's thread with the call's findings.
  using Continuation = std::function<void()>;
  // The device call itself, on its own thread; returns the continuation.
  using Call = std::function<Continuation()>;

  explicit OffThreadCalls(Dispatcher& dispatcher);
  // Continuations not yet run are dropped; a call still blocked in the OS is
  // left to return on its own and then finds nobody to tell. Threads whose
  // calls have returned are joined as their answers are taken.
  ~OffThreadCalls();
  OffThreadCalls(const OffThreadCalls&) = delete;
  OffThreadCalls& operator=(const OffThreadCalls&) = delete;

  // On the station's thread.
  void Run(Call call);
  // On the station's thread: waits up to `wait` (real time) for the calls
  // under way, running the continuations of those that answer (and waiting
  // for the calls those start, within the same time). The others run later,
  // posted. Returns how many are still under way.
  int WaitBriefly(std::chrono::milliseconds wait);
  int Outstanding() const;

 private:
  struct Shared;
  static void Drain(const std::shared_ptr<Shared>& shared);
  std::shared_ptr<Shared> shared_;
};

}  // namespace ardentix
