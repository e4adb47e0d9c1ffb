// A drive letter means the same drive on every road a command can take: the
// simulator, Linux and Windows all take either case and work in upper case.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "QMR52916LIB_ext.h"
#include "transport.h"

#if defined(_WIN32)
#include "platform/windows_sptd.h"
#else
#include <unistd.h>

#include "platform/linux_sg.h"
#endif

namespace {

namespace fs = std::filesystem;

struct LetterCase {
  const char* name;
  char given;
  bool names;  // true: the drive of the base letter, false: no drive
};

// For a drive on `base` (upper case), which letters reach it.
std::vector<LetterCase> Cases(char base) {
  return {
      {"upper case", base, true},
      {"lower case", char(base - 'A' + 'a'), true},
      {"another letter", 'Q', false},  // no drive Q: on any of the roads here
      {"before A", '@', false},
      {"after Z", '[', false},
      {"before a", '`', false},
      {"after z", '{', false},
      {"digit", '5', false},
      {"NUL", '\0', false},
      {"high byte", char(0xC5), false},
  };
}

std::string FirstTraceLetter(const fs::path& trace) {
  std::ifstream in(trace);
  std::string line;
  std::getline(in, line);
  return line.substr(0, 1);
}

class DriveLetterRule : public ::testing::Test {
 protected:
  void TearDown() override {
    QMR_SetTraceFile(nullptr);
    QMR_SimConfigure(nullptr, nullptr, 0);
  }
};

TEST_F(DriveLetterRule, Simulator) {
  ASSERT_EQ(QMR_SimConfigure("1", nullptr, 0), 1);  // one device on E
  const fs::path trace = fs::temp_directory_path() / ("qmr-letter-trace-" + std::to_string(std::rand()));
  for (const LetterCase& c : Cases('E')) {
    SCOPED_TRACE(c.name);
    fs::remove(trace);
    ASSERT_EQ(QMR_SetTraceFile(trace.string().c_str()), 1);
    void* h = TVQ_OpenDevice(c.given);
    EXPECT_EQ(h != QMR_INVALID_HANDLE, c.names);
    if (h != QMR_INVALID_HANDLE) {
      // The identify command of the open is traced under the upper-case letter.
      EXPECT_EQ(FirstTraceLetter(trace), "E");
      QMR_CloseDevice(h);
    }
    char parent[36] = {};
    EXPECT_EQ(TVQ_GetDeviceParentString(c.given, parent), c.names ? 1 : 0);
    EXPECT_EQ(TVQ_GetDeviceLun(c.given, nullptr), c.names ? 0 : -1);
    QMR_SetTraceFile(nullptr);
  }
  fs::remove(trace);
}

#if !defined(_WIN32)
TEST_F(DriveLetterRule, Linux) {
  ASSERT_EQ(QMR_SimConfigure(nullptr, nullptr, 0), 1);
  const fs::path root = fs::temp_directory_path() / ("qmr-letter-sysfs-" + std::to_string(::getpid()));
  fs::create_directories(root / "block/sdb/device/scsi_generic/sg3");
  ::setenv("QMR52916_DRIVES", "E=/dev/sdb", 1);
  for (const LetterCase& c : Cases('E')) {
    SCOPED_TRACE(c.name);
    char node[32] = {};
    EXPECT_EQ(QMR_DriveNode(c.given, node, sizeof node), c.names ? 1 : 0);
    EXPECT_EQ(std::string(node), c.names ? "/dev/sdb" : "");
    // What the open sends its commands to.
    EXPECT_EQ(qmr::linux_sg::GenericNodeForLetter(root.string(), c.given), c.names ? "/dev/sg3" : "");
  }
  ::setenv("QMR52916_DRIVES", "", 1);
  fs::remove_all(root);
}
#else
TEST_F(DriveLetterRule, Windows) {
  ASSERT_EQ(QMR_SimConfigure(nullptr, nullptr, 0), 1);
  // Wine's C: is a folder: it opens as a volume, which is all this needs.
  for (const LetterCase& c : Cases('C')) {
    SCOPED_TRACE(c.name);
    void* h = USB_OpenDevice(c.given);
    EXPECT_EQ(h != QMR_INVALID_HANDLE, c.names);
    if (h != QMR_INVALID_HANDLE) {
      EXPECT_EQ(qmr::windows_sptd::LetterOf(h), 'C');
      QMR_CloseDevice(h);
    }
  }
}
#endif

}  // namespace
