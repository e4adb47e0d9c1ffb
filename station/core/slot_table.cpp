#include "core/slot_table.h"

namespace ardentix {

DeviceSlotTable::DeviceSlotTable() {
  for (int i = 0; i < kDeviceSlotCount; ++i) slots_[i].driveLetter = char('A' + i);
}

int DeviceSlotTable::FindDeviceSlot(char letter) {
  return (letter >= 'A' && letter <= 'Z') ? letter - 'A' : -1;
}

DeviceSlot* DeviceSlotTable::Slot(char letter) {
  const int i = FindDeviceSlot(letter);
  return i < 0 ? nullptr : &slots_[i];
}

const DeviceSlot* DeviceSlotTable::Slot(char letter) const {
  const int i = FindDeviceSlot(letter);
  return i < 0 ? nullptr : &slots_[i];
}

void DeviceSlotTable::ResetSlot(DeviceSlot& slot) {
  slot.status = int32_t(DeviceStatus::Free);
  slot.outcome = int32_t(BurnOutcome::None);
  slot.stage = 0;
  slot.result = 0;
  slot.progress = -1;
  slot.duplicateSerial = 0;
}

void DeviceSlotTable::ClearEntry(StoredEntry& e) {
  e.position = -1;
  e.lun = -1;
  e.driveLetter = 0;
  e.spiClockMHz = kDefaultSpiClockMHz;
}

DeviceListEntry DeviceSlotTable::Copy(const StoredEntry& e) {
  return DeviceListEntry{e.position, e.lun, e.driveLetter, e.spiClockMHz.load()};
}

int DeviceSlotTable::FindLocked(char letter) const {
  if (letter == 0) return -1;  // empty entries carry letter 0; they are not "found"
  for (int i = 0; i < count_; ++i)
    if (entries_[i].driveLetter == letter) return i;
  return -1;
}

int DeviceSlotTable::AddToDeviceList(const DeviceListEntry& entry) {
  const char letter = entry.driveLetter;
  DeviceSlot* slot = Slot(letter);
  if (slot == nullptr) return 0;
  std::lock_guard lock(listMutex_);
  if (count_ >= kMaxListedDevices) return 0;
  const bool relisted = FindLocked(letter) >= 0;
  if (relisted) RemoveLocked(letter);

  StoredEntry& e = entries_[count_];
  e.position = count_;
  e.lun = entry.lun;
  e.driveLetter = letter;
  e.spiClockMHz = entry.spiClockMHz;
  ResetSlot(*slot);
  slot->status = int32_t(DeviceStatus::Ready);
  ++count_;
  return relisted ? 0 : 1;
}

int DeviceSlotTable::RemoveFromDeviceList(char letter) {
  std::lock_guard lock(listMutex_);
  return RemoveLocked(letter);
}

int DeviceSlotTable::RemoveLocked(char letter) {
  if (count_ == 0 || letter == 0) return 0;
  int found = -1;
  for (int i = count_ - 1; i >= 0; --i) {
    if (entries_[i].driveLetter == letter) {
      found = i;
      break;
    }
  }
  if (found < 0) return 0;

  if (DeviceSlot* slot = Slot(letter)) ResetSlot(*slot);
  for (int i = found; i + 1 < count_; ++i) {
    StoredEntry& to = entries_[i];
    const StoredEntry& from = entries_[i + 1];
    to.position = i;
    to.lun = from.lun;
    to.driveLetter = from.driveLetter;
    to.spiClockMHz = from.spiClockMHz.load();
  }
  ClearEntry(entries_[count_ - 1]);
  --count_;
  return 1;
}

int DeviceSlotTable::ReleaseDevice(char letter) {
  DeviceSlot* slot = Slot(letter);
  if (slot == nullptr) return 0;
  std::lock_guard lock(listMutex_);
  if (slot->status != int32_t(DeviceStatus::AwaitingRemoval)) return 0;
  // Freed even when the letter is no longer listed (a drive removed during
  // its burn); the result then says nothing was removed.
  ResetSlot(*slot);
  return RemoveLocked(letter);
}

int DeviceSlotTable::FindInDeviceList(char letter) const {
  std::lock_guard lock(listMutex_);
  return FindLocked(letter);
}

int DeviceSlotTable::GetDeviceCount() const {
  std::lock_guard lock(listMutex_);
  return count_;
}

std::optional<DeviceListEntry> DeviceSlotTable::GetDeviceEntry(int position) const {
  std::lock_guard lock(listMutex_);
  if (position < 0 || position >= count_) return std::nullopt;
  return Copy(entries_[position]);
}

char DeviceSlotTable::GetListedLetter(int position) const {
  std::lock_guard lock(listMutex_);
  if (position < 0 || position >= count_) return 0;
  return entries_[position].driveLetter;
}

std::optional<DeviceListEntry> DeviceSlotTable::FindDeviceEntry(char letter) const {
  std::lock_guard lock(listMutex_);
  const int i = FindLocked(letter);
  if (i < 0) return std::nullopt;
  return Copy(entries_[i]);
}

int DeviceSlotTable::SetDeviceSpiClock(char letter, int32_t mhz) {
  std::lock_guard lock(listMutex_);
  const int i = FindLocked(letter);
  if (i < 0) return 0;
  entries_[i].spiClockMHz = mhz;
  return 1;
}

int DeviceSlotTable::SetDeviceLun(char letter, int32_t lun) {
  std::lock_guard lock(listMutex_);
  const int i = FindLocked(letter);
  if (i < 0) return 0;
  entries_[i].lun = lun;
  return 1;
}

int DeviceSlotTable::SetDeviceStatus(char letter, DeviceStatus status) {
  DeviceSlot* s = Slot(letter);
  if (s == nullptr) return 0;
  s->status = int32_t(status);
  return 1;
}

DeviceStatus DeviceSlotTable::GetDeviceStatus(char letter) const {
  const DeviceSlot* s = Slot(letter);
  return s == nullptr ? DeviceStatus::Free : DeviceStatus(s->status.load());
}

int DeviceSlotTable::SetDeviceStage(char letter, int32_t code) {
  DeviceSlot* s = Slot(letter);
  if (s == nullptr) return 0;
  s->stage = code;
  return 1;
}

int32_t DeviceSlotTable::GetDeviceStage(char letter) const {
  const DeviceSlot* s = Slot(letter);
  return s == nullptr ? 0 : s->stage.load();
}

int DeviceSlotTable::SetDeviceResult(char letter, int32_t code) {
  DeviceSlot* s = Slot(letter);
  if (s == nullptr) return 0;
  s->result = code;
  return 1;
}

int32_t DeviceSlotTable::GetDeviceResult(char letter) const {
  const DeviceSlot* s = Slot(letter);
  return s == nullptr ? 0 : s->result.load();
}

int DeviceSlotTable::SetDeviceProgress(char letter, int32_t percent) {
  DeviceSlot* s = Slot(letter);
  if (s == nullptr) return 0;
  s->progress = percent;
  return 1;
}

int32_t DeviceSlotTable::GetDeviceProgress(char letter) const {
  const DeviceSlot* s = Slot(letter);
  return s == nullptr ? -1 : s->progress.load();
}

int DeviceSlotTable::SetDeviceDuplicateSerial(char letter, bool duplicate) {
  DeviceSlot* s = Slot(letter);
  if (s == nullptr) return 0;
  s->duplicateSerial = duplicate ? 1 : 0;
  return 1;
}

bool DeviceSlotTable::GetDeviceDuplicateSerial(char letter) const {
  const DeviceSlot* s = Slot(letter);
  return s != nullptr && s->duplicateSerial.load() != 0;
}

int DeviceSlotTable::SetDeviceOutcome(char letter, BurnOutcome outcome) {
  DeviceSlot* s = Slot(letter);
  if (s == nullptr) return 0;
  s->outcome = int32_t(outcome);
  return 1;
}

BurnOutcome DeviceSlotTable::GetDeviceOutcome(char letter) const {
  const DeviceSlot* s = Slot(letter);
  return s == nullptr ? BurnOutcome::None : BurnOutcome(s->outcome.load());
}

int DeviceSlotTable::SetDeviceHandle(char letter, void* handle) {
  DeviceSlot* s = Slot(letter);
  if (s == nullptr) return 0;
  s->handle = handle;
  return 1;
}

void* DeviceSlotTable::GetDeviceHandle(char letter) const {
  const DeviceSlot* s = Slot(letter);
  return s == nullptr ? InvalidDeviceHandle() : s->handle.load();
}

}  // namespace ardentix
