// On Windows a real device's handle is the volume handle itself: the system's
// calls take it as it is, and the simulator's handles stay the library's own.
// Runs under Wine, whose C: is a plain folder: it opens, but pass-through
// commands on it fail.
#include <windows.h>

#include <gtest/gtest.h>

#include "QMR52916LIB_ext.h"

namespace {

bool IsSystemHandle(void* h) {
  DWORD flags = 0;
  return ::GetHandleInformation(static_cast<HANDLE>(h), &flags) != FALSE;
}

class VolumeHandle : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(QMR_SimConfigure(nullptr, nullptr, 0), 1); }
  void TearDown() override { QMR_SimConfigure(nullptr, nullptr, 0); }
};

TEST_F(VolumeHandle, IsTheSystemsHandleOfTheVolume) {
  void* h = USB_OpenDevice('C');
  ASSERT_NE(h, QMR_INVALID_HANDLE);
  EXPECT_TRUE(IsSystemHandle(h));
  // The station's volume lock goes through this very handle.
  DWORD returned = 0;
  EXPECT_NE(::DeviceIoControl(static_cast<HANDLE>(h), FSCTL_LOCK_VOLUME, nullptr, 0, nullptr, 0, &returned, nullptr),
            FALSE);
  EXPECT_NE(::DeviceIoControl(static_cast<HANDLE>(h), FSCTL_UNLOCK_VOLUME, nullptr, 0, nullptr, 0, &returned, nullptr),
            FALSE);
  // A folder is no SCSI device: the command fails and nothing breaks.
  unsigned char inquiry[36] = {};
  EXPECT_EQ(USB_Inquiry(h, inquiry), 0);
  // The system's CloseHandle closes it, as the library's users have always done.
  EXPECT_NE(::CloseHandle(static_cast<HANDLE>(h)), FALSE);
}

TEST_F(VolumeHandle, QmrCloseDeviceClosesIt) {
  void* h = USB_OpenDevice('C');
  ASSERT_NE(h, QMR_INVALID_HANDLE);
  QMR_CloseDevice(h);
  EXPECT_FALSE(IsSystemHandle(h));
}

TEST_F(VolumeHandle, FailedOpensGiveTheInvalidHandle) {
  // No drive Q:, and C: does not answer the identify command.
  EXPECT_EQ(USB_OpenDevice('Q'), QMR_INVALID_HANDLE);
  EXPECT_EQ(TVQ_OpenDevice('Q'), QMR_INVALID_HANDLE);
  EXPECT_EQ(TVQ_OpenDevice('C'), QMR_INVALID_HANDLE);
  EXPECT_EQ(QMR_INVALID_HANDLE, INVALID_HANDLE_VALUE);
}

TEST_F(VolumeHandle, SimulatedDevicesKeepTheLibrarysHandles) {
  ASSERT_EQ(QMR_SimConfigure("1", nullptr, 0), 1);
  void* h = TVQ_OpenDevice('E');
  ASSERT_NE(h, QMR_INVALID_HANDLE);
  EXPECT_FALSE(IsSystemHandle(h));
  unsigned char id[4] = {};
  EXPECT_EQ(TVQ_GetFlashID(h, id), 1);
  QMR_CloseDevice(h);
  // A closed record is no longer taken for a handle.
  EXPECT_EQ(TVQ_GetFlashID(h, id), 0);
}

}  // namespace
