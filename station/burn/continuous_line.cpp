// The continuous line's cycle. Everything here runs on the station's thread
// but the probes (on the line's background queue) and the workers; the scans
// a batch makes on the station's thread are made off it here, because other
// ports burn meanwhile.
#include "burn/continuous_line.h"
#include "core/device_handle.h"

#include <algorithm>

#include "QMR52916LIB.h"
#include "QMR52916LIB_ext.h"
#include "core/strings.h"

namespace ardentix {
namespace {

constexpr int64_t kHourMs = 3'600'000;
constexpr int64_t kMinuteMs = 60'000;

uint32_t Bit(char letter) { return letter >= 'A' && letter <= 'Z' ? 1u << (letter - 'A') : 0; }

}  // namespace

std::string CycleStateText(CycleState state) {
  switch (state) {
    case CycleState::Burning:
      return StringText(3304);
    case CycleState::DoneSwap:
      return StringText(3305);
    case CycleState::FailedSwap:
      return StringText(3306);
    case CycleState::Empty:
      return StringText(3307);
    case CycleState::Waiting:
      return StringText(3308);
  }
  return {};
}

void UnitRate::Start(int64_t nowMs) {
  std::lock_guard lock(mutex_);
  if (startMs_ < 0) startMs_ = nowMs;
}

void UnitRate::Note(int64_t nowMs) {
  std::lock_guard lock(mutex_);
  ends_.push_back(nowMs);
}

double UnitRate::PerHour(int64_t nowMs) const {
  std::lock_guard lock(mutex_);
  if (startMs_ < 0) return 0;
  while (!ends_.empty() && ends_.front() <= nowMs - kHourMs) ends_.pop_front();
  const int64_t span = std::clamp<int64_t>(nowMs - startMs_, kMinuteMs, kHourMs);
  return double(ends_.size()) * double(kHourMs) / double(span);
}

ContinuousLine::ContinuousLine(BurnEngine& engine, Station& station)
    : engine_(engine), station_(station), probes_(station.dispatcher()) {}

ContinuousLine::~ContinuousLine() {
  *alive_ = false;
  probes_.Close();
  JoinWorkers();
}

void ContinuousLine::Begin() {
  active_ = true;
  stopping_ = false;
  heldBack_ = 0;
  finished_.clear();
  identifiedMs_.fill(0);
  lastStartMs_ = INT64_MIN / 2;
  std::weak_ptr<bool> alive = alive_;
  auto guarded = [alive](auto f) {
    return [alive, f](auto... a) {
      if (auto p = alive.lock(); p && *p) f(a...);
    };
  };
  station_.SetVolumeHandler(VolumeHandler{guarded([this](uint32_t m) { OnArrivals(m); }),
                                          guarded([this](uint32_t m) { OnRemovals(m); }),
                                          guarded([this](int id) {
                                            if (id == kLineTimer) OnTick();
                                          })});
  station_.dispatcher().StartTimer(kLineTimer, kLineTick);
  // Arrivals the batch held back while no run was on are scanned now.
  if (station_.ArrivalMask != 0) {
    const uint32_t mask = station_.ArrivalMask;
    station_.ArrivalMask = 0;
    station_.dispatcher().KillTimer(kArrivalTimer);
    OnArrivals(mask);
  }
  OnTick();
}

void ContinuousLine::Stop() {
  if (!active_ || stopping_) return;
  stopping_ = true;
  EndIfDone();
  station_.NotifyChanged();
}

int ContinuousLine::Running() const {
  std::lock_guard lock(workerMutex_);
  return int(workers_.size());
}

bool ContinuousLine::WorkerOn(char letter) const {
  std::lock_guard lock(workerMutex_);
  return std::any_of(workers_.begin(), workers_.end(), [letter](const Worker& w) { return w.letter == letter; });
}

CycleState ContinuousLine::StateOf(char letter) const {
  const DeviceSlotTable& slots = station_.slots();
  if (slots.FindInDeviceList(letter) < 0) return CycleState::Empty;
  const DeviceStatus status = slots.GetDeviceStatus(letter);
  if (status == DeviceStatus::Burning) return CycleState::Burning;
  switch (slots.GetDeviceOutcome(letter)) {
    case BurnOutcome::Passed:
      return CycleState::DoneSwap;
    case BurnOutcome::Failed:
      return CycleState::FailedSwap;
    default:
      return status == DeviceStatus::AwaitingRemoval ? CycleState::FailedSwap : CycleState::Waiting;
  }
}

void ContinuousLine::OnTick() {
  if (!active_ || stopping_) return;
  Clock& clock = station_.clock();
  const int64_t now = clock.NowMs();
  // One start per tick at most, and never two closer than the batch's
  // spacing: the starts that would fall together are spread as in a batch.
  if (now < lastStartMs_ + kLineStartSpacing.count()) return;
  DeviceSlotTable& slots = station_.slots();
  for (int position = 0; position < slots.GetDeviceCount(); ++position) {
    const auto entry = slots.GetDeviceEntry(position);
    if (!entry || entry->driveLetter == 0 || entry->lun != 0) continue;
    const char letter = entry->driveLetter;
    // A device that has ended, passed or failed, waits to be swapped: it
    // is burned again only once it has been plugged in again.
    if (slots.GetDeviceStatus(letter) != DeviceStatus::Ready) continue;
    if (slots.GetDeviceOutcome(letter) != BurnOutcome::None) continue;
    const int64_t identified = identifiedMs_[size_t(letter - 'A')];
    if (identified != 0 && now < identified + kSettleTime.count()) continue;
    if (WorkerOn(letter)) continue;
    lastStartMs_ = now;
    StartDevice(*entry, now);
    return;
  }
}

void ContinuousLine::StartDevice(const DeviceListEntry& entry, int64_t nowMs) {
  DeviceSlotTable& slots = station_.slots();
  slots.SetDeviceStatus(entry.driveLetter, DeviceStatus::Burning);
  slots.SetDeviceResult(entry.driveLetter, status::kPending);
  {
    std::lock_guard lock(workerMutex_);
    workers_.push_back(Worker{entry.driveLetter, {}});
    workers_.back().thread = std::thread([this, entry] { engine_.BurnWorker(entry); });
  }
  Emit(LineEvent::Kind::Started, entry.driveLetter, nowMs);
  station_.NotifyChanged();
}

void ContinuousLine::WorkerDone(const DeviceReport& report) {
  std::weak_ptr<bool> alive = alive_;
  station_.dispatcher().Post([this, alive, report] {
    if (auto p = alive.lock(); p && *p) Finish(report);
  });
}

void ContinuousLine::Finish(const DeviceReport& report) {
  std::thread done;
  {
    std::lock_guard lock(workerMutex_);
    auto it = std::find_if(workers_.begin(), workers_.end(),
                           [&](const Worker& w) { return w.letter == report.letter; });
    if (it != workers_.end()) {
      done = std::move(it->thread);
      workers_.erase(it);
    }
  }
  if (done.joinable()) done.join();  // it has posted this as its last step
  finished_.push_back(report);
  Emit(LineEvent::Kind::Finished, report.letter, report.endedMs, &report);
  // A device plugged under this letter while its last worker ran is
  // identified now that the worker can no longer write its slot.
  if (heldBack_ & Bit(report.letter)) {
    heldBack_ &= ~Bit(report.letter);
    Probe(Bit(report.letter));
  }
  EndIfDone();
  station_.NotifyChanged();
}

void ContinuousLine::EndIfDone() {
  if (!active_ || !stopping_ || Running() != 0) return;
  active_ = false;
  station_.SetVolumeHandler({});
  station_.dispatcher().KillTimer(kLineTimer);
  // Letters left for a scan go to the station's own arrival scan.
  if (heldBack_ != 0) station_.OnVolumeChange(true, heldBack_);
  heldBack_ = 0;
  engine_.EndRun();
}

void ContinuousLine::OnArrivals(uint32_t mask) {
  // A letter whose last worker still runs (its device was pulled while it
  // burned) waits: the worker's last writes would land on the new device.
  for (char letter = 'C'; letter <= 'Z'; ++letter) {
    if ((mask & Bit(letter)) && WorkerOn(letter)) {
      heldBack_ |= Bit(letter);
      mask &= ~Bit(letter);
    }
  }
  mask &= ~station_.ListedMask();
  if (mask != 0) Probe(mask);
}

void ContinuousLine::Probe(uint32_t mask) {
  Station& station = station_;
  std::weak_ptr<bool> alive = alive_;
  probes_.Submit([this, &station, mask, alive]() -> std::function<void()> {
    std::vector<DriveProbe> found;
    for (char letter = 'C'; letter <= 'Z'; ++letter)
      if (mask & Bit(letter)) found.push_back(station.ProbeDrive(letter));
    return [this, alive, found = std::move(found)] {
      if (auto p = alive.lock(); !p || !*p) return;
      station_.ReleaseFinishedDevices();
      const int64_t now = station_.clock().NowMs();
      for (const DriveProbe& probe : found) {
        if (WorkerOn(probe.letter)) {  // pulled and plugged again while the probe ran
          heldBack_ |= Bit(probe.letter);
          continue;
        }
        if (!station_.AcceptProbedDrive(probe)) continue;
        identifiedMs_[size_t(probe.letter - 'A')] = now;
        Emit(LineEvent::Kind::Arrived, probe.letter, now);
      }
      station_.NotifyChanged();
    };
  });
}

void ContinuousLine::OnRemovals(uint32_t mask) {
  // The rows burning are probed too, as the batch's removal check does.
  uint32_t probe = mask;
  const DeviceSlotTable& slots = station_.slots();
  for (int b = 0; b < slots.GetDeviceCount(); ++b) {
    const char letter = slots.GetListedLetter(b);
    if (slots.GetDeviceStatus(letter) == DeviceStatus::Burning) probe |= Bit(letter);
  }
  std::weak_ptr<bool> alive = alive_;
  probes_.Submit([this, probe, mask, alive]() -> std::function<void()> {
    uint32_t gone = 0;
    for (char letter = 'C'; letter <= 'Z'; ++letter) {
      if ((probe & Bit(letter)) == 0) continue;
      if (!DeviceHandle::Open(letter)) gone |= Bit(letter);
    }
    return [this, alive, gone, mask] {
      if (auto p = alive.lock(); !p || !*p) return;
      const uint32_t listed = station_.ListedMask();
      station_.ApplyRemovedDrives(gone & mask, gone);
      for (char letter = 'C'; letter <= 'Z'; ++letter)
        if ((gone & mask & listed & Bit(letter)) != 0) Emit(LineEvent::Kind::Removed, letter, station_.clock().NowMs());
      station_.NotifyChanged();
    };
  });
}

void ContinuousLine::JoinWorkers() {
  std::list<Worker> workers;
  {
    std::lock_guard lock(workerMutex_);
    workers.swap(workers_);
  }
  for (Worker& w : workers)
    if (w.thread.joinable()) w.thread.join();
}

void ContinuousLine::Emit(LineEvent::Kind kind, char letter, int64_t ms, const DeviceReport* report) {
  if (!events_) return;
  LineEvent e;
  e.kind = kind;
  e.letter = letter;
  e.ms = ms;
  if (report) e.report = *report;
  events_(e);
}

}  // namespace ardentix
