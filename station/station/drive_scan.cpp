// Which attached drives the station can burn: found at start-up and on volume
// notifications, identified through the device library, listed with a row.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <vector>

#include "QMR52916LIB.h"
#include "QMR52916LIB_ext.h"
#include "station/station.h"
#include "core/device_handle.h"
#include "core/status_codes.h"
#include "core/strings.h"

namespace ardentix {
namespace {

constexpr size_t kSerialOffset = 136;
constexpr size_t kUserIdOffset = 184;

bool IsInvalid(void* handle) { return handle == QMR_INVALID_HANDLE; }

bool BeginsWith(const unsigned char* field, const char* prefix) {
  return std::memcmp(field, prefix, std::strlen(prefix)) == 0;
}

// Product or vendor identification that marks a device of this family.
bool Recognised(const unsigned char inquiry[36]) {
  const unsigned char* vendor = inquiry + 8;
  const unsigned char* product = inquiry + 16;
  return BeginsWith(product, "RQ4820") || BeginsWith(product, "KPL4093") || BeginsWith(product, "QMR5291") ||
         BeginsWith(vendor, "Generic");
}

}  // namespace

int LogicalUnitOf(char letter) {
  char parent[36] = {};
  if (!TVQ_GetDeviceParentString(letter, parent)) return -1;
  const size_t n = std::strlen(parent);
  if (n == 0) return -1;
  return parent[n - 1] - '0';
}

std::string LocationOf(char letter) {
  char parent[36] = {};
  if (!TVQ_GetDeviceParentString(letter, parent)) return "";
  return std::string(parent, std::find(parent, parent + sizeof parent, 0));
}

bool ReadUnitIdentity(char letter, void* handle, UnitIdentity& out) {
  std::vector<unsigned char> block(64 * 1024, 0);
  if (IsInvalid(handle) || !TVQ_FlashRead(handle, block.data(), 0, 8)) return false;
  out.location = LocationOf(letter);
  out.block0.assign(block.begin(), block.begin() + 4096);
  std::memcpy(out.serial.data(), block.data() + kSerialOffset, out.serial.size());
  std::memcpy(out.userId.data(), block.data() + kUserIdOffset, out.userId.size());
  if (SerialDigits(out.serial).empty()) out.serial.fill(0xFF);
  return true;
}

std::string SerialDigits(const FlashSerial& serial) {
  std::string digits;
  for (size_t i = 0; i < serial.size(); i += 2) {
    if (serial[i] < '0' || serial[i] > '9' || serial[i + 1] != 0) return {};
    digits += char(serial[i]);
  }
  return digits;
}

int Station::ScanDrives(uint32_t mask) {
  ReleaseFinishedDevices();
  const int n = rows_.Count();
  mask >>= 2;  // "A:" and "B:" are never scanned
  for (char letter = 'C'; mask != 0 && letter <= 'Z'; ++letter, mask >>= 1) {
    if ((mask & 1) == 0) continue;
    const bool removable = host_.GetDriveType(letter) == DriveType::Removable;
    bool listed = false;
    for (int row = 0; row < n && !listed; ++row) listed = RowLetter(row) == letter;
    if (listed || !removable) continue;

    {
      const DeviceHandle h = DeviceHandle::Open(letter);
      if (!h) continue;
      unsigned char id[4] = {};
      // No flash chip answers.
      if (!TVQ_GetFlashID(h.get(), id) || (id[0] == 0xFF && id[1] == 0xFF && id[2] == 0xFF && id[3] == 0xFF))
        continue;
      // Only logical unit 0 carries the flash and is burned. A drive whose
      // unit cannot be read is left out: taking it for unit 0 could burn the
      // first card's image and the flash through another unit.
      if (LogicalUnitOf(letter) != 0) continue;
      // The serial number and id field are written back from what is read
      // here. A drive whose block 0 cannot be read is left for the next
      // arrival: taken with blank fields, its burn would overwrite the serial
      // number it has with 0xFF.
      UnitIdentity unit;
      if (!ReadUnitIdentity(letter, h.get(), unit)) continue;
      SetUnitIdentity(letter, unit);
    }
    IdentifyDevice(letter);
  }
  return rows_.Count();
}

void Station::IdentifyDevice(char letter) {
  const int a = rows_.Count();
  if (a >= kMaxShownDevices) return;
  DeviceListEntry entry;
  entry.driveLetter = letter;
  entry.lun = -1;

  bool recognised = false;
  std::string flashId;
  {
    const DeviceHandle h = DeviceHandle::Open(letter);
    if (!h) return;
    unsigned char inquiry[36] = {};
    recognised = USB_Inquiry(h.get(), inquiry) && Recognised(inquiry);
    unsigned char id[5] = {};
    TVQ_GetFlashID(h.get(), id);
    flashId = FlashIdText(id);
    entry.spiClockMHz = catalogue_.FrequencyForId(flashId);
  }
  if (!recognised) return;

  entry.lun = LogicalUnitOf(letter);
  ListDrive(letter, entry, flashId, host_.DeviceNode(letter));
}

void Station::ListDrive(char letter, DeviceListEntry entry, const std::string& flashId, const std::string& node) {
  const int a = rows_.Count();
  if (slots_.AddToDeviceList(entry) != 1) return;

  char no[16], drive[32];
  std::snprintf(no, sizeof no, "%3d", a + 1);
  std::snprintf(drive, sizeof drive, "%c(%d) :", letter, entry.lun);
  rows_.Append({no, drive, StringText(118), "---"});

  {
    std::lock_guard lock(cacheMutex_);
    identified_[size_t(SlotIndex(letter))] = IdentifiedDrive{flashId, node};
  }
  masterImageDrives_.push_back(std::string(1, letter) + ":" + (node.empty() ? "" : " " + node));
  if (masterImageSelection_ < 0) masterImageSelection_ = 0;
}

DriveProbe Station::ProbeDrive(char letter) const {
  // The same commands, in the same order, as ScanDrives and IdentifyDevice.
  DriveProbe probe;
  probe.letter = letter;
  if (host_.GetDriveType(letter) != DriveType::Removable) return probe;
  unsigned char id[5] = {};
  {
    const DeviceHandle h = DeviceHandle::Open(letter);
    if (!h) return probe;
    if (!TVQ_GetFlashID(h.get(), id) || (id[0] == 0xFF && id[1] == 0xFF && id[2] == 0xFF && id[3] == 0xFF) ||
        LogicalUnitOf(letter) != 0)
      return probe;
    if (!ReadUnitIdentity(letter, h.get(), probe.unit)) return probe;
  }
  bool recognised = false;
  {
    const DeviceHandle h = DeviceHandle::Open(letter);
    if (!h) return probe;
    unsigned char inquiry[36] = {};
    recognised = USB_Inquiry(h.get(), inquiry) && Recognised(inquiry);
    std::memset(id, 0, sizeof id);
    TVQ_GetFlashID(h.get(), id);
    probe.flashId = FlashIdText(id);
  }
  if (!recognised) return probe;
  probe.lun = LogicalUnitOf(letter);
  probe.deviceNode = host_.DeviceNode(letter);
  probe.candidate = true;
  return probe;
}

bool Station::AcceptProbedDrive(const DriveProbe& probe) {
  const char letter = probe.letter;
  if (!probe.candidate || rows_.Count() >= kMaxShownDevices || slots_.FindInDeviceList(letter) >= 0) return false;
  SetUnitIdentity(letter, probe.unit);
  DeviceListEntry entry;
  entry.driveLetter = letter;
  entry.lun = probe.lun;
  entry.spiClockMHz = catalogue_.FrequencyForId(probe.flashId);
  ListDrive(letter, entry, probe.flashId, probe.deviceNode);
  return slots_.FindInDeviceList(letter) >= 0;
}

uint32_t Station::ListedMask() const {
  uint32_t mask = 0;
  for (int b = 0; b < slots_.GetDeviceCount(); ++b) {
    const char letter = slots_.GetListedLetter(b);
    if (letter >= 'A' && letter <= 'Z') mask |= 1u << (letter - 'A');
  }
  return mask;
}

void Station::ApplyRemovedDrives(uint32_t removed, uint32_t gone) {
  for (char letter = 'C'; letter <= 'Z'; ++letter) {
    if ((removed & (1u << (letter - 'A'))) == 0) continue;
    // The serial and id field leave with their unit.
    DropUnitIdentity(letter);
    DriveGone(letter, gone | removed);
    RemoveMasterImageDrive(letter);
  }
}

void Station::DriveGone(char removed, uint32_t goneMask) {
  // As OnDriveRemoved, with the probes already made.
  for (int row = 0; row < rows_.Count(); ++row) {
    const char letter = RowLetter(row);
    const DeviceStatus status = slots_.GetDeviceStatus(letter);
    const bool gone = letter >= 'A' && letter <= 'Z' && (goneMask & (1u << (letter - 'A'))) != 0;
    if ((status == DeviceStatus::Burning && gone) || status == DeviceStatus::AwaitingRemoval) {
      slots_.SetDeviceOutcome(letter, BurnOutcome::Failed);
      slots_.SetDeviceResult(letter, status::kRemoveDevice);
    }
    if (letter == removed) {
      rows_.Delete(row);
      slots_.RemoveFromDeviceList(letter);
      break;
    }
  }
}

bool Station::AdoptUnit(char letter, void* h) {
  unsigned char inquiry[36] = {};
  unsigned char id[5] = {};
  UnitIdentity unit;
  const bool usable = USB_Inquiry(h, inquiry) && Recognised(inquiry) && TVQ_GetFlashID(h, id) &&
                      !(id[0] == 0xFF && id[1] == 0xFF && id[2] == 0xFF && id[3] == 0xFF) &&
                      LogicalUnitOf(letter) == 0 && ReadUnitIdentity(letter, h, unit);
  if (!usable) {
    DropUnitIdentity(letter);
    return false;
  }
  const std::string flashId = FlashIdText(id);
  slots_.SetDeviceSpiClock(letter, catalogue_.FrequencyForId(flashId));
  SetUnitIdentity(letter, unit);
  const int i = SlotIndex(letter);
  std::lock_guard lock(cacheMutex_);
  identified_[size_t(i)].flashIdText = flashId;
  return true;
}

void Station::ReleaseFinishedDevices() {
  // Backwards, so the rows still to visit keep their indices.
  for (int row = rows_.Count() - 1; row >= 0; --row) {
    const char letter = RowLetter(row);
    if (slots_.GetDeviceStatus(letter) == DeviceStatus::AwaitingRemoval && slots_.ReleaseDevice(letter) == 1)
      rows_.Delete(row);
  }
}

void Station::CheckRemovedDrives(uint32_t mask) {
  mask >>= 2;
  for (char letter = 'C'; mask != 0 && letter <= 'Z'; ++letter, mask >>= 1)
    if ((mask & 1) != 0) ProbeRemoved(letter);
  // The probes (and those of burning drives they start) run elsewhere; the
  // answers that come at once are taken now.
  deviceCalls_.WaitBriefly(quickAnswerWait_);
}

namespace {

// Whether the drive still opens as a device of the family: sent from a
// thread of its own, within the control bound (the library's default).
bool StillThere(char letter) { return DeviceHandle::Open(letter).valid(); }

uint32_t Bit(char letter) { return letter >= 'A' && letter <= 'Z' ? 1u << (letter - 'A') : 0; }

}  // namespace

void Station::ProbeRemoved(char letter) {
  if (probingRemoved_ & Bit(letter)) return;  // asked already; its answer is still to come
  probingRemoved_ |= Bit(letter);
  deviceCalls_.Run([this, letter]() -> OffThreadCalls::Continuation {
    const bool there = StillThere(letter);
    return [this, letter, there] {
      probingRemoved_ &= ~Bit(letter);
      if (there) return;  // still there: a removal of something else
      // The serial and id field leave with their unit: the next one under
      // this letter is read anew.
      DropUnitIdentity(letter);
      OnDriveRemoved(letter);
      RemoveMasterImageDrive(letter);
      NotifyChanged();
    };
  });
}

void Station::ProbeBurning(char letter) {
  if (probingBurning_ & Bit(letter)) return;
  probingBurning_ |= Bit(letter);
  deviceCalls_.Run([this, letter]() -> OffThreadCalls::Continuation {
    const bool there = StillThere(letter);
    return [this, letter, there] {
      probingBurning_ &= ~Bit(letter);
      if (there || slots_.GetDeviceStatus(letter) != DeviceStatus::Burning) return;
      slots_.SetDeviceOutcome(letter, BurnOutcome::Failed);
      slots_.SetDeviceResult(letter, status::kRemoveDevice);
      NotifyChanged();
    };
  });
}

void Station::OnDriveRemoved(char removed) {
  for (int row = 0; row < rows_.Count(); ++row) {
    const char letter = RowLetter(row);
    const DeviceStatus status = slots_.GetDeviceStatus(letter);
    // A burning drive is asked whether it is still there, off this thread:
    // a wedged one must not stop the window.
    if (status == DeviceStatus::Burning) ProbeBurning(letter);
    if (status == DeviceStatus::AwaitingRemoval) {
      slots_.SetDeviceOutcome(letter, BurnOutcome::Failed);
      slots_.SetDeviceResult(letter, status::kRemoveDevice);
    }
    if (letter == removed) {
      rows_.Delete(row);
      slots_.RemoveFromDeviceList(letter);
      break;
    }
  }
}

}  // namespace ardentix
