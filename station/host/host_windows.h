// The host on Windows: drives and free space from the Win32 volume calls,
// the volume lock through FSCTL_LOCK_VOLUME, formatting with format.com, and
// volume arrival/removal from WM_DEVICECHANGE.
#pragma once

#if defined(_WIN32)
// No <windows.h> here: its GetDriveType macro would rename Host's method in
// every file that includes this one.
#include <map>
#include <mutex>
#include <thread>

#include "host/host.h"

namespace ardentix {

class WindowsHost final : public Host {
 public:
  WindowsHost();
  ~WindowsHost() override;

  uint32_t LogicalDriveMask() override;
  DriveType GetDriveType(char letter) override;
  std::string DeviceNode(char letter) override;
  std::optional<DiskSpace> FreeSpace(char letter) override;
  bool LockVolume(char letter, void* deviceHandle) override;
  bool UnlockVolume(char letter, void* deviceHandle) override;
  FormatOutcome FormatDrive(char letter) override;
  int OsMajorVersion() override;
  void SetVolumeListener(VolumeListener listener) override;
  void StartWatching() override;
  void StopWatching() override;

 private:
  friend struct WindowsHostWindow;
  void Watch(void* ready);
  void OnVolumeEvent(bool arrived, uint32_t mask);

  std::mutex mutex_;
  std::map<char, void*> locks_;  // the volume handle that holds each lock
  VolumeListener listener_;
  std::thread watcher_;
  void* window_ = nullptr;  // HWND of the hidden window
};

}  // namespace ardentix
#endif
