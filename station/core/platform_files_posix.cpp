// The station's file layer on Linux and other POSIX systems.
#include <fcntl.h>
#include <pwd.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "core/platform_files.h"

namespace ardentix {
namespace {

namespace fs = std::filesystem;

int Fd(FileHandle file) { return int(file); }

bool Fail(std::string& error) {
  error = std::strerror(errno);
  return false;
}

FileHandle FailHandle(std::string& error) {
  Fail(error);
  return kNoFile;
}

class PosixFiles final : public PlatformFiles {
 public:
  FileHandle OpenForReading(const fs::path& path, uint64_t& size, std::string& error) override {
    // O_NONBLOCK: opening a FIFO for reading must not wait for a writer.
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (fd < 0) return FailHandle(error);
    struct stat st {};
    if (::fstat(fd, &st) != 0) {
      Fail(error);
      ::close(fd);
      return kNoFile;
    }
    if (!S_ISREG(st.st_mode)) {
      error = "not a regular file";
      ::close(fd);
      return kNoFile;
    }
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags >= 0) ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
    size = uint64_t(st.st_size);
    return fd;
  }

  int64_t ReadAt(FileHandle file, uint64_t offset, void* into, size_t count, std::string& error) override {
    // pread takes a signed offset and reads at most SSIZE_MAX at once.
    const size_t chunk = count < (size_t(1) << 30) ? count : (size_t(1) << 30);
    for (;;) {
      const ssize_t n = ::pread(Fd(file), into, chunk, off_t(offset));
      if (n >= 0) return n;
      if (errno != EINTR) {
        Fail(error);
        return -1;
      }
    }
  }

  FileHandle CreateNew(const fs::path& path, std::string& error) override {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOCTTY, 0644);
    return fd < 0 ? FailHandle(error) : fd;
  }

  bool SkipTo(FileHandle file, uint64_t offset, std::string& error) override {
    if (offset > uint64_t(INT64_MAX)) {
      errno = EFBIG;
      return Fail(error);
    }
    if (::ftruncate(Fd(file), off_t(offset)) != 0 || ::lseek(Fd(file), off_t(offset), SEEK_SET) < 0)
      return Fail(error);
    return true;
  }

  bool Write(FileHandle file, const void* data, size_t count, std::string& error) override {
    const char* p = static_cast<const char*>(data);
    while (count > 0) {
      const ssize_t n = ::write(Fd(file), p, count);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) return Fail(error);
      if (n == 0) {
        errno = ENOSPC;
        return Fail(error);
      }
      p += n;
      count -= size_t(n);
    }
    return true;
  }

  bool Flush(FileHandle file, std::string& error) override { return ::fsync(Fd(file)) == 0 || Fail(error); }

  void KeepAccessOf(FileHandle file, const fs::path& replaced) override {
    struct stat st {};
    if (::stat(replaced.c_str(), &st) != 0) return;  // a new file keeps the default
    // The owner first: changing it may clear set-id bits that the mode then restores.
    if (::fchown(Fd(file), st.st_uid, st.st_gid) != 0) {
      // Only root may give a file away; the group alone may still be allowed.
      [[maybe_unused]] const int ignored = ::fchown(Fd(file), uid_t(-1), st.st_gid);
    }
    ::fchmod(Fd(file), st.st_mode & 07777);
  }

  bool Close(FileHandle file, std::string& error) override {
    // After EINTR the descriptor is gone all the same on Linux.
    return ::close(Fd(file)) == 0 || errno == EINTR || Fail(error);
  }

  bool Rename(const fs::path& from, const fs::path& to, std::string& error) override {
    return ::rename(from.c_str(), to.c_str()) == 0 || Fail(error);
  }

  bool Remove(const fs::path& path, std::string& error) override {
    return ::unlink(path.c_str()) == 0 || errno == ENOENT || Fail(error);
  }

  void SyncFolder(const fs::path& folder) override {
    const int fd = ::open(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return;
    ::fsync(fd);
    ::close(fd);
  }

  FileHandle LockExclusive(const fs::path& lockFile, std::string& error) override {
    int fd = ::open(lockFile.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOCTTY, 0644);
    if (fd < 0) fd = ::open(lockFile.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY);  // someone else's lock file
    if (fd < 0) return FailHandle(error);
    int rc;
    do {
      rc = ::flock(fd, LOCK_EX);
    } while (rc != 0 && errno == EINTR);
    if (rc != 0) {
      Fail(error);
      ::close(fd);
      return kNoFile;
    }
    return fd;
  }

  uint64_t ProcessId() override { return uint64_t(::getpid()); }

  bool ProcessRunning(uint64_t id) override {
    if (id == 0 || id > uint64_t(INT_MAX)) return false;
    return ::kill(pid_t(id), 0) == 0 || errno == EPERM;
  }

  fs::path ProgramFolder() override {
    std::error_code ec;
    const fs::path program = fs::read_symlink("/proc/self/exe", ec);
    return ec ? fs::path() : program.parent_path();
  }

  bool FolderWritable(const fs::path& folder) override { return ::access(folder.c_str(), W_OK | X_OK) == 0; }

  fs::path UserDataFolder() override {
    // A relative XDG_DATA_HOME is invalid and ignored.
    if (const char* xdg = std::getenv("XDG_DATA_HOME"); xdg != nullptr && xdg[0] == '/')
      return fs::path(xdg) / "ardentix";
    const char* home = std::getenv("HOME");
    if (home == nullptr || home[0] == '\0') {
      const passwd* pw = ::getpwuid(::getuid());
      home = pw != nullptr ? pw->pw_dir : nullptr;
    }
    if (home == nullptr || home[0] == '\0') return {};
    return fs::path(home) / ".local" / "share" / "ardentix";
  }
};

}  // namespace

PlatformFiles& OsPlatformFiles() {
  static PosixFiles files;
  return files;
}

}  // namespace ardentix
