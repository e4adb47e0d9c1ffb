// A program started with a QMR52916_SIMULATE the library cannot use: the
// library must not end the process (it may be a burn worker). Every export
// fails, the reason is said once and can be read back. Runs with a broken
// setup in its environment (see CMakeLists.txt).
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>

#include "QMR52916LIB.h"
#include "QMR52916LIB_ext.h"

namespace {

std::string SetupError() {
  char error[512] = {};
  EXPECT_EQ(QMR_GetSetupError(error, sizeof error), 1);
  return error;
}

size_t Count(const std::string& text, const std::string& part) {
  size_t n = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
  return n;
}

TEST(BrokenSetup, EveryExportFailsAndTheReasonIsSaidOnce) {
#if !defined(_WIN32)
  testing::internal::CaptureStderr();
#endif
  unsigned char bytes[512] = {};
  char text[128] = {};
  unsigned long arrived = 1, removed = 1;
  const struct {
    const char* name;
    std::function<bool()> failed;
  } cases[] = {
      {"TVQ_OpenDevice", [] { return TVQ_OpenDevice('E') == QMR_INVALID_HANDLE; }},
      {"USB_OpenDevice", [] { return USB_OpenDevice('E') == QMR_INVALID_HANDLE; }},
      {"TVQ_GetDeviceParentString", [&] { return TVQ_GetDeviceParentString('E', text) == 0; }},
      {"TVQ_GetDeviceLun", [] { return TVQ_GetDeviceLun('E', nullptr) == -1; }},
      {"TVQ_GetUSBString", [&] { return TVQ_GetUSBString('E', text) == 0; }},
      // QMR52916_DRIVES names a disk: without the guard it would be shown.
      {"QMR_DriveMask", [] { return QMR_DriveMask() == 0; }},
      {"QMR_DriveNode", [&] { return QMR_DriveNode('E', text, sizeof text) == 0; }},
      {"QMR_DriveChanges", [&] { return QMR_DriveChanges(&arrived, &removed) == 0 && arrived == 0 && removed == 0; }},
      {"QMR_SimDriveMask", [] { return QMR_SimDriveMask() == 0; }},
      {"QMR_SimPlug", [] { return QMR_SimPlug('E') == 0; }},
      {"QMR_SimPeekFlash", [&] { return QMR_SimPeekFlash('E', 0, bytes, 16) == 0; }},
      {"QMR_SimLockVolume", [] { return QMR_SimLockVolume('E') == 0; }},
      {"QMR_SimDeviceLetters", [&] { return QMR_SimDeviceLetters(text, sizeof text) == 0; }},
  };
  for (const auto& c : cases) EXPECT_TRUE(c.failed()) << c.name;

  const std::string reason = SetupError();
  EXPECT_NE(reason.find("JSON"), std::string::npos) << reason;
  char error[512] = {};
  EXPECT_EQ(QMR_SimAddFault('E', R"({"on":"open"})", error, sizeof error), 0);
  EXPECT_EQ(error, reason);
  EXPECT_EQ(QMR_SimStatus(error, sizeof error), -1);
  EXPECT_EQ(error, reason);
  char shortBuffer[5] = {'x', 'x', 'x', 'x', 'x'};
  EXPECT_EQ(QMR_GetSetupError(shortBuffer, sizeof shortBuffer), 1);
  EXPECT_EQ(std::string(shortBuffer), reason.substr(0, 4));
#if !defined(_WIN32)
  const std::string said = testing::internal::GetCapturedStderr();
  EXPECT_EQ(Count(said, "QMR52916LIB: " + reason + "\n"), 1u) << said;
  EXPECT_EQ(Count(said, "QMR52916LIB:"), 1u) << said;
#endif
}

TEST(BrokenSetup, ConfiguringTheSimulatorReplacesIt) {
  ASSERT_EQ(QMR_SimConfigure("1", nullptr, 0), 1);
  char error[64] = {'x'};
  EXPECT_EQ(QMR_GetSetupError(error, sizeof error), 0);
  EXPECT_STREQ(error, "");
  void* h = TVQ_OpenDevice('E');
  ASSERT_NE(h, QMR_INVALID_HANDLE);
  unsigned char id[4] = {};
  EXPECT_EQ(TVQ_GetFlashID(h, id), 1);
  QMR_CloseDevice(h);
  QMR_SimConfigure(nullptr, nullptr, 0);
}

}  // namespace
