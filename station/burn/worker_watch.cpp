// The watch over the workers: each device command runs within a bound (the
// handle's timeout); a worker that the OS holds far past it is given up, so
// one device that stops answering never holds the run, the window's close or
// the command line's end.
#include "burn/worker_watch.h"

#include <algorithm>

#include "QMR52916LIB_ext.h"

namespace ardentix {

// The watch of the worker on this thread; null elsewhere (the station's
// thread, tests calling the stages directly).
thread_local BurnEngine::WorkerWatch* tWatch = nullptr;

void BurnEngine::Bound(void* handle, Milliseconds bound) {
  QMR_SetCommandTimeout(handle, static_cast<unsigned long>(bound.count()));
  if (tWatch) tWatch->boundMs = bound.count();
  Beat();
}

void BurnEngine::Beat() {
  if (tWatch == nullptr) return;
  if (tWatch->state.load() == WorkerWatch::GivenUp) throw WorkerGivenUp{};
  tWatch->sinceMs = watchClock_->NowMs();
}

bool BurnEngine::PastBound(const WorkerWatch& watch) const {
  const CommandBounds& b = station_.commandBounds();
  const int64_t bound = std::max<int64_t>(watch.boundMs.load(), b.control.count());
  return watchClock_->NowMs() > watch.sinceMs.load() + 2 * bound + b.grace.count();
}

void BurnEngine::WatchWorkers() {
  std::lock_guard lock(watchMutex_);
  for (size_t i = 0; i < watches_.size(); ++i) {
    const std::shared_ptr<WorkerWatch>& w = watches_[i];
    if (w && !w->ended && w->state.load() == WorkerWatch::Running && PastBound(*w)) GiveUp(i, *w);
  }
}

void BurnEngine::GiveUp(size_t position, WorkerWatch& watch) {
  int expected = WorkerWatch::Running;
  if (!watch.state.compare_exchange_strong(expected, WorkerWatch::GivenUp)) return;  // it is reporting itself
  const char letter = watch.letter;
  DeviceSlotTable& slots = station_.slots();
  slots.SetDeviceProgress(letter, -1);
  slots.SetDeviceHandle(letter, InvalidDeviceHandle());
  slots.SetDeviceStatus(letter, DeviceStatus::AwaitingRemoval);
  ReportBurnFailure(letter, status::kNotResponding);
  ++station_.FailCount;
  SaveCounterNow(false);
  DeviceReport report;
  {
    std::lock_guard lock(reportMutex_);
    DeviceReport& r = reports_[letter];
    r.endedMs = station_.clock().NowMs();
    r.outcome = BurnOutcome::Failed;
    r.stage = slots.GetDeviceStage(letter);
    r.result = status::kNotResponding;
    if (runSettings.flashEnabled && r.lun == 0) r.serial = SerialDigits(station_.FlashSerialCache(letter));
    report = r;
  }
  if (observer_) observer_->DeviceFinished(report);
  {
    // The thread is left to return on its own; the next run starts a new one.
    std::lock_guard lock(threadMutex_);
    std::thread& t = WorkerHandles[position];
    if (t.joinable()) t.detach();
  }
  ++givenUpStillOut_;
  watches_[position].reset();
  NoteWorkerFinished();
}

}  // namespace ardentix
