// What the watch over the workers knows of each one (see worker_watch.cpp).
#pragma once

#include <atomic>
#include <cstdint>

#include "burn/burn_engine.h"

namespace ardentix {

struct BurnEngine::WorkerWatch {
  enum State : int { Running, Reporting, GivenUp };
  char letter = 0;
  std::atomic<int> state{Running};
  std::atomic<int64_t> sinceMs{0};  // when the worker last showed life
  std::atomic<int64_t> boundMs{0};  // the bound of the commands it sends now
  std::atomic<bool> ended{false};   // the thread has returned
};

// The watch of the worker on this thread; null elsewhere (the station's
// thread, tests calling the stages directly).
extern thread_local BurnEngine::WorkerWatch* tWatch;

}  // namespace ardentix
