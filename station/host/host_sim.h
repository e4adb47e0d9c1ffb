// The host of a simulated station: drives, locks and notifications come from
// the device library's simulator, so that tests, the demo and training runs
// behave like a station with real devices. Drive C: is a fixed system disk.
#pragma once

#include <atomic>
#include <mutex>

#include "host/host.h"

namespace ardentix {

class SimulatedHost final : public Host {
 public:
  SimulatedHost();
  ~SimulatedHost() override;

  uint32_t LogicalDriveMask() override;
  DriveType GetDriveType(char letter) override;
  std::string DeviceNode(char letter) override;
  std::optional<DiskSpace> FreeSpace(char letter) override;
  bool LockVolume(char letter, void* deviceHandle) override;
  bool UnlockVolume(char letter, void* deviceHandle) override;
  FormatOutcome FormatDrive(char letter) override;
  int OsMajorVersion() override { return osMajorVersion_; }
  std::string HostName() override { return "simulated-station"; }
  void SetVolumeListener(VolumeListener listener) override;
  void StartWatching() override;
  void StopWatching() override;

  // For tests and training: the OS version to report, and which volumes
  // are locked now.
  void SetOsMajorVersion(int version) { osMajorVersion_ = version; }
  bool IsLocked(char letter);
  uint32_t LockedMask();

 private:
  static void OnSimEvent(void* context, int arrived, unsigned long mask);
  std::mutex mutex_;  // the listener
  VolumeListener listener_;
  bool watching_ = false;
  // Apart from the listener's: a lock the simulator refuses by pulling the
  // device tells the listener of the removal while the lock is being taken.
  std::mutex lockMutex_;
  uint32_t locked_ = 0;
  std::atomic<int> osMajorVersion_{10};
};

}  // namespace ardentix
