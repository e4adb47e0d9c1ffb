// Drive letters for the USB disks of a system without them: the library and
// the station share this one assignment, so a letter means the same disk to
// the burn, the location exports and the host layer.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>

namespace qmr::drives {

// Removable USB disks get letters from C upwards. A letter stays with its
// device (keyed by the sysfs device path) while it is attached; a device that
// comes back to the same port and unit gets its former letter when it is free.
// Other devices get the lowest letter that no port has held, so a letter
// just left free waits for its own device; only when none is left do they
// take the lowest free one. The first scan letters the disks in port order, so
// a given hub port keeps its letter across restarts. Thread-safe.
class DriveLetters {
 public:
  explicit DriveLetters(std::string sysfsRoot);

  // Reads the disks again. overrideList is QMR52916_DRIVES's text ("E=/dev/sdb,...")
  // or nullopt when it is unset; when given it alone decides.
  void Refresh(const std::optional<std::string>& overrideList);

  uint32_t Mask();                // bit 0 = "A:"
  std::string Node(char letter);  // "/dev/sdb", "" when the letter is free

  // The letters that appeared and went since the previous call, whichever
  // refresh found them; a letter that changed device is in both.
  void TakeChanges(uint32_t& arrived, uint32_t& removed);

 private:
  struct Slot {
    std::string identity;  // what the letter stands for; "" when free
    std::string node;
  };
  void ApplyScan();
  void ApplyOverride(const std::string& list);
  bool HeldByAnotherPort(int letter, const std::string& key) const;
  void NoteChanges(const std::array<Slot, 26>& before);

  std::mutex mutex_;
  std::string root_;
  std::array<Slot, 26> usb_;                 // the sysfs assignment, kept while an override rules
  std::array<Slot, 26> shown_;               // what the letters stand for now
  std::map<std::string, int> portLetters_;  // "1-1.2:0" -> the letter index it had last
  uint32_t arrived_ = 0;
  uint32_t removed_ = 0;
};

}  // namespace qmr::drives
