#include "host/host_linux.h"

#include <fcntl.h>
#include <libudev.h>
#include <linux/fs.h>
#include <poll.h>
#include <spawn.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/statvfs.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "QMR52916LIB_ext.h"

extern char** environ;

namespace ardentix {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;


std::string ReadFirstLine(const fs::path& file) {
  std::ifstream in(file);
  std::string line;
  std::getline(in, line);
  while (!line.empty() && (line.back() == ' ' || line.back() == '\r')) line.pop_back();
  return line;
}

// mountinfo writes space, tab, newline and backslash as \ooo.
std::string Unescape(const std::string& field) {
  std::string out;
  for (size_t i = 0; i < field.size(); ++i) {
    if (field[i] == '\\' && i + 3 < field.size()) {
      const std::string digits = field.substr(i + 1, 3);
      if (std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '7'; })) {
        out += char(std::stoi(digits, nullptr, 8));
        i += 3;
        continue;
      }
    }
    out += field[i];
  }
  return out;
}

std::string ErrorText(int error) { return std::strerror(error); }

std::string Needs(int error) {
  return error == EPERM || error == EACCES ? " (unmounting needs root or CAP_SYS_ADMIN)" : "";
}

std::string LastLine(const std::string& text) {
  std::string t = text;
  while (!t.empty() && (t.back() == '\n' || t.back() == ' ')) t.pop_back();
  const auto nl = t.rfind('\n');
  return nl == std::string::npos ? t : t.substr(nl + 1);
}

// The program's full path: PATH first, then the sbin folders that an
// ordinary user's PATH often lacks but that hold mkfs.fat.
std::string FindProgram(const std::string& name) {
  if (name.find('/') != std::string::npos) return ::access(name.c_str(), X_OK) == 0 ? name : std::string();
  std::string dirs;
  if (const char* path = std::getenv("PATH")) dirs = path;
  dirs += ":/usr/local/sbin:/usr/sbin:/sbin";
  std::stringstream in(dirs);
  std::string dir;
  while (std::getline(in, dir, ':')) {
    if (dir.empty()) continue;
    const std::string candidate = dir + "/" + name;
    if (::access(candidate.c_str(), X_OK) == 0) return candidate;
  }
  return {};
}

}  // namespace

// --- Mount table and disk layout -----------------------------------------

std::vector<MountEntry> ParseMountInfo(const std::string& text) {
  // "36 35 8:17 / /media/op/CARD rw,nosuid shared:1 - vfat /dev/sdb1 rw,..."
  std::vector<MountEntry> entries;
  std::stringstream lines(text);
  std::string line;
  while (std::getline(lines, line)) {
    std::stringstream in(line);
    std::vector<std::string> fields;
    std::string f;
    while (in >> f) fields.push_back(f);
    const auto dash = std::find(fields.begin(), fields.end(), "-");
    if (dash == fields.end() || dash - fields.begin() < 6 || fields.end() - dash < 3) continue;
    if (fields[2].find(':') == std::string::npos) continue;
    entries.push_back(MountEntry{fields[2], Unescape(fields[4]), Unescape(*(dash + 1)), Unescape(*(dash + 2))});
  }
  return entries;
}

DiskLayout ReadDiskLayout(const std::string& sysfsRoot, const std::string& node) {
  DiskLayout layout;
  layout.disk.node = node;
  std::error_code ec;
  // A node given through a link (/dev/disk/by-id/...) is named by its target in sysfs.
  const fs::path real = fs::exists(node, ec) ? fs::canonical(node, ec) : fs::path(node);
  const std::string name = (ec ? fs::path(node) : real).filename().string();
  if (name.empty()) return layout;
  const fs::path dir = fs::path(sysfsRoot) / "block" / name;
  layout.disk.device = ReadFirstLine(dir / "dev");
  std::vector<std::pair<int, DiskLayout::Volume>> parts;
  for (const auto& entry : fs::directory_iterator(dir, ec)) {
    const std::string part = entry.path().filename().string();
    if (part.rfind(name, 0) != 0 || !fs::exists(entry.path() / "partition", ec)) continue;
    const int number = std::atoi(ReadFirstLine(entry.path() / "partition").c_str());
    parts.push_back({number, {"/dev/" + part, ReadFirstLine(entry.path() / "dev")}});
  }
  std::sort(parts.begin(), parts.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
  for (auto& p : parts) layout.partitions.push_back(std::move(p.second));
  return layout;
}

std::vector<MountEntry> MountsOfDisk(const DiskLayout& disk, const std::vector<MountEntry>& mounts) {
  std::vector<const DiskLayout::Volume*> volumes{&disk.disk};
  for (const auto& p : disk.partitions) volumes.push_back(&p);
  std::vector<MountEntry> found;
  for (const auto& m : mounts) {
    const bool ours = std::any_of(volumes.begin(), volumes.end(), [&](const DiskLayout::Volume* v) {
      return (!v->device.empty() && v->device == m.device) || v->node == m.source;
    });
    if (ours) found.push_back(m);
  }
  return found;
}

std::vector<std::string> FormatArguments(const DiskLayout& disk) {
  if (!disk.partitions.empty()) return {"mkfs.fat", "-F", "32", disk.partitions.front().node};
  return {"mkfs.fat", "-F", "32", "-I", disk.disk.node};
}

// --- The real system ---------------------------------------------------------

uint32_t LinuxSystem::DriveMask() { return uint32_t(QMR_DriveMask()); }

std::string LinuxSystem::DriveNode(char letter) {
  char node[256] = {};
  return QMR_DriveNode(letter, node, sizeof node) ? std::string(node) : std::string();
}

uint32_t LinuxSystem::DriveChanges(uint32_t& arrived, uint32_t& removed) {
  unsigned long a = 0, r = 0;
  const unsigned long mask = QMR_DriveChanges(&a, &r);
  arrived = uint32_t(a);
  removed = uint32_t(r);
  return uint32_t(mask);
}

std::string LinuxSystem::ReadMountTable() {
  std::ifstream in("/proc/self/mountinfo");
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

int LinuxSystem::Unmount(const std::string& mountPoint) {
  return ::umount2(mountPoint.c_str(), 0) == 0 ? 0 : errno;
}

int LinuxSystem::OpenDisk(const std::string& node, int flags) {
  const int fd = ::open(node.c_str(), flags | O_CLOEXEC);
  return fd >= 0 ? fd : -errno;
}

int LinuxSystem::LockExclusive(int fd) { return ::flock(fd, LOCK_EX | LOCK_NB) == 0 ? 0 : errno; }

int LinuxSystem::DropCache(int fd) {
  if (::ioctl(fd, BLKFLSBUF, 0) == 0) return 0;
  // BLKFLSBUF needs CAP_SYS_ADMIN; dropping the clean pages does not.
  const int error = errno;
  return ::posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED) == 0 ? 0 : error;
}

void LinuxSystem::Close(int fd) { ::close(fd); }

int LinuxSystem::RereadPartitions(const std::string& node) {
  const int fd = ::open(node.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return errno;
  const int rc = ::ioctl(fd, BLKRRPART, 0) == 0 ? 0 : errno;
  ::close(fd);
  return rc;
}

std::optional<DiskSpace> LinuxSystem::StatVfs(const std::string& path) {
  struct statvfs s{};
  if (::statvfs(path.c_str(), &s) != 0) return std::nullopt;
  return DiskSpace{uint64_t(s.f_blocks) * s.f_frsize, uint64_t(s.f_bavail) * s.f_frsize};
}

LinuxSystem::Process LinuxSystem::Run(const std::vector<std::string>& argv) {
  Process result;
  if (argv.empty()) return result;
  const std::string program = FindProgram(argv[0]);
  if (program.empty()) {
    result.exitCode = 127;
    result.output = argv[0] + " not found";
    return result;
  }
  int out[2];
  if (::pipe2(out, O_CLOEXEC) != 0) {
    result.output = "pipe: " + ErrorText(errno);
    return result;
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, out[1], 1);
  posix_spawn_file_actions_adddup2(&actions, out[1], 2);
  std::vector<char*> args;
  for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  pid_t pid = 0;
  const int spawned = ::posix_spawn(&pid, program.c_str(), &actions, nullptr, args.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  ::close(out[1]);
  if (spawned != 0) {
    ::close(out[0]);
    result.output = program + ": " + ErrorText(spawned);
    return result;
  }
  result.started = true;
  char buffer[4096];
  for (;;) {
    const ssize_t n = ::read(out[0], buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    result.output.append(buffer, size_t(n));
    if (result.output.size() > 65536) result.output.erase(0, result.output.size() - 65536);
  }
  ::close(out[0]);
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : WIFSIGNALED(status) ? 128 + WTERMSIG(status) : -1;
  return result;
}

// --- LinuxHost ---------------------------------------------------------------

LinuxHost::LinuxHost() : LinuxHost(std::make_shared<LinuxSystem>(), LinuxHostOptions{}) {}

LinuxHost::LinuxHost(std::shared_ptr<LinuxSystem> system, LinuxHostOptions options)
    : system_(std::move(system)), options_(std::move(options)) {}

LinuxHost::~LinuxHost() {
  StopWatching();
  std::lock_guard lock(mutex_);
  for (auto& [letter, held] : locks_)
    if (held.fd >= 0) system_->Close(held.fd);
}

uint32_t LinuxHost::LogicalDriveMask() { return system_->DriveMask(); }

// Only removable USB disks are lettered.
DriveType LinuxHost::GetDriveType(char letter) {
  return (system_->DriveMask() & DriveBit(letter)) ? DriveType::Removable : DriveType::NoRootDir;
}

std::string LinuxHost::DeviceNode(char letter) { return system_->DriveNode(letter); }

std::optional<DiskSpace> LinuxHost::FreeSpace(char letter) {
  const std::string node = system_->DriveNode(letter);
  if (node.empty()) return std::nullopt;
  const DiskLayout disk = ReadDiskLayout(options_.sysfsRoot, node);
  const auto mounts = MountsOfDisk(disk, ParseMountInfo(system_->ReadMountTable()));
  // The first partition's file system is the one the letter stands for.
  std::vector<const DiskLayout::Volume*> order;
  for (const auto& p : disk.partitions) order.push_back(&p);
  order.push_back(&disk.disk);
  for (const auto* volume : order)
    for (const auto& m : mounts)
      if ((!volume->device.empty() && m.device == volume->device) || m.source == volume->node)
        return system_->StatVfs(m.mountPoint);
  return std::nullopt;
}

bool LinuxHost::UnmountAll(const DiskLayout& disk, std::string& error) {
  const auto mounts = MountsOfDisk(disk, ParseMountInfo(system_->ReadMountTable()));
  // Newest first, so that a mount inside another goes before it.
  for (auto it = mounts.rbegin(); it != mounts.rend(); ++it) {
    const int rc = system_->Unmount(it->mountPoint);
    if (rc != 0) {
      error = "cannot unmount " + it->source + " from " + it->mountPoint + ": " + ErrorText(rc) + Needs(rc);
      return false;
    }
  }
  return true;
}

bool LinuxHost::FailLock(char letter, const std::string& error) {
  std::lock_guard lock(mutex_);
  locks_.erase(letter);
  errors_[letter] = error;
  return false;
}

bool LinuxHost::LockVolume(char letter, void*) {
  {
    std::lock_guard lock(mutex_);
    if (locks_.count(letter)) {
      errors_[letter] = std::string("drive ") + letter + ": is already locked";
      return false;
    }
    locks_[letter] = Lock{};  // holds the place while the lock is taken
  }
  const std::string node = system_->DriveNode(letter);
  if (node.empty()) return FailLock(letter, std::string("no disk behind drive ") + letter + ":");
  std::string error;
  if (!UnmountAll(ReadDiskLayout(options_.sysfsRoot, node), error)) return FailLock(letter, error);

  // O_EXCL fails while any of the disk's file systems is still mounted, and
  // keeps them from being mounted while held. Read-write when allowed, so
  // that closing it makes udev look at the rewritten card again.
  int fd = system_->OpenDisk(node, O_RDWR | O_EXCL);
  if (fd == -EACCES || fd == -EROFS) fd = system_->OpenDisk(node, O_RDONLY | O_EXCL);
  if (fd < 0) return FailLock(letter, "cannot open " + node + " exclusively: " + ErrorText(-fd));

  // udev holds a shared flock while it probes a disk and leaves alone a
  // disk on which someone holds an exclusive one.
  const auto deadline = Clock::now() + options_.lockWait;
  int rc = system_->LockExclusive(fd);
  while (rc == EWOULDBLOCK && Clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    rc = system_->LockExclusive(fd);
  }
  if (rc != 0) {
    system_->Close(fd);
    return FailLock(letter, "cannot lock " + node + ": " + ErrorText(rc));
  }
  std::lock_guard lock(mutex_);
  locks_[letter] = Lock{fd, node};
  errors_.erase(letter);
  return true;
}

bool LinuxHost::UnlockVolume(char letter, void*) {
  Lock held;
  {
    std::lock_guard lock(mutex_);
    const auto it = locks_.find(letter);
    if (it == locks_.end() || it->second.fd < 0) {
      errors_[letter] = std::string("drive ") + letter + ": is not locked";
      return false;
    }
    held = it->second;
    locks_.erase(it);
    errors_.erase(letter);
  }
  // The card was written around the page cache, through SCSI generic: what
  // the cache holds of the disk is stale.
  const int dropped = system_->DropCache(held.fd);
  system_->Close(held.fd);
  // Let the kernel see the new partition table; without the right it is
  // udev's re-probe on our close that does it.
  system_->RereadPartitions(held.node);
  if (dropped != 0) {
    std::lock_guard lock(mutex_);
    errors_[letter] = "cannot drop the cache of " + held.node + ": " + ErrorText(dropped);
  }
  return true;
}

FormatOutcome LinuxHost::FormatDrive(char letter) {
  FormatOutcome outcome;
  const std::string drive = std::string("Drive ") + letter + ":";
  const std::string node = system_->DriveNode(letter);
  if (node.empty()) {
    outcome.message = drive + " is not attached.";
    return outcome;
  }
  {
    std::lock_guard lock(mutex_);
    if (locks_.count(letter)) {
      outcome.message = drive + " is locked for burning.";
      return outcome;
    }
  }
  const DiskLayout disk = ReadDiskLayout(options_.sysfsRoot, node);
  std::string error;
  if (!UnmountAll(disk, error)) {
    outcome.message = drive + " " + error + ".";
    return outcome;
  }
  const auto argv = FormatArguments(disk);
  const auto run = system_->Run(argv);
  outcome.started = run.started;
  outcome.exitCode = run.exitCode;
  if (!run.started)
    outcome.message = drive + " mkfs.fat could not be run: " + LastLine(run.output) + ".";
  else if (run.exitCode != 0)
    outcome.message = drive + " mkfs.fat failed on " + argv.back() + " (exit " + std::to_string(run.exitCode) +
                      "): " + LastLine(run.output);
  return outcome;
}

std::string LinuxHost::LastError(char letter) {
  std::lock_guard lock(mutex_);
  const auto it = errors_.find(letter);
  return it == errors_.end() ? std::string() : it->second;
}

// --- Notifications -----------------------------------------------------------

void LinuxHost::SetVolumeListener(VolumeListener listener) {
  std::lock_guard lock(mutex_);
  listener_ = std::move(listener);
}

void LinuxHost::StartWatching() {
  std::lock_guard lock(mutex_);
  if (watcher_.joinable()) return;
  int wake[2];
  if (::pipe2(wake, O_CLOEXEC | O_NONBLOCK) != 0) return;
  wakeWrite_ = wake[1];
  watcher_ = std::thread(&LinuxHost::Watch, this, wake[0]);
}

void LinuxHost::StopWatching() {
  std::thread watcher;
  int wakeWrite = -1;
  {
    std::lock_guard lock(mutex_);
    if (!watcher_.joinable()) return;
    watcher = std::move(watcher_);
    wakeWrite = wakeWrite_;
    wakeWrite_ = -1;
  }
  const char stop = 1;
  while (::write(wakeWrite, &stop, 1) < 0 && errno == EINTR) {
  }
  watcher.join();
  ::close(wakeWrite);
}

void LinuxHost::Dispatch() {
  uint32_t arrived = 0, removed = 0;
  system_->DriveChanges(arrived, removed);
  if (arrived == 0 && removed == 0) return;
  VolumeListener listener;
  {
    std::lock_guard lock(mutex_);
    listener = listener_;
  }
  if (!listener) return;
  // A letter that changed device goes first, then comes back.
  if (removed) listener(false, removed);
  if (arrived) listener(true, arrived);
}

void LinuxHost::Watch(int wakeFd) {
  udev* context = nullptr;
  udev_monitor* monitor = nullptr;
  if (options_.udev && (context = udev_new()) != nullptr) {
    // "udev": events after udev has run its rules, so the nodes exist.
    monitor = udev_monitor_new_from_netlink(context, "udev");
    if (monitor && (udev_monitor_filter_add_match_subsystem_devtype(monitor, "block", "disk") < 0 ||
                    udev_monitor_enable_receiving(monitor) < 0)) {
      udev_monitor_unref(monitor);
      monitor = nullptr;
    }
  }
  const int monitorFd = monitor ? udev_monitor_get_fd(monitor) : -1;

  Dispatch();  // whatever changed before watching began
  auto nextRescan = Clock::now() + options_.rescanInterval;
  auto settleAt = Clock::time_point::max();  // max: no second look pending
  for (;;) {
    const auto now = Clock::now();
    const auto due = std::min(settleAt, nextRescan);
    const auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(due - now).count();
    pollfd fds[2] = {{wakeFd, POLLIN, 0}, {monitorFd, POLLIN, 0}};
    const int rc = ::poll(fds, monitorFd >= 0 ? 2 : 1, int(std::max<long long>(0, wait)));
    if (rc < 0 && errno != EINTR) break;
    if (rc > 0 && fds[0].revents != 0) break;
    bool event = false;
    if (rc > 0 && monitorFd >= 0 && (fds[1].revents & POLLIN)) {
      while (udev_device* device = udev_monitor_receive_device(monitor)) {
        event = true;
        udev_device_unref(device);
      }
    }
    const auto after = Clock::now();
    if (event) {
      Dispatch();
      settleAt = after + options_.settleDelay;
      nextRescan = after + options_.rescanInterval;
    } else if (after >= settleAt) {
      settleAt = Clock::time_point::max();
      Dispatch();
    } else if (after >= nextRescan) {
      Dispatch();
      nextRescan = after + options_.rescanInterval;
    }
  }
  if (monitor) udev_monitor_unref(monitor);
  if (context) udev_unref(context);
  ::close(wakeFd);
}

std::string LinuxHost::HostName() {
  char name[256] = {};
  if (::gethostname(name, sizeof name - 1) != 0) return "";
  return name;
}

}  // namespace ardentix
