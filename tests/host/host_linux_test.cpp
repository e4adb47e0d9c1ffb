// LinuxHost over a fake sysfs and a scripted system: mount table, disk
// layout, the volume lock with its unmounting, formatting and the watcher.
#include <gtest/gtest.h>

#include <fcntl.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "host/host_linux.h"
#include "location/fake_sysfs.h"

namespace ardentix {
namespace {

using Disk = test::FakeSysfs::Disk;
using namespace std::chrono_literals;

TEST(MountInfo, ParsesTheFieldsThatMatter) {
  const std::string text =
      "22 28 0:21 / /proc rw,relatime - proc proc rw\n"
      "36 25 8:17 / /media/op/CARD\\040A rw,nosuid shared:1 master:2 - vfat /dev/sdb1 rw,fmask=0022\n"
      "37 25 8:18 / /mnt/back\\134slash rw - ext4 /dev/sdb2 rw\n"
      "garbage line\n"
      "38 25 8:19 / /mnt/x rw shared:3 vfat /dev/sdb3 rw\n"  // no separator
      "\n";
  const auto mounts = ParseMountInfo(text);
  ASSERT_EQ(mounts.size(), 3u);
  EXPECT_EQ(mounts[1].device, "8:17");
  EXPECT_EQ(mounts[1].mountPoint, "/media/op/CARD A");
  EXPECT_EQ(mounts[1].fsType, "vfat");
  EXPECT_EQ(mounts[1].source, "/dev/sdb1");
  EXPECT_EQ(mounts[2].mountPoint, "/mnt/back\\slash");
}

TEST(DiskLayout, PartitionsInNumberOrderAndTheirMounts) {
  test::FakeSysfs sys;
  sys.Add(Disk("sdb").Dev("8:16").Partitions({2, 1, 10}));
  const DiskLayout disk = ReadDiskLayout(sys.root(), "/dev/sdb");
  EXPECT_EQ(disk.disk.device, "8:16");
  ASSERT_EQ(disk.partitions.size(), 3u);
  EXPECT_EQ(disk.partitions[0].node, "/dev/sdb1");
  EXPECT_EQ(disk.partitions[0].device, "8:17");
  EXPECT_EQ(disk.partitions[2].node, "/dev/sdb10");

  const auto mounts = ParseMountInfo(
      "40 25 8:33 / /media/other rw - vfat /dev/sdc1 rw\n"
      "41 25 8:18 / /media/two rw - vfat /dev/sdb2 rw\n"
      "42 25 8:16 / /media/whole rw - vfat /dev/sdb rw\n"
      "43 25 0:50 / /media/byname rw - vfat /dev/sdb1 rw\n");  // device number not the partition's
  std::vector<std::string> points;
  for (const auto& m : MountsOfDisk(disk, mounts)) points.push_back(m.mountPoint);
  EXPECT_EQ(points, (std::vector<std::string>{"/media/two", "/media/whole", "/media/byname"}));

  const DiskLayout unknown = ReadDiskLayout(sys.root(), "/dev/sdq");
  EXPECT_EQ(unknown.disk.device, "");
  EXPECT_TRUE(unknown.partitions.empty());
}

TEST(Format, ArgumentVectors) {
  DiskLayout whole;
  whole.disk = {"/dev/sdb", "8:16"};
  EXPECT_EQ(FormatArguments(whole), (std::vector<std::string>{"mkfs.fat", "-F", "32", "-I", "/dev/sdb"}));
  DiskLayout parted = whole;
  parted.partitions = {{"/dev/sdb1", "8:17"}, {"/dev/sdb2", "8:18"}};
  EXPECT_EQ(FormatArguments(parted), (std::vector<std::string>{"mkfs.fat", "-F", "32", "/dev/sdb1"}));
}

// Records the calls and answers from a script.
class FakeSystem final : public LinuxSystem {
 public:
  std::map<char, std::string> nodes{{'E', "/dev/sdb"}};
  std::string mountTable;
  std::map<std::string, int> unmountErrors;  // mount point -> errno
  int openError = 0;                         // for read-write opens
  int openReadOnlyError = 0;
  int flockError = 0;
  Process process{true, 0, ""};
  std::vector<std::string> calls;

  uint32_t DriveMask() override {
    uint32_t mask = 0;
    for (const auto& [letter, node] : nodes) mask |= 1u << (letter - 'A');
    return mask;
  }
  std::string DriveNode(char letter) override {
    const auto it = nodes.find(letter);
    return it == nodes.end() ? "" : it->second;
  }
  std::string ReadMountTable() override { return mountTable; }
  int Unmount(const std::string& mountPoint) override {
    calls.push_back("unmount " + mountPoint);
    const auto it = unmountErrors.find(mountPoint);
    if (it != unmountErrors.end()) return it->second;
    // An unmounted file system leaves the table.
    std::string kept, line;
    std::stringstream in(mountTable);
    while (std::getline(in, line))
      if (line.find(" " + mountPoint + " ") == std::string::npos) kept += line + "\n";
    mountTable = kept;
    return 0;
  }
  int OpenDisk(const std::string& node, int flags) override {
    const bool rw = (flags & O_ACCMODE) == O_RDWR;
    calls.push_back("open " + node + (rw ? " rw" : " ro") + ((flags & O_EXCL) ? " excl" : ""));
    const int error = rw ? openError : openReadOnlyError;
    return error ? -error : 7;
  }
  int LockExclusive(int fd) override {
    calls.push_back("flock " + std::to_string(fd));
    return flockError;
  }
  int DropCache(int fd) override { return calls.push_back("drop " + std::to_string(fd)), 0; }
  void Close(int fd) override { calls.push_back("close " + std::to_string(fd)); }
  int RereadPartitions(const std::string& node) override { return calls.push_back("reread " + node), 0; }
  std::optional<DiskSpace> StatVfs(const std::string& path) override {
    calls.push_back("statvfs " + path);
    return DiskSpace{1000, 400};
  }
  Process Run(const std::vector<std::string>& argv) override {
    std::string line = "run";
    for (const auto& a : argv) line += " " + a;
    calls.push_back(line);
    return process;
  }
};

class LinuxHostTest : public ::testing::Test {
 protected:
  void SetUp() override {
    sys.Add(Disk("sdb").Dev("8:16").Partitions({1, 2}));
    options.sysfsRoot = sys.root();
    options.lockWait = 30ms;
  }
  LinuxHost Host() { return LinuxHost(fake, options); }

  test::FakeSysfs sys;
  std::shared_ptr<FakeSystem> fake = std::make_shared<FakeSystem>();
  LinuxHostOptions options;
};

constexpr const char* kCardMounted = "36 25 8:17 / /media/op/CARD rw shared:1 - vfat /dev/sdb1 rw\n";
constexpr const char* kBothMounted =
    "36 25 8:17 / /media/op/CARD rw shared:1 - vfat /dev/sdb1 rw\n"
    "37 25 8:18 / /media/op/DATA rw shared:1 - ext4 /dev/sdb2 rw\n";

TEST_F(LinuxHostTest, DrivesAndSpace) {
  LinuxHost host = Host();
  EXPECT_EQ(host.LogicalDriveMask(), 1u << ('E' - 'A'));
  EXPECT_EQ(host.GetDriveType('E'), DriveType::Removable);
  EXPECT_EQ(host.GetDriveType('F'), DriveType::NoRootDir);
  EXPECT_EQ(host.DeviceNode('E'), "/dev/sdb");
  EXPECT_EQ(host.OsMajorVersion(), 10);

  EXPECT_FALSE(host.FreeSpace('E')) << "nothing mounted";
  EXPECT_FALSE(host.FreeSpace('F')) << "no drive";
  fake->mountTable = "37 25 8:18 / /media/op/DATA rw - ext4 /dev/sdb2 rw\n" + std::string(kCardMounted);
  const auto space = host.FreeSpace('E');
  ASSERT_TRUE(space);
  EXPECT_EQ(space->totalBytes, 1000u);
  EXPECT_EQ(fake->calls.back(), "statvfs /media/op/CARD") << "the first partition stands for the letter";
}

TEST_F(LinuxHostTest, LockUnmountsThenHoldsTheDiskExclusively) {
  struct Case {
    const char* name;
    std::string mounts;
    std::map<std::string, int> unmountErrors;
    int openError, openReadOnlyError, flockError;
    bool locked;
    std::vector<std::string> calls;
    std::string error;  // part of LastError
  } cases[] = {
      {"nothing mounted", "", {}, 0, 0, 0, true, {"open /dev/sdb rw excl", "flock 7"}, ""},
      {"both partitions mounted: newest first",
       kBothMounted,
       {},
       0,
       0,
       0,
       true,
       {"unmount /media/op/DATA", "unmount /media/op/CARD", "open /dev/sdb rw excl", "flock 7"},
       ""},
      {"unmount refused: nothing opened",
       kCardMounted,
       {{"/media/op/CARD", EPERM}},
       0,
       0,
       0,
       false,
       {"unmount /media/op/CARD"},
       "/media/op/CARD: Operation not permitted (unmounting needs root or CAP_SYS_ADMIN)"},
      {"disk busy", "", {}, EBUSY, 0, 0, false, {"open /dev/sdb rw excl"}, "Device or resource busy"},
      {"no write access: read-only exclusive open",
       "",
       {},
       EACCES,
       0,
       0,
       true,
       {"open /dev/sdb rw excl", "open /dev/sdb ro excl", "flock 7"},
       ""},
      {"udev keeps its flock", "", {}, 0, 0, EWOULDBLOCK, false, {}, "cannot lock /dev/sdb"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    fake = std::make_shared<FakeSystem>();
    fake->mountTable = c.mounts;
    fake->unmountErrors = c.unmountErrors;
    fake->openError = c.openError;
    fake->openReadOnlyError = c.openReadOnlyError;
    fake->flockError = c.flockError;
    LinuxHost host = Host();
    EXPECT_EQ(host.LockVolume('E', nullptr), c.locked);
    if (!c.calls.empty()) {
      EXPECT_EQ(fake->calls, c.calls);
    }
    EXPECT_NE(host.LastError('E').find(c.error), std::string::npos) << host.LastError('E');
    if (!c.locked && c.flockError) {
      EXPECT_EQ(fake->calls.back(), "close 7") << "a failed lock closes the disk again";
    }
    EXPECT_EQ(host.UnlockVolume('E', nullptr), c.locked) << "unlock only what was locked";
  }
}

TEST_F(LinuxHostTest, UnlockDropsTheCacheThenReleases) {
  LinuxHost host = Host();
  EXPECT_FALSE(host.UnlockVolume('E', nullptr)) << "never locked";
  ASSERT_TRUE(host.LockVolume('E', nullptr));
  EXPECT_FALSE(host.LockVolume('E', nullptr)) << "already locked";
  fake->calls.clear();
  EXPECT_TRUE(host.UnlockVolume('E', nullptr));
  EXPECT_EQ(fake->calls, (std::vector<std::string>{"drop 7", "close 7", "reread /dev/sdb"}));
  EXPECT_FALSE(host.UnlockVolume('E', nullptr)) << "already unlocked";
  EXPECT_TRUE(host.LockVolume('E', nullptr)) << "and it can be locked again";
  EXPECT_FALSE(host.LockVolume('F', nullptr)) << "no drive";
}

TEST_F(LinuxHostTest, FormatUnmountsAndRunsMkfs) {
  struct Case {
    const char* name;
    bool partitioned;
    std::string mounts;
    std::map<std::string, int> unmountErrors;
    LinuxSystem::Process process;
    std::vector<std::string> calls;
    bool started;
    int exitCode;
    std::string message;  // part of the message; "" means no message
  } cases[] = {
      {"first partition",
       true,
       kCardMounted,
       {},
       {true, 0, "mkfs.fat 4.2\n"},
       {"unmount /media/op/CARD", "run mkfs.fat -F 32 /dev/sdb1"},
       true,
       0,
       ""},
      {"whole disk", false, "", {}, {true, 0, ""}, {"run mkfs.fat -F 32 -I /dev/sdc"}, true, 0, ""},
      {"mkfs fails",
       true,
       "",
       {},
       {true, 1, "mkfs.fat 4.2\nmkfs.fat: unable to open /dev/sdb1: Permission denied\n"},
       {"run mkfs.fat -F 32 /dev/sdb1"},
       true,
       1,
       "(exit 1): mkfs.fat: unable to open /dev/sdb1: Permission denied"},
      {"mkfs missing", true, "", {}, {false, 127, "mkfs.fat not found"}, {"run mkfs.fat -F 32 /dev/sdb1"}, false, 127,
       "mkfs.fat not found"},
      {"unmount refused", true, kCardMounted, {{"/media/op/CARD", EBUSY}}, {}, {"unmount /media/op/CARD"}, false, -1,
       "cannot unmount /dev/sdb1 from /media/op/CARD: Device or resource busy"},
  };
  sys.Add(Disk("sdc").Dev("8:32").Host(7).Port("1-2"));
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    fake = std::make_shared<FakeSystem>();
    fake->nodes = {{'E', c.partitioned ? "/dev/sdb" : "/dev/sdc"}};
    fake->mountTable = c.mounts;
    fake->unmountErrors = c.unmountErrors;
    fake->process = c.process;
    LinuxHost host = Host();
    const FormatOutcome outcome = host.FormatDrive('E');
    EXPECT_EQ(fake->calls, c.calls);
    EXPECT_EQ(outcome.started, c.started);
    EXPECT_EQ(outcome.exitCode, c.exitCode);
    if (c.message.empty()) {
      EXPECT_EQ(outcome.message, "");
    } else {
      EXPECT_NE(outcome.message.find(c.message), std::string::npos) << outcome.message;
    }
  }
}

TEST_F(LinuxHostTest, FormatRefusesWhatItCannotTouch) {
  LinuxHost host = Host();
  ASSERT_TRUE(host.LockVolume('E', nullptr));
  fake->calls.clear();
  EXPECT_FALSE(host.FormatDrive('E').started) << "locked for a burn";
  EXPECT_FALSE(host.FormatDrive('G').started) << "no drive";
  EXPECT_TRUE(fake->calls.empty());
}

TEST(LinuxSystemRun, ReportsExitCodeAndOutputWithoutAShell) {
  LinuxSystem system;
  const auto failed = system.Run({"sh", "-c", "echo first; echo 'it failed' >&2; exit 3"});
  EXPECT_TRUE(failed.started);
  EXPECT_EQ(failed.exitCode, 3);
  EXPECT_EQ(failed.output, "first\nit failed\n");
  // Arguments reach the program as they are: nothing is split or expanded.
  const auto echoed = system.Run({"printf", "%s|", "a b", "$HOME", "*"});
  EXPECT_EQ(echoed.output, "a b|$HOME|*|");
  const auto missing = system.Run({"ardentix-no-such-program"});
  EXPECT_FALSE(missing.started);
  EXPECT_EQ(missing.exitCode, 127);
}

// The watcher reports what the drive letters changed, removals first.
class ScriptedChanges final : public LinuxSystem {
 public:
  std::mutex mutex;
  std::vector<std::pair<uint32_t, uint32_t>> script;  // (arrived, removed) per call
  uint32_t DriveChanges(uint32_t& arrived, uint32_t& removed) override {
    std::lock_guard lock(mutex);
    arrived = removed = 0;
    if (!script.empty()) {
      std::tie(arrived, removed) = script.front();
      script.erase(script.begin());
    }
    return 0;
  }
};

TEST(LinuxHostWatcher, ReportsChangesAndStopsPromptly) {
  for (const bool udev : {false, true}) {
    SCOPED_TRACE(udev ? "with udev" : "rescan only");
    auto system = std::make_shared<ScriptedChanges>();
    system->script = {{1u << 4, 0}, {0, 0}, {1u << 5, 1u << 5}};
    LinuxHostOptions options;
    options.udev = udev;
    options.rescanInterval = 5ms;
    LinuxHost host(system, options);

    std::mutex mutex;
    std::condition_variable cv;
    std::vector<std::pair<bool, uint32_t>> heard;
    host.SetVolumeListener([&](bool arrived, uint32_t mask) {
      std::lock_guard lock(mutex);
      heard.push_back({arrived, mask});
      cv.notify_all();
    });
    host.StartWatching();
    {
      std::unique_lock lock(mutex);
      ASSERT_TRUE(cv.wait_for(lock, 5s, [&] { return heard.size() >= 3; }));
    }
    host.StopWatching();
    EXPECT_EQ(heard, (std::vector<std::pair<bool, uint32_t>>{{true, 1u << 4}, {false, 1u << 5}, {true, 1u << 5}}));
  }

  // A long rescan interval does not hold StopWatching up.
  LinuxHostOptions slow;
  slow.rescanInterval = std::chrono::hours(1);
  LinuxHost host(std::make_shared<ScriptedChanges>(), slow);
  host.StartWatching();
  std::this_thread::sleep_for(20ms);
  const auto start = std::chrono::steady_clock::now();
  host.StopWatching();
  EXPECT_LT(std::chrono::steady_clock::now() - start, 1s);
}

}  // namespace
}  // namespace ardentix
