// One device's burn, on its own thread: lock, SD stage, unlock, flash stage,
// then the result in its slot and the counters.
#include "QMR52916LIB_ext.h"
#include "burn/burn_engine.h"
#include "burn/continuous_line.h"
#include "burn/worker_watch.h"
#include "core/device_handle.h"

namespace ardentix {
namespace {


}  // namespace

void BurnEngine::NoteStage(char letter, const char* name, int64_t startedMs) {
  if (tWatch && tWatch->state.load() == WorkerWatch::GivenUp) return;  // a later run owns the report
  std::lock_guard lock(reportMutex_);
  reports_[letter].stageMs[name] = station_.clock().NowMs() - startedMs;
}

void BurnEngine::NoteBytes(char letter, int64_t written, int64_t verified) {
  if (tWatch && tWatch->state.load() == WorkerWatch::GivenUp) return;  // a later run owns the report
  std::lock_guard lock(reportMutex_);
  DeviceReport& r = reports_[letter];
  r.bytesWritten += written;
  r.bytesVerified += verified;
}

void BurnEngine::NoteChip(char letter, std::string chipType, int32_t clockMHz) {
  if (tWatch && tWatch->state.load() == WorkerWatch::GivenUp) return;  // a later run owns the report
  std::lock_guard lock(reportMutex_);
  DeviceReport& r = reports_[letter];
  r.chipType = std::move(chipType);
  r.clockMHz = clockMHz;
}

void BurnEngine::ReportBurnFailure(char letter, StatusCode code) {
  DeviceSlotTable& slots = station_.slots();
  slots.SetDeviceOutcome(letter, BurnOutcome::Failed);
  slots.SetDeviceResult(letter, code);
}

void BurnEngine::SaveCounterNow(bool passed) {
  // Written under one lock from the counter's current value, so that the
  // file ends with the newest count even when two workers finish together
  // and the slower writer holds an older increment.
  std::lock_guard lock(counterMutex_);
  // Counters that started from defaults because the file could not be read
  // would replace the real counts in it.
  if (!station_.countersWritable()) return;
  const int32_t value = passed ? station_.PassCount.load() : station_.FailCount.load();
  SaveCounter(station_.settingsPath(), passed, value);
}

void BurnEngine::BurnWorker(DeviceListEntry entry) {
  std::shared_ptr<WorkerWatch> watch;
  {
    std::lock_guard lock(watchMutex_);
    watch = watches_[size_t(entry.position) % watches_.size()];
  }
  tWatch = watch.get();
  void* h = QMR_INVALID_HANDLE;
  try {
    BurnDevice(entry, h);
  } catch (const WorkerGivenUp&) {
    // The watch has failed the device and settled its slot: nothing more of it is touched.
  }
  if (h != QMR_INVALID_HANDLE) QMR_CloseDevice(h);
  tWatch = nullptr;
  if (!watch) return;
  std::lock_guard lock(watchMutex_);
  watch->ended = true;
  if (watch->state.load() == WorkerWatch::GivenUp) --givenUpStillOut_;
  workerEnded_.notify_all();
}

void BurnEngine::BurnDevice(DeviceListEntry entry, void*& h) {
  const char letter = entry.driveLetter;
  const int lun = entry.lun;
  DeviceSlotTable& slots = station_.slots();
  Host& host = station_.host();
  Clock& clock = station_.clock();
  {
    std::lock_guard lock(reportMutex_);
    DeviceReport& r = reports_[letter];
    r = DeviceReport{};
    r.letter = letter;
    r.lun = lun;
    r.startedMs = clock.NowMs();
    r.flashIdText = station_.Identified(letter).flashIdText;
    r.continuous = lineRun_;
    r.location = LocationOf(letter);
  }
  slots.SetDeviceDuplicateSerial(letter, false);
  {
    std::lock_guard lock(reportMutex_);
    unitFields_.erase(letter);
  }

  StatusCode failureCode = 0;
  bool volumeLocked = false;
  bool passed = false;
  bool notResponding = false;
  const bool flashStage = runSettings.flashEnabled && lun == 0;

  const CommandBounds& bounds = station_.commandBounds();
  Beat();
  h = TVQ_OpenDevice(letter);  // the identify command within the control bound
  Beat();
  UnitIdentity unit;
  const UnitMatch match = h == QMR_INVALID_HANDLE ? UnitMatch::Unreadable : station_.CheckUnit(letter, h, &unit);
  Beat();
  if (h != QMR_INVALID_HANDLE && match == UnitMatch::Other) {
    // Not the unit the station identified under this letter (it was swapped
    // after the scan): nothing is burned and nothing counted for the one
    // that left; the newcomer is identified, and the next START burns it.
    station_.AdoptUnit(letter, h);
    QMR_CloseDevice(h);
    h = QMR_INVALID_HANDLE;
    // A worker the watch gave up on the way touches nothing more.
    if (tWatch) {
      int expected = WorkerWatch::Running;
      if (!tWatch->state.compare_exchange_strong(expected, WorkerWatch::Reporting)) return;
    }
    slots.SetDeviceProgress(letter, -1);
    slots.SetDeviceStage(letter, status::kDeviceReady);
    slots.SetDeviceStatus(letter, DeviceStatus::Ready);
    slots.SetDeviceOutcome(letter, BurnOutcome::None);
    slots.SetDeviceResult(letter, status::kOtherUnit);
    {
      std::lock_guard lock(reportMutex_);
      DeviceReport& r = reports_[letter];
      r.endedMs = clock.NowMs();
      r.outcome = BurnOutcome::None;
      r.stage = status::kDeviceReady;
      r.result = status::kOtherUnit;
    }
    NoteWorkerFinished();
    return;
  }
  if (match == UnitMatch::Same && flashStage) {
    std::lock_guard lock(reportMutex_);
    reports_[letter].serial = SerialDigits(unit.serial);
  }

  if (h == QMR_INVALID_HANDLE) {
    failureCode = status::kNoDeviceFound;
  } else if (match == UnitMatch::Unreadable) {
    // Its flash cannot be read: which unit it is cannot be told.
    failureCode = status::kFail;
  } else {
    Bound(h, bounds.transfer);
    slots.SetDeviceHandle(letter, h);
    slots.SetDeviceProgress(letter, -1);
    const bool sdStage = (runSettings.sd1Enabled && lun == 0) || (runSettings.sd2Enabled && lun == 1);
    do {
      if (sdStage && (host.OsMajorVersion() > 5 || runFiles.lockOnXp != 0)) {
        const int64_t t = clock.NowMs();
        slots.SetDeviceStage(letter, status::kLockDevice);
        for (int attempt = 0; attempt < kLockAttempts; ++attempt) {
          Beat();
          if (host.LockVolume(letter, h)) {
            volumeLocked = true;
            break;
          }
          clock.SleepFor(kLockRetryWait);
        }
        NoteStage(letter, "lock", t);
        if (!volumeLocked) {
          failureCode = status::kLockFailed;
          break;
        }
      }
      if (sdStage) {
        failureCode = BurnSdImage(letter, h, lun);
        if (failureCode != 0) break;
        slots.SetDeviceProgress(letter, -1);
        if (volumeLocked) {
          if (!host.UnlockVolume(letter, h)) {
            failureCode = status::kUnlockFailed;
            break;
          }
          volumeLocked = false;
        }
      } else {
        slots.SetDeviceProgress(letter, -1);
      }
      // A two-card device's second card is part of its burn: one pass or
      // fail for the device.
      const auto second = secondCards_.find(letter);
      if (runSettings.sd2Enabled && lun == 0 && second != secondCards_.end()) {
        {
          std::lock_guard lock(reportMutex_);
          reports_[letter].secondCardLetter = second->second;
        }
        failureCode = BurnSecondCard(letter, second->second);
        if (failureCode != 0) break;
        slots.SetDeviceProgress(letter, -1);
      }
      if (flashStage) {
        failureCode = BurnFlash(letter, h);
        if (failureCode != 0) break;
      }
      passed = true;
    } while (false);

    // A device that let a command go unanswered fails as that, whatever the
    // stage made of the failed command.
    notResponding = !passed && QMR_CommandTimedOut(h) == 1;
    if (notResponding) failureCode = status::kNotResponding;
    // A locked volume is always unlocked before the worker reports.
    if (volumeLocked && !host.UnlockVolume(letter, h)) {
      if (!notResponding) failureCode = status::kUnlockFailed;
      passed = false;
    }
  }

  // From here the worker reports, unless the watch has given it up.
  if (tWatch) {
    int expected = WorkerWatch::Running;
    if (!tWatch->state.compare_exchange_strong(expected, WorkerWatch::Reporting)) return;
  }
  slots.SetDeviceProgress(letter, -1);
  // What this worker settles, for its report: the slot itself may be cleared
  // at any moment by the removal check of a drive that has gone.
  StatusCode finalStage = 0, finalResult = 0;
  if (passed) {
    finalStage = status::kDownloadOk;
    finalResult = status::kSuccess;
    ++station_.PassCount;
    slots.SetDeviceStage(letter, status::kDownloadOk);
    slots.SetDeviceStatus(letter, DeviceStatus::Ready);
    slots.SetDeviceOutcome(letter, BurnOutcome::Passed);
    slots.SetDeviceResult(letter, status::kSuccess);
    SaveCounterNow(true);
    unitRate_->Note(clock.NowMs());
  } else {
    if (h != QMR_INVALID_HANDLE) QMR_CloseDevice(h);
    h = QMR_INVALID_HANDLE;
    ++station_.FailCount;
    SaveCounterNow(false);
    // A device that does not answer is not asked again: it waits to be pulled out.
    if (!notResponding) h = TVQ_OpenDevice(letter);
    finalStage = slots.GetDeviceStage(letter);
    if (notResponding) {
      slots.SetDeviceStatus(letter, DeviceStatus::AwaitingRemoval);
    } else if (h == QMR_INVALID_HANDLE) {
      slots.SetDeviceStatus(letter, DeviceStatus::AwaitingRemoval);
      failureCode = status::kRemoveDevice;
    } else {
      finalStage = status::kDeviceReady;
      slots.SetDeviceStage(letter, status::kDeviceReady);
      slots.SetDeviceStatus(letter, DeviceStatus::Ready);
    }
    finalResult = failureCode;
    ReportBurnFailure(letter, failureCode);
    // The unit under the letter now may not be the one this burn failed on
    // (it was swapped while its burn ran): the row is then the newcomer's.
    if (h != QMR_INVALID_HANDLE && station_.CheckUnit(letter, h) == UnitMatch::Other) {
      station_.AdoptUnit(letter, h);
      slots.SetDeviceOutcome(letter, BurnOutcome::None);
      slots.SetDeviceResult(letter, status::kOtherUnit);
    }
  }
  if (h != QMR_INVALID_HANDLE) QMR_CloseDevice(h);
  h = QMR_INVALID_HANDLE;
  slots.SetDeviceHandle(letter, InvalidDeviceHandle());
  {
    std::lock_guard lock(reportMutex_);
    DeviceReport& r = reports_[letter];
    r.endedMs = clock.NowMs();
    r.outcome = passed ? BurnOutcome::Passed : BurnOutcome::Failed;
    r.stage = finalStage;
    r.result = finalResult;
  }
  DeviceReport report;
  {
    std::lock_guard lock(reportMutex_);
    report = reports_[letter];
  }
  if (observer_) observer_->DeviceFinished(report);
  if (lineRun_)
    line_->WorkerDone(report);
  else
    NoteWorkerFinished();
}

}  // namespace ardentix
