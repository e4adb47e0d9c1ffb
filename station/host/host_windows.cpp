#if defined(_WIN32)
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#include <dbt.h>
#include <shellapi.h>
#undef GetDriveType  // the Host method of that name, not the Win32 macro

#include "host/host_windows.h"

#include <cstdio>
#include <cstring>

#if defined(_MSC_VER)
#pragma warning(disable : 4996)  // GetVersionExA is deprecated, but it is the version the station acts on
#endif

namespace ardentix {
namespace {

constexpr DWORD kFsctlLockVolume = 0x90018;
constexpr DWORD kFsctlUnlockVolume = 0x9001C;
constexpr const char* kWindowClass = "ArdentixVolumeWatch";
constexpr UINT_PTR kPollTimer = 1;
// GUID_DEVINTERFACE_VOLUME: every volume's device interface.
constexpr GUID kVolumeInterface = {0x53f5630d, 0xb6bf, 0x11d0, {0x94, 0xf2, 0x00, 0xa0, 0xc9, 0x1e, 0xfb, 0x8b}};

std::string RootPath(char letter) { return std::string(1, letter) + ":\\"; }

std::string VolumePath(char letter) {
  std::string path = "\\\\.\\C:";
  path[4] = letter;
  return path;
}

bool VolumeControl(void* deviceHandle, DWORD code) {
  if (deviceHandle == nullptr || deviceHandle == INVALID_HANDLE_VALUE) return false;
  DWORD returned = 0;
  return ::DeviceIoControl(static_cast<HANDLE>(deviceHandle), code, nullptr, 0, nullptr, 0, &returned, nullptr) !=
         FALSE;
}

}  // namespace

WindowsHost::WindowsHost() : WindowsHost(WindowsHostOptions{}) {}

WindowsHost::WindowsHost(WindowsHostOptions options) : options_(std::move(options)) {
  if (!options_.driveMask) options_.driveMask = [] { return uint32_t(::GetLogicalDrives()); };
}

WindowsHost::~WindowsHost() { StopWatching(); }

uint32_t WindowsHost::LogicalDriveMask() { return options_.driveMask(); }

DriveType WindowsHost::GetDriveType(char letter) {
  switch (::GetDriveTypeA(RootPath(letter).c_str())) {
    case DRIVE_REMOVABLE:
      return DriveType::Removable;
    case DRIVE_FIXED:
      return DriveType::Fixed;
    case DRIVE_NO_ROOT_DIR:
    case DRIVE_UNKNOWN:
      return DriveType::NoRootDir;
    default:
      return DriveType::Other;
  }
}

std::string WindowsHost::DeviceNode(char letter) {
  const uint32_t bit = DriveBit(letter);
  return (bit != 0 && (LogicalDriveMask() & bit)) ? VolumePath(letter) : std::string();
}

std::optional<DiskSpace> WindowsHost::FreeSpace(char letter) {
  ULARGE_INTEGER available{}, total{}, totalFree{};
  if (!::GetDiskFreeSpaceExA(RootPath(letter).c_str(), &available, &total, &totalFree)) return std::nullopt;
  return DiskSpace{total.QuadPart, available.QuadPart};
}

// A lock belongs to the handle that took it, so the lock, the burn's
// commands and the unlock all go through the one handle the worker opened;
// closing that handle also releases the lock.
bool WindowsHost::LockVolume(char, void* deviceHandle) { return VolumeControl(deviceHandle, kFsctlLockVolume); }

bool WindowsHost::UnlockVolume(char, void* deviceHandle) { return VolumeControl(deviceHandle, kFsctlUnlockVolume); }

FormatOutcome WindowsHost::FormatDrive(char letter) {
  FormatOutcome outcome;
  // "\n" is the two characters backslash and n: the echo feeds format.com a
  // line so that it does not wait for the operator.
  char parameters[128];
  std::snprintf(parameters, sizeof parameters, "/C \"echo \\n | format.com %c: /force/q/u/x/fs:fat32\"", letter);
  SHELLEXECUTEINFOA info;
  std::memset(&info, 0, sizeof info);
  info.cbSize = sizeof info;
  info.fMask = SEE_MASK_NOCLOSEPROCESS;
  info.lpVerb = "open";
  info.lpFile = "cmd.exe";
  info.lpParameters = parameters;
  info.nShow = SW_SHOW;
  if (!::ShellExecuteExA(&info) || info.hProcess == nullptr) {
    outcome.message = std::string("Drive ") + letter + ": the format command could not be started.";
    return outcome;
  }
  outcome.started = true;
  ::WaitForSingleObject(info.hProcess, INFINITE);
  DWORD code = 0;
  outcome.exitCode = ::GetExitCodeProcess(info.hProcess, &code) ? int(code) : -1;
  ::CloseHandle(info.hProcess);
  if (outcome.exitCode != 0)
    outcome.message =
        std::string("Drive ") + letter + ": format.com ended with " + std::to_string(outcome.exitCode) + ".";
  return outcome;
}

int WindowsHost::OsMajorVersion() {
  // Size 156 is the extended structure's; the plain one is only 148 bytes.
  OSVERSIONINFOEXA info;
  std::memset(&info, 0, sizeof info);
  info.dwOSVersionInfoSize = 156;
  return ::GetVersionExA(reinterpret_cast<OSVERSIONINFOA*>(&info)) ? int(info.dwMajorVersion) : 0;
}

std::string WindowsHost::HostName() {
  char name[MAX_COMPUTERNAME_LENGTH + 1] = {};
  DWORD size = sizeof name;
  return ::GetComputerNameA(name, &size) ? std::string(name, size) : std::string();
}

void WindowsHost::SetVolumeListener(VolumeListener listener) {
  std::lock_guard lock(mutex_);
  listener_ = std::move(listener);
}

// Volume arrivals and removals are broadcast to top-level windows, which a
// station without a desktop (a service, Wine without a display) cannot
// create. A message-only window can: it is told of volume devices through
// RegisterDeviceNotification and reads the drives again then, and every
// poll interval for letters assigned after the device came. Volume messages
// that do reach it (DBT_DEVTYP_VOLUME) are taken as they are.
struct WindowsHostWindow {
  static LRESULT CALLBACK Procedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    auto* host = reinterpret_cast<WindowsHost*>(::GetWindowLongPtrA(window, GWLP_USERDATA));
    switch (message) {
      case WM_DEVICECHANGE:
        if (host) OnDeviceChange(*host, wParam, lParam);
        return TRUE;
      case WM_TIMER:
        if (host && wParam == kPollTimer) host->OnDrivesChanged();
        return 0;
      case WM_CLOSE:
        ::DestroyWindow(window);
        return 0;
      case WM_DESTROY:
        ::PostQuitMessage(0);
        return 0;
      default:
        return ::DefWindowProcA(window, message, wParam, lParam);
    }
  }

  static void OnDeviceChange(WindowsHost& host, WPARAM event, LPARAM data) {
    const auto* header = reinterpret_cast<const DEV_BROADCAST_HDR*>(data);
    const bool volumeEvent = (event == DBT_DEVICEARRIVAL || event == DBT_DEVICEREMOVECOMPLETE) && header != nullptr &&
                             header->dbch_devicetype == DBT_DEVTYP_VOLUME;
    if (!volumeEvent) {
      host.OnDrivesChanged();
      return;
    }
    const auto* volume = reinterpret_cast<const DEV_BROADCAST_VOLUME*>(data);
    // 1 is a media change and 2 a network volume: neither is a device coming or going.
    if (volume->dbcv_flags == DBTF_MEDIA || volume->dbcv_flags == DBTF_NET) return;
    host.OnVolumeMessage(event == DBT_DEVICEARRIVAL, uint32_t(volume->dbcv_unitmask));
  }
};

void WindowsHost::StartWatching() {
  std::unique_lock lock(mutex_);
  if (watcher_.joinable()) return;
  starting_ = true;
  watcher_ = std::thread(&WindowsHost::Watch, this);
  // Wait until the window exists so that StopWatching can always reach it.
  windowReady_.wait(lock, [this] { return !starting_; });
}

void WindowsHost::StopWatching() {
  std::thread watcher;
  HWND window = nullptr;
  {
    std::lock_guard lock(mutex_);
    if (!watcher_.joinable()) return;
    watcher = std::move(watcher_);
    window = static_cast<HWND>(window_);
  }
  if (window) ::PostMessageA(window, WM_CLOSE, 0, 0);
  watcher.join();
}

void* WindowsHost::NotificationWindow() {
  std::lock_guard lock(mutex_);
  return window_;
}

void WindowsHost::Watch() {
  WNDCLASSA wc{};
  wc.lpfnWndProc = &WindowsHostWindow::Procedure;
  wc.hInstance = ::GetModuleHandleA(nullptr);
  wc.lpszClassName = kWindowClass;
  ::RegisterClassA(&wc);  // fails harmlessly when already registered
  known_ = LogicalDriveMask();
  HWND window =
      ::CreateWindowExA(0, kWindowClass, "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, wc.hInstance, nullptr);
  HDEVNOTIFY registration = nullptr;
  if (window) {
    ::SetWindowLongPtrA(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
    DEV_BROADCAST_DEVICEINTERFACE_A filter{};
    filter.dbcc_size = sizeof filter;
    filter.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
    filter.dbcc_classguid = kVolumeInterface;
    registration = ::RegisterDeviceNotificationA(window, &filter, DEVICE_NOTIFY_WINDOW_HANDLE);
    if (options_.pollInterval.count() > 0) ::SetTimer(window, kPollTimer, UINT(options_.pollInterval.count()), nullptr);
  }
  {
    std::lock_guard lock(mutex_);
    window_ = window;
    starting_ = false;
  }
  windowReady_.notify_all();
  if (!window) return;
  MSG msg;
  while (::GetMessageA(&msg, nullptr, 0, 0) > 0) {
    ::TranslateMessage(&msg);
    ::DispatchMessageA(&msg);
  }
  if (registration) ::UnregisterDeviceNotification(registration);
  std::lock_guard lock(mutex_);
  window_ = nullptr;
}

void WindowsHost::OnVolumeMessage(bool arrived, uint32_t mask) {
  if (arrived)
    known_ |= mask;
  else
    known_ &= ~mask;
  Notify(arrived ? mask : 0, arrived ? 0 : mask);
}

void WindowsHost::OnDrivesChanged() {
  const uint32_t now = LogicalDriveMask();
  const uint32_t arrived = now & ~known_, removed = known_ & ~now;
  known_ = now;
  Notify(arrived, removed);
}

void WindowsHost::Notify(uint32_t arrived, uint32_t removed) {
  VolumeListener listener;
  {
    std::lock_guard lock(mutex_);
    listener = listener_;
  }
  if (!listener) return;
  if (removed) listener(false, removed);
  if (arrived) listener(true, arrived);
}

}  // namespace ardentix
#endif
