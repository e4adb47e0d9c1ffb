// WindowsHost as far as Wine runs it: the prefix's drives (C: fixed, R: a
// removable drive set up by scripts/wine-prefix.sh), free space, the volume
// lock on the library's handle, and notifications through the message-only
// window, fed by the simulated bus as Windows would send them.
#include <windows.h>
#include <dbt.h>
#undef GetDriveType

#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <utility>
#include <vector>

#include "QMR52916LIB_ext.h"
#include "host/host_windows.h"

namespace ardentix {
namespace {

TEST(WindowsHostDrives, TypesOfThePrefixDrives) {
  WindowsHost host;
  const uint32_t mask = host.LogicalDriveMask();
  EXPECT_EQ(mask, uint32_t(::GetLogicalDrives()));
  EXPECT_NE(mask & DriveBit('C'), 0u);
  EXPECT_NE(mask & DriveBit('R'), 0u) << "no R: drive: was the prefix made by scripts/wine-prefix.sh?";
  EXPECT_EQ(mask & DriveBit('Q'), 0u);
  const std::pair<char, DriveType> cases[] = {
      {'C', DriveType::Fixed}, {'R', DriveType::Removable}, {'Q', DriveType::NoRootDir}};
  for (const auto& [letter, type] : cases) {
    SCOPED_TRACE(letter);
    EXPECT_EQ(host.GetDriveType(letter), type);
  }
  EXPECT_EQ(host.DeviceNode('R'), "\\\\.\\R:");
  EXPECT_EQ(host.DeviceNode('Q'), "");
  EXPECT_GE(host.OsMajorVersion(), 6);
}

TEST(WindowsHostDrives, FreeSpace) {
  WindowsHost host;
  const auto space = host.FreeSpace('C');
  ASSERT_TRUE(space);
  EXPECT_GT(space->totalBytes, 0u);
  EXPECT_LE(space->freeBytesAvailable, space->totalBytes);
  EXPECT_FALSE(host.FreeSpace('Q'));
}

TEST(WindowsHostLock, GoesThroughTheLibrarysHandle) {
  ASSERT_EQ(QMR_SimConfigure(nullptr, nullptr, 0), 1);
  WindowsHost host;
  // Wine's C: is a folder: it opens without the identify check, and Wine
  // grants the lock.
  void* h = USB_OpenDevice('C');
  ASSERT_NE(h, QMR_INVALID_HANDLE);
  EXPECT_TRUE(host.LockVolume('C', h));
  EXPECT_TRUE(host.UnlockVolume('C', h));
  QMR_CloseDevice(h);
  // No handle of its own: without the device's handle there is no lock.
  EXPECT_FALSE(host.LockVolume('C', QMR_INVALID_HANDLE));
  EXPECT_FALSE(host.UnlockVolume('C', QMR_INVALID_HANDLE));
  EXPECT_FALSE(host.LockVolume('C', nullptr));
}

class WindowsHostNotifications : public ::testing::Test {
 protected:
  using Event = std::pair<bool, uint32_t>;

  void SetUp() override {
    ASSERT_EQ(QMR_SimConfigure("2", nullptr, 0), 1);  // E and F
    WindowsHostOptions options;
    options.pollInterval = std::chrono::milliseconds(0);
    options.driveMask = [this] { return drives_.load(); };
    host_ = std::make_unique<WindowsHost>(options);
    host_->SetVolumeListener([this](bool arrived, uint32_t mask) {
      std::lock_guard lock(mutex_);
      events_.push_back({arrived, mask});
    });
    host_->StartWatching();
    ASSERT_NE(host_->NotificationWindow(), nullptr);
  }
  void TearDown() override {
    QMR_SimSetListener(nullptr, nullptr);
    host_.reset();
    QMR_SimConfigure(nullptr, nullptr, 0);
  }

  // What Windows sends for a volume; SendMessage returns once it is handled.
  void SendVolume(bool arrived, uint32_t mask, WORD flags = 0) {
    DEV_BROADCAST_VOLUME volume{};
    volume.dbcv_size = sizeof volume;
    volume.dbcv_devicetype = DBT_DEVTYP_VOLUME;
    volume.dbcv_unitmask = mask;
    volume.dbcv_flags = flags;
    ::SendMessageA(static_cast<HWND>(host_->NotificationWindow()), WM_DEVICECHANGE,
                   arrived ? DBT_DEVICEARRIVAL : DBT_DEVICEREMOVECOMPLETE, reinterpret_cast<LPARAM>(&volume));
  }
  static void QMR_CALL FromBus(void* context, int arrived, unsigned long mask) {
    static_cast<WindowsHostNotifications*>(context)->SendVolume(arrived != 0, uint32_t(mask));
  }
  std::vector<Event> Events() {
    std::lock_guard lock(mutex_);
    return events_;
  }

  std::unique_ptr<WindowsHost> host_;
  std::atomic<uint32_t> drives_{DriveBit('C')};
  std::mutex mutex_;
  std::vector<Event> events_;
};

TEST_F(WindowsHostNotifications, TheSimulatedBusArrivesAsVolumeMessages) {
  QMR_SimSetListener(&FromBus, this);
  ASSERT_EQ(QMR_SimUnplug('E'), 1);
  ASSERT_EQ(QMR_SimPlug('E'), 1);
  ASSERT_EQ(QMR_SimUnplug('F'), 1);
  EXPECT_EQ(Events(), (std::vector<Event>{{false, DriveBit('E')}, {true, DriveBit('E')}, {false, DriveBit('F')}}));
}

TEST_F(WindowsHostNotifications, MediaChangesAndNetworkVolumesAreNoDevices) {
  SendVolume(true, DriveBit('G'), DBTF_MEDIA);
  SendVolume(false, DriveBit('G'), DBTF_NET);
  EXPECT_TRUE(Events().empty());
}

TEST_F(WindowsHostNotifications, OtherDeviceChangesReadTheDrivesAgain) {
  // A volume interface came, or the device tree changed: the letters that
  // appeared and went since the last look are reported.
  drives_ = DriveBit('C') | DriveBit('G') | DriveBit('H');
  ::SendMessageA(static_cast<HWND>(host_->NotificationWindow()), WM_DEVICECHANGE, DBT_DEVNODES_CHANGED, 0);
  drives_ = DriveBit('C') | DriveBit('H');
  ::SendMessageA(static_cast<HWND>(host_->NotificationWindow()), WM_DEVICECHANGE, DBT_DEVNODES_CHANGED, 0);
  // Nothing changed: nothing reported.
  ::SendMessageA(static_cast<HWND>(host_->NotificationWindow()), WM_DEVICECHANGE, DBT_DEVNODES_CHANGED, 0);
  EXPECT_EQ(Events(), (std::vector<Event>{{true, DriveBit('G') | DriveBit('H')}, {false, DriveBit('G')}}));
}

TEST_F(WindowsHostNotifications, StopsWhenAsked) {
  host_->StopWatching();
  EXPECT_EQ(host_->NotificationWindow(), nullptr);
  host_->StopWatching();  // twice is harmless
  host_->StartWatching();
  EXPECT_NE(host_->NotificationWindow(), nullptr);
}

}  // namespace
}  // namespace ardentix
