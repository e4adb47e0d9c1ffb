// What the station needs from the operating system besides the device
// library: drives, free space, the volume lock, formatting and volume
// arrival/removal notifications. One implementation per OS plus a simulated
// one; station logic only ever talks to this interface.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace ardentix {

// Bit of a drive letter in a drive mask (bit 0 = "A:"); 0 for anything else.
inline uint32_t DriveBit(char letter) { return letter >= 'A' && letter <= 'Z' ? 1u << (letter - 'A') : 0; }

enum class DriveType { NoRootDir, Removable, Fixed, Other };

struct DiskSpace {
  uint64_t totalBytes = 0;
  uint64_t freeBytesAvailable = 0;  // to the caller
};

struct FormatOutcome {
  bool started = false;  // the format tool ran
  int exitCode = -1;
  std::string message;   // what went wrong, for the operator
};

class Host {
 public:
  virtual ~Host() = default;

  // Bit 0 = "A:". Drives the system currently shows.
  virtual uint32_t LogicalDriveMask() = 0;
  virtual DriveType GetDriveType(char letter) = 0;
  // The OS device node behind a letter, for display ("/dev/sdb"); "" if none.
  virtual std::string DeviceNode(char letter) = 0;
  // nullopt when the system cannot report the space.
  virtual std::optional<DiskSpace> FreeSpace(char letter) = 0;

  // Lock the file system volume of the drive so that the OS does not touch
  // the card while it is written raw; `deviceHandle` is the handle the
  // caller opened with the device library. Unlock releases it.
  virtual bool LockVolume(char letter, void* deviceHandle) = 0;
  virtual bool UnlockVolume(char letter, void* deviceHandle) = 0;

  // Formats the drive's card (FAT32). Blocks until the tool ends.
  virtual FormatOutcome FormatDrive(char letter) = 0;

  // The OS's major version (Windows numbering; other systems report 10).
  virtual int OsMajorVersion() = 0;
  // The computer's name, for the records of a station given no name; "" when unknown.
  virtual std::string HostName() { return ""; }

  // Volume arrival (arrived = true) and removal notifications as drive
  // masks. Called from a background thread: the receiver hands the event to
  // the station's thread. Set before Start; Start begins watching.
  using VolumeListener = std::function<void(bool arrived, uint32_t mask)>;
  virtual void SetVolumeListener(VolumeListener listener) = 0;
  virtual void StartWatching() = 0;
  virtual void StopWatching() = 0;
};

// The host for this process: the simulated one when the device library runs
// on simulated devices, else the OS's own.
std::unique_ptr<Host> MakeHost();

}  // namespace ardentix
