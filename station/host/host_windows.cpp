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

std::string RootPath(char letter) { return std::string(1, letter) + ":\\"; }

HANDLE AsHandle(void* h) { return static_cast<HANDLE>(h); }

std::string VolumePath(char letter) {
  std::string path = "\\\\.\\C:";
  path[4] = letter;
  return path;
}

}  // namespace

WindowsHost::WindowsHost() = default;

WindowsHost::~WindowsHost() {
  StopWatching();
  std::lock_guard lock(mutex_);
  for (auto& held : locks_) {
    DWORD returned = 0;
    ::DeviceIoControl(AsHandle(held.second), kFsctlUnlockVolume, nullptr, 0, nullptr, 0, &returned, nullptr);
    ::CloseHandle(AsHandle(held.second));
  }
}

uint32_t WindowsHost::LogicalDriveMask() { return uint32_t(::GetLogicalDrives()); }

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
  return (LogicalDriveMask() & bit) ? VolumePath(letter) : std::string();
}

std::optional<DiskSpace> WindowsHost::FreeSpace(char letter) {
  ULARGE_INTEGER available{}, total{}, totalFree{};
  if (!::GetDiskFreeSpaceExA(RootPath(letter).c_str(), &available, &total, &totalFree)) return std::nullopt;
  return DiskSpace{total.QuadPart, available.QuadPart};
}

// The library's device handle is opaque to the station, so the lock is taken
// through a volume handle of the host's own, kept per letter until the
// unlock: a lock belongs to the handle that took it.
bool WindowsHost::LockVolume(char letter, void*) {
  {
    std::lock_guard lock(mutex_);
    if (locks_.count(letter)) return false;
  }
  HANDLE volume = ::CreateFileA(VolumePath(letter).c_str(), GENERIC_READ | GENERIC_WRITE,
                                FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
  if (volume == INVALID_HANDLE_VALUE) return false;
  DWORD returned = 0;
  if (!::DeviceIoControl(volume, kFsctlLockVolume, nullptr, 0, nullptr, 0, &returned, nullptr)) {
    ::CloseHandle(volume);
    return false;
  }
  std::lock_guard lock(mutex_);
  if (locks_.count(letter)) {  // another thread won meanwhile
    ::DeviceIoControl(volume, kFsctlUnlockVolume, nullptr, 0, nullptr, 0, &returned, nullptr);
    ::CloseHandle(volume);
    return false;
  }
  locks_[letter] = volume;
  return true;
}

bool WindowsHost::UnlockVolume(char letter, void*) {
  HANDLE volume = nullptr;
  {
    std::lock_guard lock(mutex_);
    const auto it = locks_.find(letter);
    if (it == locks_.end()) return false;
    volume = AsHandle(it->second);
    locks_.erase(it);
  }
  DWORD returned = 0;
  const BOOL ok = ::DeviceIoControl(volume, kFsctlUnlockVolume, nullptr, 0, nullptr, 0, &returned, nullptr);
  ::CloseHandle(volume);
  return ok != FALSE;
}

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

void WindowsHost::SetVolumeListener(VolumeListener listener) {
  std::lock_guard lock(mutex_);
  listener_ = std::move(listener);
}

// Volume notifications are broadcast to top-level windows only, so the
// watcher owns a hidden top-level window (a message-only window would miss
// them) and runs its message loop on its own thread.
struct WindowsHostWindow {
  static LRESULT CALLBACK Procedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    auto* host = reinterpret_cast<WindowsHost*>(::GetWindowLongPtrA(window, GWLP_USERDATA));
    switch (message) {
      case WM_DEVICECHANGE:
        if (host) OnDeviceChange(*host, wParam, lParam);
        return TRUE;
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
    if (event != DBT_DEVICEARRIVAL && event != DBT_DEVICEREMOVECOMPLETE) return;
    const auto* header = reinterpret_cast<const DEV_BROADCAST_HDR*>(data);
    if (header == nullptr || header->dbch_devicetype != DBT_DEVTYP_VOLUME) return;
    const auto* volume = reinterpret_cast<const DEV_BROADCAST_VOLUME*>(data);
    // 1 is a media change and 2 a network volume: neither is a device coming or going.
    if (volume->dbcv_flags == DBTF_MEDIA || volume->dbcv_flags == DBTF_NET) return;
    host.OnVolumeEvent(event == DBT_DEVICEARRIVAL, uint32_t(volume->dbcv_unitmask));
  }
};

void WindowsHost::StartWatching() {
  std::lock_guard lock(mutex_);
  if (watcher_.joinable()) return;
  HANDLE ready = ::CreateEventA(nullptr, TRUE, FALSE, nullptr);
  watcher_ = std::thread(&WindowsHost::Watch, this, ready);
  // Wait until the window exists so that StopWatching can always reach it.
  ::WaitForSingleObject(ready, INFINITE);
  ::CloseHandle(ready);
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

void WindowsHost::Watch(void* ready) {
  WNDCLASSA wc{};
  wc.lpfnWndProc = &WindowsHostWindow::Procedure;
  wc.hInstance = ::GetModuleHandleA(nullptr);
  wc.lpszClassName = kWindowClass;
  ::RegisterClassA(&wc);  // fails harmlessly when already registered
  HWND window = ::CreateWindowExA(0, kWindowClass, "", WS_OVERLAPPED, 0, 0, 0, 0, nullptr, nullptr, wc.hInstance,
                                  nullptr);
  if (window) ::SetWindowLongPtrA(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
  window_ = window;  // StartWatching holds the mutex until ready is set
  ::SetEvent(AsHandle(ready));
  if (!window) return;
  MSG msg;
  while (::GetMessageA(&msg, nullptr, 0, 0) > 0) {
    ::TranslateMessage(&msg);
    ::DispatchMessageA(&msg);
  }
  std::lock_guard lock(mutex_);
  window_ = nullptr;
}

void WindowsHost::OnVolumeEvent(bool arrived, uint32_t mask) {
  VolumeListener listener;
  {
    std::lock_guard lock(mutex_);
    listener = listener_;
  }
  if (listener) listener(arrived, mask);
}

}  // namespace ardentix
#endif
