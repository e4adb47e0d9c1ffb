// The station's record of attached devices: the device list (accepted
// devices in acceptance order, at most 16; a device's position is also its
// status-list row and worker index) and 26 per-letter slots that the burn
// workers write and the refresh timer reads.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <mutex>
#include <optional>

namespace ardentix {

enum class DeviceStatus : int32_t {
  Free = 0,             // letter not listed
  Ready = 1,            // listed and idle
  Burning = 2,          // a worker runs for it
  AwaitingRemoval = 3,  // burn failed and the device no longer opens; dropped at the next scan
};

enum class BurnOutcome : int32_t { None = 0, Passed = 1, Failed = 2 };

inline constexpr int kMaxListedDevices = 16;
inline constexpr int kDeviceSlotCount = 26;
inline constexpr int32_t kDefaultSpiClockMHz = 48;

// The handle value meaning "no device opened": all bits set. A function, not
// a constant, so a table constructed during static initialisation sees it.
inline void* InvalidDeviceHandle() { return reinterpret_cast<void*>(~uintptr_t{0}); }

// One device list entry as callers see it (a copy).
struct DeviceListEntry {
  int32_t position = -1;  // own index in the list
  int32_t lun = -1;       // -1 when the parent-id lookup failed
  char driveLetter = 0;   // 0 marks an empty entry
  int32_t spiClockMHz = kDefaultSpiClockMHz;
};

// Per-letter state. Every field a worker writes and the UI thread reads is a
// single atomic so the timer can read it without a lock.
struct DeviceSlot {
  std::atomic<void*> handle{InvalidDeviceHandle()};  // never reset: the worker that opened it closes it
  char driveLetter = 0;                             // 'A' + slot index, fixed
  std::atomic<int32_t> status{int32_t(DeviceStatus::Free)};
  std::atomic<int32_t> outcome{int32_t(BurnOutcome::None)};
  std::atomic<int32_t> stage{0};     // StatusCode; 0 = nothing to show
  std::atomic<int32_t> result{0};    // StatusCode; 0 = nothing to show
  std::atomic<int32_t> progress{-1};  // percent; -1 = none
  // Nonzero when the records found the serial just written already passed
  // on another device: the row says so, the burn's outcome stays.
  std::atomic<int32_t> duplicateSerial{0};
};

// Letters are 'A'..'Z' only; any other character (lower case included) has
// no slot: setters return 0 and getters return their default.
//
// The list itself is guarded by an internal mutex. The UI thread changes it
// only in the drive scans, but workers look their entry up by letter while a
// removal may be compacting the list; without the lock a worker could read
// or update a half-moved entry. Slot fields need no lock.
class DeviceSlotTable {
 public:
  DeviceSlotTable();
  DeviceSlotTable(const DeviceSlotTable&) = delete;
  DeviceSlotTable& operator=(const DeviceSlotTable&) = delete;

  // Lists entry.driveLetter at the end with entry.lun and entry.spiClockMHz
  // and sets its slot Ready. 1 = newly listed. 0 = the letter was already
  // listed (it is moved to the end, still listed), the list is full, or the
  // letter is not 'A'..'Z' (nothing changes in the last two cases).
  // Either way an accepted device starts with a clean slot: no stage, result,
  // outcome or progress left behind by an earlier device of that letter
  // (a worker of a vanished device may have written them after its removal).
  int AddToDeviceList(const DeviceListEntry& entry);

  // 1 = removed (gap closed, later entries renumbered, slot reset to Free);
  // 0 = list empty or letter not listed (nothing changes).
  int RemoveFromDeviceList(char letter);

  // Frees an AwaitingRemoval slot and removes its entry: the result of
  // RemoveFromDeviceList, or 0 (nothing changes) for any other status.
  int ReleaseDevice(char letter);

  int FindInDeviceList(char letter) const;  // position, or -1
  static int FindDeviceSlot(char letter);   // 0..25, or -1

  int GetDeviceCount() const;
  std::optional<DeviceListEntry> GetDeviceEntry(int position) const;
  char GetListedLetter(int position) const;  // 0 when position is not in use

  // For a worker: its own entry by letter, read or updated in one step under
  // the list lock, so a concurrent compaction cannot hand it another
  // device's entry. Set returns 1, or 0 when the letter is not listed.
  std::optional<DeviceListEntry> FindDeviceEntry(char letter) const;
  int SetDeviceSpiClock(char letter, int32_t mhz);
  int SetDeviceLun(char letter, int32_t lun);  // the unit read again

  int SetDeviceStatus(char letter, DeviceStatus status);
  DeviceStatus GetDeviceStatus(char letter) const;  // Free for a bad letter
  int SetDeviceStage(char letter, int32_t code);
  int32_t GetDeviceStage(char letter) const;  // 0 for a bad letter
  int SetDeviceResult(char letter, int32_t code);
  int32_t GetDeviceResult(char letter) const;  // 0 for a bad letter
  int SetDeviceProgress(char letter, int32_t percent);
  int32_t GetDeviceProgress(char letter) const;  // -1 for a bad letter
  int SetDeviceOutcome(char letter, BurnOutcome outcome);
  BurnOutcome GetDeviceOutcome(char letter) const;  // None for a bad letter
  int SetDeviceDuplicateSerial(char letter, bool duplicate);
  bool GetDeviceDuplicateSerial(char letter) const;  // false for a bad letter
  int SetDeviceHandle(char letter, void* handle);
  void* GetDeviceHandle(char letter) const;  // InvalidDeviceHandle() for a bad letter

 private:
  struct StoredEntry {
    int32_t position = -1;
    int32_t lun = -1;
    char driveLetter = 0;
    std::atomic<int32_t> spiClockMHz{kDefaultSpiClockMHz};
  };

  DeviceSlot* Slot(char letter);
  const DeviceSlot* Slot(char letter) const;
  static void ResetSlot(DeviceSlot& slot);  // everything but handle and letter
  static void ClearEntry(StoredEntry& e);
  static DeviceListEntry Copy(const StoredEntry& e);
  int FindLocked(char letter) const;
  int RemoveLocked(char letter);

  mutable std::mutex listMutex_;
  std::array<StoredEntry, kMaxListedDevices> entries_;
  int32_t count_ = 0;
  std::array<DeviceSlot, kDeviceSlotCount> slots_;
};

}  // namespace ardentix
