#include "station/off_thread.h"

#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

namespace ardentix {

struct OffThreadCalls::Shared {
  std::mutex mutex;
  std::condition_variable answered;
  std::deque<Continuation> ready;
  Dispatcher* dispatcher = nullptr;  // null once the owner is gone
  int outstanding = 0;
  bool waiting = false;  // the station's thread is in WaitBriefly and drains itself
};

OffThreadCalls::OffThreadCalls(Dispatcher& dispatcher) : shared_(std::make_shared<Shared>()) {
  shared_->dispatcher = &dispatcher;
}

OffThreadCalls::~OffThreadCalls() {
  std::lock_guard lock(shared_->mutex);
  shared_->dispatcher = nullptr;
  shared_->ready.clear();
}

void OffThreadCalls::Run(Call call) {
  {
    std::lock_guard lock(shared_->mutex);
    ++shared_->outstanding;
  }
  // Detached: a thread held by a wedged device must not hold its owner.
  // It keeps the shared state alive until it returns.
  std::thread([shared = shared_, call = std::move(call)] {
    Continuation next = call();
    std::lock_guard lock(shared->mutex);
    --shared->outstanding;
    if (shared->dispatcher == nullptr) return;
    if (next) shared->ready.push_back(std::move(next));
    shared->answered.notify_all();
    if (!shared->waiting) {
      std::weak_ptr<Shared> weak = shared;
      shared->dispatcher->Post([weak] {
        if (auto s = weak.lock()) Drain(s);
      });
    }
  }).detach();
}

void OffThreadCalls::Drain(const std::shared_ptr<Shared>& shared) {
  std::deque<Continuation> ready;
  {
    std::lock_guard lock(shared->mutex);
    if (shared->dispatcher == nullptr) return;
    ready.swap(shared->ready);
  }
  for (Continuation& c : ready) c();
}

int OffThreadCalls::WaitBriefly(std::chrono::milliseconds wait) {
  // Continuations may start calls of their own (a removal asks the burning
  // drives): those get the rest of the same wait.
  const auto until = std::chrono::steady_clock::now() + wait;
  for (;;) {
    int left = 0;
    {
      std::unique_lock lock(shared_->mutex);
      shared_->waiting = true;
      shared_->answered.wait_until(lock, until,
                                   [this] { return shared_->outstanding == 0 || !shared_->ready.empty(); });
      shared_->waiting = false;
      left = shared_->outstanding;
    }
    Drain(shared_);
    if (left == 0 && Outstanding() == 0) return 0;
    if (std::chrono::steady_clock::now() >= until) return Outstanding();
  }
}

int OffThreadCalls::Outstanding() const {
  std::lock_guard lock(shared_->mutex);
  return shared_->outstanding;
}

}  // namespace ardentix
