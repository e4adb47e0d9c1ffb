// START: the checks, the run state, the volume lock pre-test and the workers.
#include <algorithm>
#include <cstring>

#include "QMR52916LIB_ext.h"
#include "burn/burn_engine.h"
#include "burn/continuous_line.h"
#include "burn/worker_watch.h"
#include "burnfiles/assemble.h"
#include "burnfiles/texts.h"
#include "core/device_handle.h"
#include "core/strings.h"

namespace ardentix {
namespace {

constexpr Milliseconds kWorkerStartInterval{500};
constexpr Milliseconds kLockTestWait{100};

// How long WaitForWorkers sleeps between looks at a worker still running.
constexpr std::chrono::milliseconds kWorkerLookInterval{200};

bool Exists(const std::filesystem::path& p) {
  std::error_code ec;
  return !p.empty() && std::filesystem::exists(p, ec);
}

}  // namespace

namespace {

constexpr std::chrono::milliseconds kGivenUpExitWait{2000};

Clock& RealClock() {
  static SystemClock clock;
  return clock;
}

}  // namespace

BurnEngine::BurnEngine(Station& station)
    : station_(station),
      unitRate_(std::make_unique<UnitRate>()),
      line_(std::make_unique<ContinuousLine>(*this, station)),
      watchClock_(&RealClock()) {
  controls_.startCaption = StringText(115);
  OnCheckBoxesChanged();
  station_.SetRunWatch([this] { WatchWorkers(); });
}

BurnEngine::~BurnEngine() {
  station_.SetRunWatch(nullptr);
  WaitForWorkers();
  // A given-up worker that the OS lets go soon ends before the engine does;
  // one still held after this is ended with the process.
  std::unique_lock lock(watchMutex_);
  workerEnded_.wait_for(lock, kGivenUpExitWait, [this] { return givenUpStillOut_ == 0; });
}

void BurnEngine::OnCheckBoxesChanged() {
  if (Running()) return;
  controls_.sd1OpenEnabled = checkBoxes.sd1Enabled != 0;
  controls_.sd2OpenEnabled = checkBoxes.sd2Enabled != 0;
  controls_.flashOpenEnabled = checkBoxes.flashEnabled != 0;
}

void BurnEngine::OnStartButton() {
  if (Running() && line_->Active())
    line_->Stop();
  else if (Running())
    StopBurn();
  else
    StartBurn();
}

void BurnEngine::SetBurnControls(bool enable) {
  // The Open buttons stay off during a run: a new package or image chosen
  // mid-run would change the files the workers are reading.
  controls_.sd1OpenEnabled = enable && checkBoxes.sd1Enabled != 0;
  controls_.sd2OpenEnabled = enable && checkBoxes.sd2Enabled != 0;
  controls_.flashOpenEnabled = enable && checkBoxes.flashEnabled != 0;
  controls_.startEnabled = enable;
  station_.SetPackageButtons(enable && station_.files().packageLoaded);
}

void BurnEngine::StopBurn() {
  station_.BurnRunning = 0;
  SetBurnControls(true);
  controls_.startCaption = StringText(115);
  station_.NotifyChanged();
}

void BurnEngine::StartBurn() {
  // The line starts with no device plugged in: they come as it runs.
  const bool line = continuousChecked;
  if (station_.rows().Count() == 0 && !line) return;
  BurnFileSet& files = station_.files();
  const RunSettings run = checkBoxes;
  MessageSink& messages = station_.messages();
  const std::string caption = text::kProgramCaption;
  if (run.sd1Enabled && !Exists(files.sd1ImagePath)) {
    messages.ShowMessage(StringText(121), caption);
    return;
  }
  if (run.sd2Enabled && !Exists(files.sd2ImagePath)) {
    messages.ShowMessage(StringText(1052), caption);
    return;
  }
  if (run.flashEnabled && !Exists(files.flashPackagePath)) {
    messages.ShowMessage(StringText(122), caption);
    return;
  }
  // A package that failed its import check is never burned.
  if (run.flashEnabled && !files.packageLoaded) {
    messages.ShowMessage(std::string(kMsgFormatError), caption);
    return;
  }
  // Without a catalogue every chip reads as too slow: each device would fail
  // and count against the yield for a fault of the station.
  if (run.flashEnabled && station_.catalogue().Count() == 0) {
    const std::string& problem = station_.catalogueProblem();
    messages.ShowMessage(problem.empty() ? std::string(StringText(1073)) : FormatText(StringText(1072), {problem}),
                         caption);
    return;
  }
  if (files.voiceReplaced || files.sysconfigReplaced) {
    const AssembleResult assembled = AssembleReplacedSections(files);
    if (!assembled.ok) {
      // The flags stay set and the old image stays in force: burning it
      // would silently drop the operator's replaced section.
      messages.ShowMessage(assembled.message.empty() ? assembled.detail : assembled.message, caption);
      return;
    }
  }

  WaitForWorkers();  // threads of the last run have all but returned
  runSettings = run;
  const Settings& settings = station_.settings();
  runFiles = RunFiles{files.sd1ImagePath, files.sd2ImagePath, files.flashPackagePath,
                      settings.WriteVerify, settings.SaveSdFile, settings.LockOnXp, {}};
  // Taken after the assembly, which clears the flags of what it replaced.
  if (files.flashPackagePath == files.assembledImagePath) {
    if (files.voiceInImage) runFiles.replacedSections.push_back("voice");
    if (files.sysconfigInImage) runFiles.replacedSections.push_back("sysconfig");
  }
  {
    std::lock_guard lock(reportMutex_);
    reports_.clear();
  }
  station_.BurnRunning = 1;
  lineRun_ = line;
  unitRate_->Start(station_.clock().NowMs());
  if (observer_) observer_->RunStarting(*this);
  SetBurnControls(false);
  controls_.startCaption = StringText(116);
  if (line) {
    // Stop stays at hand: it is how the line ends.
    controls_.startEnabled = true;
    line_->Begin();
    station_.NotifyChanged();
    return;
  }
  station_.NotifyChanged();

  // The pre-test opens devices and the workers start 500 ms apart: that runs
  // beside the station's thread so the window never stalls. Which drives it
  // starts is settled here: a removal check on this thread compacts the list,
  // and a walk over it from the other thread would pass over the drive that
  // moved into a place it had already visited.
  std::vector<DeviceListEntry> toStart = DrivesToBurn();
  std::lock_guard lock(threadMutex_);
  starter_ = std::thread([this, toStart = std::move(toStart)]() mutable { StartWorkers(std::move(toStart)); });
}

char BurnEngine::UnitOneOf(char letter) {
  std::string wanted = LocationOf(letter);
  if (wanted.empty()) return 0;
  wanted.back() = '1';
  uint32_t mask = station_.host().LogicalDriveMask() >> 2;
  for (char l = 'C'; mask != 0 && l <= 'Z'; ++l, mask >>= 1)
    if ((mask & 1) != 0 && l != letter && LocationOf(l) == wanted) return l;
  return 0;
}

std::vector<DeviceListEntry> BurnEngine::DrivesToBurn() {
  DeviceSlotTable& slots = station_.slots();
  std::vector<DeviceListEntry> toStart;
  secondCards_.clear();
  for (int position = 0; position < kMaxListedDevices; ++position) {
    const auto entry = slots.GetDeviceEntry(position);
    if (!entry || entry->driveLetter == 0) continue;
    if (slots.GetDeviceStatus(entry->driveLetter) != DeviceStatus::Ready) continue;
    // The location is read now: the device may have changed since it was
    // listed, or its unit may not have been readable then. A drive whose
    // unit cannot be read now is left out and its row says so: taken for
    // unit 0 it could get the flash burn through another unit, left as it is
    // it would pass with nothing burned.
    const int lun = LogicalUnitOf(entry->driveLetter);
    if (lun < 0) {
      slots.SetDeviceResult(entry->driveLetter, status::kLunUnknown);
      continue;
    }
    if (lun != 0) continue;
    if (entry->lun != 0) slots.SetDeviceLun(entry->driveLetter, 0);
    DeviceListEntry e = *entry;
    e.lun = 0;
    toStart.push_back(e);
    if (runSettings.sd2Enabled)
      if (const char second = UnitOneOf(e.driveLetter)) secondCards_[e.driveLetter] = second;
  }
  return toStart;
}

int BurnEngine::StartWorkers(std::vector<DeviceListEntry> toStart) {
  DeviceSlotTable& slots = station_.slots();
  // Every drive's lock is tested before any worker starts. The tests are
  // independent and mostly waiting, so they run side by side: eight drives
  // take as long as one.
  std::vector<int> locked(toStart.size(), 0);
  {
    std::vector<std::thread> tests;
    for (size_t i = 0; i < toStart.size(); ++i)
      tests.emplace_back([this, &locked, &toStart, i] { locked[i] = TestVolumeLock(toStart[i].driveLetter); });
    for (auto& t : tests) t.join();
  }
  if (std::find(locked.begin(), locked.end(), 0) != locked.end()) {
    // Which drives failed it (one that does not answer fails it within the
    // control bound): the operator knows which to pull.
    std::string drives;
    for (size_t i = 0; i < toStart.size(); ++i)
      if (locked[i] == 0) drives += std::string(drives.empty() ? "" : ", ") + toStart[i].driveLetter + ":";
    std::string message = StringText(1059);
    message.replace(message.find("%s"), 2, drives);
    station_.dispatcher().Post([this, message] {
      station_.messages().ShowMessage(message, text::kProgramCaption);
      // The run stays on with START enabled: the operator's next press
      // ends it.
      SetBurnControls(true);
      controls_.startEnabled = true;
      station_.NotifyChanged();
    });
    return 0;
  }

  // The images before any device: a fault in one refuses the whole run,
  // with nothing written and nothing counted.
  std::string refusal;
  if (!PrepareSdImages(toStart, refusal)) {
    station_.dispatcher().Post([this, refusal] {
      station_.messages().ShowMessage(refusal, text::kProgramCaption);
      EndRun();
    });
    return 0;
  }
  if (observer_) observer_->SdImagesPrepared(*this);

  FinishedWorkerCount = 0;
  RunDeviceCount = int(toStart.size());
  if (RunDeviceCount == 0) {
    station_.dispatcher().Post([this] { EndRun(); });
    return 1;
  }
  for (size_t i = 0; i < toStart.size(); ++i) {
    const DeviceListEntry entry = toStart[i];
    slots.SetDeviceStatus(entry.driveLetter, DeviceStatus::Burning);
    slots.SetDeviceResult(entry.driveLetter, status::kPending);
    {
      auto watch = std::make_shared<WorkerWatch>();
      watch->letter = entry.driveLetter;
      watch->sinceMs = watchClock_->NowMs();
      watch->boundMs = station_.commandBounds().control.count();
      std::lock_guard lock(watchMutex_);
      watches_[size_t(entry.position) % watches_.size()] = std::move(watch);
    }
    {
      std::lock_guard lock(threadMutex_);
      std::thread& slot = WorkerHandles[size_t(entry.position) % WorkerHandles.size()];
      if (slot.joinable()) slot.join();
      slot = std::thread([this, entry] { BurnWorker(entry); });
    }
    if (i + 1 < toStart.size()) station_.clock().SleepFor(kWorkerStartInterval);
  }
  return 1;
}

int BurnEngine::TestVolumeLock(char letter) {
  Clock& clock = station_.clock();
  Host& host = station_.host();
  const DeviceHandle h = DeviceHandle::Open(letter);
  if (!h) return 0;
  clock.SleepFor(kLockTestWait);
  if (!host.LockVolume(letter, h.get())) return 0;
  clock.SleepFor(kLockTestWait);
  if (!host.UnlockVolume(letter, h.get())) return 0;
  clock.SleepFor(kLockTestWait);
  return 1;
}

void BurnEngine::NoteWorkerFinished() {
  // Exactly one worker sees the count reach the run's size.
  if (FinishedWorkerCount.fetch_add(1) + 1 == RunDeviceCount) {
    FinishedWorkerCount = 0;
    station_.dispatcher().Post([this] { EndRun(); });
  }
}

void BurnEngine::EndRun() {
  auto end = [this] {
    ending_ = false;
    StopBurn();
    if (runEnded_) runEnded_();
  };
  ending_ = true;
  if (observer_)
    observer_->RunFinishing(end);
  else
    end();
}

void BurnEngine::WaitForWorkers() {
  // The starter takes the lock to start workers: join it outside the lock,
  // then the workers it started.
  std::thread starter;
  {
    std::lock_guard lock(threadMutex_);
    starter = std::move(starter_);
  }
  if (starter.joinable()) starter.join();
  {
    // A worker the OS holds past its bound is given up rather than waited for.
    std::unique_lock lock(watchMutex_);
    for (;;) {
      bool running = false;
      for (size_t i = 0; i < watches_.size(); ++i) {
        const std::shared_ptr<WorkerWatch> w = watches_[i];
        if (!w || w->ended) continue;
        if (w->state.load() == WorkerWatch::Running && PastBound(*w)) {
          GiveUp(i, *w);
          continue;
        }
        running = true;
      }
      if (!running) break;
      workerEnded_.wait_for(lock, kWorkerLookInterval);
    }
  }
  std::array<std::thread, kMaxListedDevices> workers;
  {
    std::lock_guard lock(threadMutex_);
    for (size_t i = 0; i < workers.size(); ++i) workers[i] = std::move(WorkerHandles[i]);
  }
  for (auto& t : workers)
    if (t.joinable()) t.join();
  line_->JoinWorkers();
}

std::filesystem::path BurnEngine::SdCacheFile(int lun) const {
  return station_.stationDir() / "sd-cache" / (lun == 0 ? "sd1.img" : "sd2.img");
}

const PreparedSdImage* BurnEngine::PreparedSd(int lun) const {
  return lun == 0 || lun == 1 ? sdImages_[size_t(lun)].get() : nullptr;
}

bool BurnEngine::PrepareSdImages(const std::vector<DeviceListEntry>& drives, std::string& message) {
  DeviceSlotTable& slots = station_.slots();
  sdImages_ = {};
  // The smallest card of the run's logical-unit-0 drives, read when an
  // image needs it.
  auto measure = [&](uint64_t& cardBytes, std::string& name) {
    for (const auto& d : drives) {
      void* h = TVQ_OpenDevice(d.driveLetter);
      if (h == QMR_INVALID_HANDLE) continue;
      const unsigned long last = USB_ReadCapacity(h);
      QMR_CloseDevice(h);
      const uint64_t bytes = last ? (uint64_t(last) + 1) * 512 : 0;
      if (bytes && (cardBytes == 0 || bytes < cardBytes)) {
        cardBytes = bytes;
        name = std::string(1, d.driveLetter) + ":";
      }
    }
  };
  bool shown = false;
  auto show = [&](int32_t stage, uint64_t done, uint64_t total) {
    if (stage != status::kSdPreparing && !shown) return;
    shown = true;
    for (const auto& d : drives) {
      slots.SetDeviceStage(d.driveLetter, stage);
      slots.SetDeviceProgress(d.driveLetter, total ? int32_t(done * 100 / total) : 0);
    }
  };
  for (int lun = 0; lun < 2; ++lun) {
    if (!(lun == 0 ? runSettings.sd1Enabled : runSettings.sd2Enabled)) continue;
    SdPrepareOptions options;
    options.cacheFile = SdCacheFile(lun);
    if (lun == 0) options.measureCards = measure;
    options.progress = [&](uint64_t done, uint64_t total) { show(status::kSdPreparing, done, total); };
    auto prepared = std::make_shared<PreparedSdImage>();
    const bool ok = PrepareSdImage(lun == 0 ? runFiles.sd1ImagePath : runFiles.sd2ImagePath, options, *prepared,
                                   message);
    if (!ok) {
      show(status::kDeviceReady, 0, 0);
      sdImages_ = {};
      return false;
    }
    sdImages_[size_t(lun)] = std::move(prepared);
  }
  show(status::kDeviceReady, 0, 0);
  return true;
}

std::vector<DeviceReport> BurnEngine::Reports() const {
  std::lock_guard lock(reportMutex_);
  std::vector<DeviceReport> out;
  for (const auto& [letter, r] : reports_) out.push_back(r);
  return out;
}

}  // namespace ardentix
