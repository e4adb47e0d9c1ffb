// The host on Linux: drive letters from the device library's lettering of
// USB disks, free space from the mount table, the volume lock as an
// exclusive, flock()ed open of the unmounted disk, formatting with mkfs.fat,
// and volume notifications from a udev monitor.
#pragma once

#include <chrono>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "host/host.h"

namespace ardentix {

// One line of /proc/self/mountinfo.
struct MountEntry {
  std::string device;      // "8:17"
  std::string mountPoint;  // unescaped
  std::string fsType;
  std::string source;      // "/dev/sdb1"
};

// Lines that do not have the mountinfo layout are skipped.
std::vector<MountEntry> ParseMountInfo(const std::string& text);

// A disk and its partitions as sysfs shows them.
struct DiskLayout {
  struct Volume {
    std::string node;    // "/dev/sdb1"
    std::string device;  // "8:17", "" when unknown
  };
  Volume disk;
  std::vector<Volume> partitions;  // by partition number
};

// Reads <sysfsRoot>/block/<disk>; a disk sysfs does not show has no
// partitions and no device number.
DiskLayout ReadDiskLayout(const std::string& sysfsRoot, const std::string& node);

// The mounts of the disk or its partitions, in mount-table order.
std::vector<MountEntry> MountsOfDisk(const DiskLayout& disk, const std::vector<MountEntry>& mounts);

// mkfs.fat's arguments: the first partition when the disk has one, as that is
// the volume a system mounts and the one Windows formats behind the letter;
// else the whole disk, which mkfs.fat only accepts with -I.
std::vector<std::string> FormatArguments(const DiskLayout& disk);

// Everything LinuxHost asks of the system. The default implementation is the
// real one; tests replace parts of it.
class LinuxSystem {
 public:
  virtual ~LinuxSystem() = default;

  // The device library's drive letters.
  virtual uint32_t DriveMask();
  virtual std::string DriveNode(char letter);
  virtual uint32_t DriveChanges(uint32_t& arrived, uint32_t& removed);

  virtual std::string ReadMountTable();
  // Results are 0 or an errno value; OpenDisk gives a descriptor or -errno.
  virtual int Unmount(const std::string& mountPoint);
  virtual int OpenDisk(const std::string& node, int flags);
  virtual int LockExclusive(int fd);  // flock(LOCK_EX | LOCK_NB)
  virtual int DropCache(int fd);      // BLKFLSBUF, else drop the clean pages
  virtual void Close(int fd);
  virtual int RereadPartitions(const std::string& node);  // BLKRRPART
  virtual std::optional<DiskSpace> StatVfs(const std::string& path);

  struct Process {
    bool started = false;
    int exitCode = -1;    // 128 + signal when killed
    std::string output;   // stdout and stderr together
  };
  // Runs argv[0] (looked up in PATH and the sbin folders) without a shell.
  virtual Process Run(const std::vector<std::string>& argv);
};

struct LinuxHostOptions {
  std::string sysfsRoot = "/sys";
  bool udev = true;  // false: no monitor, only the periodic rescan
  // A rescan every so often catches what a missed event would hide.
  std::chrono::milliseconds rescanInterval{2000};
  // A second look after an event: sysfs may still hold a departing disk.
  std::chrono::milliseconds settleDelay{300};
  // How long the lock waits for udev, which holds a shared flock while it probes.
  std::chrono::milliseconds lockWait{2000};
};

class LinuxHost final : public Host {
 public:
  LinuxHost();
  LinuxHost(std::shared_ptr<LinuxSystem> system, LinuxHostOptions options);
  ~LinuxHost() override;

  uint32_t LogicalDriveMask() override;
  DriveType GetDriveType(char letter) override;
  std::string DeviceNode(char letter) override;
  std::optional<DiskSpace> FreeSpace(char letter) override;
  bool LockVolume(char letter, void* deviceHandle) override;
  bool UnlockVolume(char letter, void* deviceHandle) override;
  FormatOutcome FormatDrive(char letter) override;
  int OsMajorVersion() override { return 10; }
  std::string HostName() override;
  void SetVolumeListener(VolumeListener listener) override;
  void StartWatching() override;
  void StopWatching() override;

  // Why the letter's last lock or unlock failed; "" after a success.
  std::string LastError(char letter);

 private:
  struct Lock {
    int fd = -1;  // -1 while the lock is being taken
    std::string node;
  };
  bool UnmountAll(const DiskLayout& disk, std::string& error);
  bool FailLock(char letter, const std::string& error);
  void Watch(int wakeFd);
  void Dispatch();

  std::shared_ptr<LinuxSystem> system_;
  LinuxHostOptions options_;

  std::mutex mutex_;
  std::map<char, Lock> locks_;
  std::map<char, std::string> errors_;
  VolumeListener listener_;
  std::thread watcher_;
  int wakeWrite_ = -1;
};

}  // namespace ardentix
