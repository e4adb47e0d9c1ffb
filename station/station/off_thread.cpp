#include "station/off_thread.h"

#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

namespace ardentix {

struct OffThreadCalls::Shared {
  struct Worker {
    std::thread thread;
    bool returned = false;  // the call is done (under mutex): joining waits only for its last steps
  };
  std::mutex mutex;
  // Touched on the station's thread only (but `returned`, under mutex).
  std::vector<std::shared_ptr<Worker>> workers;
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
  std::vector<std::shared_ptr<Shared::Worker>> workers;
  {
    std::lock_guard lock(shared_->mutex);
    shared_->dispatcher = nullptr;
    shared_->ready.clear();
    workers.swap(shared_->workers);
  }
  for (auto& w : workers) {
    bool returned = false;
    {
      std::lock_guard lock(shared_->mutex);
      returned = w->returned;
    }
    // A call still held by a wedged device is left to return on its own; it
    // keeps the shared state alive until then.
    if (returned)
      w->thread.join();
    else
      w->thread.detach();
  }
}

void OffThreadCalls::Run(Call call) {
  auto worker = std::make_shared<Shared::Worker>();
  {
    std::lock_guard lock(shared_->mutex);
    ++shared_->outstanding;
  }
  worker->thread = std::thread([shared = shared_, worker, call = std::move(call)] {
    Continuation next = call();
    std::lock_guard lock(shared->mutex);
    --shared->outstanding;
    worker->returned = true;
    if (shared->dispatcher == nullptr) return;
    if (next) shared->ready.push_back(std::move(next));
    shared->answered.notify_all();
    if (!shared->waiting) {
      std::weak_ptr<Shared> weak = shared;
      shared->dispatcher->Post([weak] {
        if (auto s = weak.lock()) Drain(s);
      });
    }
  });
  std::lock_guard lock(shared_->mutex);
  shared_->workers.push_back(std::move(worker));
}

void OffThreadCalls::Drain(const std::shared_ptr<Shared>& shared) {
  std::deque<Continuation> ready;
  std::vector<std::shared_ptr<Shared::Worker>> done;
  {
    std::lock_guard lock(shared->mutex);
    if (shared->dispatcher == nullptr) return;
    ready.swap(shared->ready);
    auto& w = shared->workers;
    for (auto it = w.begin(); it != w.end();) {
      if ((*it)->returned) {
        done.push_back(std::move(*it));
        it = w.erase(it);
      } else {
        ++it;
      }
    }
  }
  // Threads whose calls have returned are joined: only their last steps remain.
  for (auto& w : done) w->thread.join();
  for (Continuation& c : ready) c();
}

int OffThreadCalls::WaitBriefly(std::chrono::milliseconds wait) {
  // Continuations may start calls of their own (a removal asks the burning
  // drives): those get the rest of the same wait.
  const auto until = std::chrono::steady_clock::now() + wait;
  for (;;) {
    {
      std::unique_lock lock(shared_->mutex);
      shared_->waiting = true;
      shared_->answered.wait_until(lock, until,
                                   [this] { return shared_->outstanding == 0 || !shared_->ready.empty(); });
      shared_->waiting = false;
    }
    Drain(shared_);
    // A call a continuation started may already have answered: done only
    // when nothing is under way and no answer waits to be taken.
    {
      std::lock_guard lock(shared_->mutex);
      if (shared_->outstanding == 0 && shared_->ready.empty()) return 0;
    }
    if (std::chrono::steady_clock::now() >= until) return Outstanding();
  }
}

int OffThreadCalls::Outstanding() const {
  std::lock_guard lock(shared_->mutex);
  return shared_->outstanding;
}

}  // namespace ardentix
