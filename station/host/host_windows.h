// The host on Windows: drives and free space from the Win32 volume calls,
// the volume lock through FSCTL_LOCK_VOLUME on the device library's own
// handle, formatting with format.com, and volume arrival/removal seen by a
// message-only window.
#pragma once

#if defined(_WIN32)
// No <windows.h> here: its GetDriveType macro would rename Host's method in
// every file that includes this one.
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>

#include "host/host.h"

namespace ardentix {

struct WindowsHostOptions {
  // How often the drives are read again, for the letters that no
  // notification announced (0: only when a notification comes).
  std::chrono::milliseconds pollInterval{2000};
  // The drives the system shows, bit 0 = "A:"; GetLogicalDrives when empty.
  std::function<uint32_t()> driveMask;
};

class WindowsHost final : public Host {
 public:
  WindowsHost();
  explicit WindowsHost(WindowsHostOptions options);
  ~WindowsHost() override;

  uint32_t LogicalDriveMask() override;
  DriveType GetDriveType(char letter) override;
  std::string DeviceNode(char letter) override;
  std::optional<DiskSpace> FreeSpace(char letter) override;
  // On Windows the library's device handle is the volume handle: the lock
  // is taken through it, so it belongs to the handle the burn writes with.
  bool LockVolume(char letter, void* deviceHandle) override;
  bool UnlockVolume(char letter, void* deviceHandle) override;
  FormatOutcome FormatDrive(char letter) override;
  int OsMajorVersion() override;
  std::string HostName() override;
  void SetVolumeListener(VolumeListener listener) override;
  void StartWatching() override;
  void StopWatching() override;

  // The window that receives WM_DEVICECHANGE (an HWND), null while not
  // watching.
  void* NotificationWindow();

 private:
  friend struct WindowsHostWindow;
  void Watch();
  // A volume notification with its drive mask.
  void OnVolumeMessage(bool arrived, uint32_t mask);
  // Any other device change, and the poll: the drives are read again.
  void OnDrivesChanged();
  void Notify(uint32_t arrived, uint32_t removed);

  WindowsHostOptions options_;
  std::mutex mutex_;
  std::condition_variable windowReady_;
  VolumeListener listener_;
  std::thread watcher_;
  void* window_ = nullptr;  // HWND of the message-only window
  bool starting_ = false;
  uint32_t known_ = 0;      // the drives as last reported; watcher thread only
};

}  // namespace ardentix
#endif
