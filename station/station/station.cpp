#include "station/station.h"

#include <algorithm>
#include <cstdio>

#include "QMR52916LIB_ext.h"

#include "core/strings.h"

namespace ardentix {

Station::Station(Dispatcher& dispatcher, Clock& clock, Host& host, MessageSink& messages,
                 std::filesystem::path stationDir)
    : dispatcher_(dispatcher), clock_(clock), host_(host), messages_(messages), stationDir_(std::move(stationDir)) {
  dispatcher_.SetTimerHandler([this](int id) { OnTimer(id); });
  SetProgramDirectory(files_, stationDir_);
  catalogue_.SetPath(CataloguePath(stationDir_));
}

Station::~Station() { dispatcher_.SetTimerHandler(nullptr); }

void Station::SetCommandBounds(const CommandBounds& bounds) {
  commandBounds_ = bounds;
  QMR_SetDefaultCommandTimeout(static_cast<unsigned long>(bounds.control.count()));
}

void Station::Initialise() {
  SetCommandBounds(commandBounds_);
  char caption[128];
  std::snprintf(caption, sizeof caption, "FirmwareInfo RQ4820/B/(61700)(SPIBOOT) %s ", text::kVersion);
  caption_ = caption;
  // A file that cannot be read is said at once: the station would otherwise
  // refuse every chip, or count from zero, without a word.
  std::string why;
  catalogueReadError_.clear();
  if (!catalogue_.Load(&why) && !why.empty()) {
    catalogueReadError_ = why;
    messages_.ShowMessage("SpiList.ini cannot be read (" + why + "); no chip can be burned until it can.",
                          text::kProgramCaption);
  }

  files_.sd1ImagePath.clear();
  files_.sd2ImagePath.clear();
  files_.flashPackagePath.clear();
  ArrivalMask = 0;
  RemovalMask = 0;
  settings_ = LoadSettings(settingsPath(), &settingsReadError_);
  if (!settingsReadError_.empty())
    messages_.ShowMessage("RQ4820Ardentix.ini cannot be read (" + settingsReadError_ +
                              "); the default settings apply and the counters are not written to it.",
                          text::kProgramCaption);
  PassCount = settings_.PassCount;
  FailCount = settings_.FailCount;
  passCountShown = settings_.PassCount;
  failCountShown = settings_.FailCount;
  {
    std::lock_guard lock(scanMutex_);
    ScanDrives(host_.LogicalDriveMask());
  }
  dispatcher_.StartTimer(kRefreshTimer, kRefreshPeriod);
  files_.packageLoaded = false;
  files_.voiceReplaced = false;
  files_.sysconfigReplaced = false;
  NotifyChanged();
}

void Station::OnVolumeChange(bool arrived, uint32_t mask) {
  if (arrived) {
    ArrivalMask |= mask;
    dispatcher_.StartTimer(kArrivalTimer, kNotificationDelay);
  } else {
    // Removals add up like arrivals: two devices pulled together each send
    // their own notification, and a replaced mask would leave the first one
    // listed, so the next device plugged under its letter would be burned
    // with the serial number read from the one that left. The check probes
    // every letter, so a letter still present costs only that probe.
    RemovalMask |= mask;
    dispatcher_.StartTimer(kRemovalTimer, kNotificationDelay);
  }
}

void Station::OnTimer(int id) {
  if (id == kArrivalTimer && volumeHandler_.arrivals) {
    dispatcher_.KillTimer(kArrivalTimer);
    const uint32_t mask = ArrivalMask;
    ArrivalMask = 0;
    volumeHandler_.arrivals(mask);
  } else if (id == kRemovalTimer && volumeHandler_.removals) {
    dispatcher_.KillTimer(kRemovalTimer);
    const uint32_t mask = RemovalMask;
    RemovalMask = 0;
    volumeHandler_.removals(mask);
  } else if (id != kArrivalTimer && id != kRemovalTimer && id != kRefreshTimer) {
    if (volumeHandler_.timer) volumeHandler_.timer(id);
  } else if (id == kArrivalTimer && BurnRunning == 0) {
    dispatcher_.KillTimer(kArrivalTimer);
    std::lock_guard lock(scanMutex_);
    ScanDrives(ArrivalMask);
    ArrivalMask = 0;
  } else if (id == kRemovalTimer) {
    dispatcher_.KillTimer(kRemovalTimer);
    std::lock_guard lock(scanMutex_);
    CheckRemovedDrives(RemovalMask);
    RemovalMask = 0;
  } else if (id == kRefreshTimer) {
    if (runWatch_) runWatch_();
    RefreshDeviceRows();
  }
  // While a burn runs the arrival timer keeps ticking unserved, and the
  // package buttons stay as the burn set them.
  if (BurnRunning == 0) SetPackageButtons(files_.packageLoaded);
  NotifyChanged();
}

void Station::NotifyChanged() {
  if (changeListener_) changeListener_();
}

int Station::SlotIndex(char letter) { return DeviceSlotTable::FindDeviceSlot(letter); }

FlashSerial Station::FlashSerialCache(char letter) const {
  const int i = SlotIndex(letter);
  std::lock_guard lock(cacheMutex_);
  return i < 0 || !units_[size_t(i)] ? FlashSerial{} : units_[size_t(i)]->serial;
}

FlashUserId Station::FlashIdCache(char letter) const {
  const int i = SlotIndex(letter);
  std::lock_guard lock(cacheMutex_);
  return i < 0 || !units_[size_t(i)] ? FlashUserId{} : units_[size_t(i)]->userId;
}

void Station::SetUnitIdentity(char letter, const UnitIdentity& unit) {
  const int i = SlotIndex(letter);
  if (i < 0) return;
  std::lock_guard lock(cacheMutex_);
  units_[size_t(i)] = unit;
}

void Station::DropUnitIdentity(char letter) {
  const int i = SlotIndex(letter);
  if (i < 0) return;
  std::lock_guard lock(cacheMutex_);
  units_[size_t(i)].reset();
}

UnitMatch Station::CheckUnit(char letter, void* handle, UnitIdentity* identified) const {
  UnitIdentity now;
  if (!ReadUnitIdentity(letter, handle, now)) return UnitMatch::Unreadable;
  const int i = SlotIndex(letter);
  std::lock_guard lock(cacheMutex_);
  if (i < 0 || !units_[size_t(i)]) return UnitMatch::Other;
  const UnitIdentity& known = *units_[size_t(i)];
  // A block 0 the station changed but could not read back is unknown: the
  // serial it kept there stands for it, or an erased field where the burn
  // was cut between the erase and the rewrite (the next burn restores it).
  const bool erased = std::all_of(now.serial.begin(), now.serial.end(), [](uint8_t b) { return b == 0xFF; });
  const bool same = known.location == now.location && (known.block0.empty() ? known.serial == now.serial || erased
                                                                             : known.block0 == now.block0);
  if (!same) return UnitMatch::Other;
  if (identified) *identified = known;
  return UnitMatch::Same;
}

void Station::RenewBlockZero(char letter, void* handle) {
  // Read twice: one read that came back damaged would make the station take
  // this unit for another at its next burn. Two that differ leave block 0
  // unknown, and the serial stands for the unit.
  UnitIdentity now, again;
  const bool read = ReadUnitIdentity(letter, handle, now) && ReadUnitIdentity(letter, handle, again) &&
                    now.block0 == again.block0;
  const int i = SlotIndex(letter);
  if (i < 0) return;
  std::lock_guard lock(cacheMutex_);
  if (!units_[size_t(i)]) return;
  if (read)
    units_[size_t(i)]->block0 = std::move(now.block0);
  else
    units_[size_t(i)]->block0.clear();
}

IdentifiedDrive Station::Identified(char letter) const {
  const int i = SlotIndex(letter);
  std::lock_guard lock(cacheMutex_);
  return i < 0 ? IdentifiedDrive{} : identified_[size_t(i)];
}

void Station::SelectMasterImageDrive(int index) {
  masterImageSelection_ = index >= 0 && index < int(masterImageDrives_.size()) ? index : -1;
}

void Station::RemoveMasterImageDrive(char letter) {
  std::erase_if(masterImageDrives_, [letter](const std::string& e) { return !e.empty() && e[0] == letter; });
  masterImageSelection_ = masterImageDrives_.empty() ? -1 : 0;
}

char Station::RowLetter(int row) const {
  const std::string text = rows_.Text(row, 1);
  return text.empty() ? 0 : text[0];
}

}  // namespace ardentix
