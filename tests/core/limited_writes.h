// A full disk for one test, in this process: the station's file layer with
// every file it writes limited to a size, a write beyond it failing as on a
// full disk. Where there is no fork() and no file size limit (Windows), the
// tests' "full disk" is this.
#pragma once

#include <map>
#include <mutex>

#include "core/platform_files.h"

namespace ardentix::test {

class LimitedWrites final : public PlatformFiles {
 public:
  explicit LimitedWrites(uint64_t limit) : limit_(limit) { SetPlatformFilesForTesting(this); }
  ~LimitedWrites() override { SetPlatformFilesForTesting(nullptr); }
  LimitedWrites(const LimitedWrites&) = delete;
  LimitedWrites& operator=(const LimitedWrites&) = delete;

  FileHandle OpenForReading(const std::filesystem::path& path, uint64_t& size, std::string& error) override {
    return os_.OpenForReading(path, size, error);
  }
  int64_t ReadAt(FileHandle file, uint64_t offset, void* into, size_t count, std::string& error) override {
    return os_.ReadAt(file, offset, into, count, error);
  }
  FileHandle CreateNew(const std::filesystem::path& path, std::string& error) override {
    const FileHandle file = os_.CreateNew(path, error);
    std::lock_guard lock(mutex_);
    if (file != kNoFile) written_[file] = 0;
    return file;
  }
  bool Write(FileHandle file, const void* data, size_t count, std::string& error) override {
    {
      std::lock_guard lock(mutex_);
      uint64_t& written = written_[file];
      if (written + count > limit_) {
        error = "File too large";
        return false;
      }
      written += count;
    }
    return os_.Write(file, data, count, error);
  }
  bool Flush(FileHandle file, std::string& error) override { return os_.Flush(file, error); }
  void KeepAccessOf(FileHandle file, const std::filesystem::path& replaced) override {
    os_.KeepAccessOf(file, replaced);
  }
  bool Close(FileHandle file, std::string& error) override {
    {
      std::lock_guard lock(mutex_);
      written_.erase(file);
    }
    return os_.Close(file, error);
  }
  bool Rename(const std::filesystem::path& from, const std::filesystem::path& to, std::string& error) override {
    return os_.Rename(from, to, error);
  }
  bool Remove(const std::filesystem::path& path, std::string& error) override { return os_.Remove(path, error); }
  void SyncFolder(const std::filesystem::path& folder) override { os_.SyncFolder(folder); }
  FileHandle LockExclusive(const std::filesystem::path& lockFile, std::string& error) override {
    return os_.LockExclusive(lockFile, error);
  }
  uint64_t ProcessId() override { return os_.ProcessId(); }
  bool ProcessRunning(uint64_t id) override { return os_.ProcessRunning(id); }
  std::filesystem::path ProgramFolder() override { return os_.ProgramFolder(); }
  bool FolderWritable(const std::filesystem::path& folder) override { return os_.FolderWritable(folder); }
  std::filesystem::path UserDataFolder() override { return os_.UserDataFolder(); }

 private:
  PlatformFiles& os_ = OsPlatformFiles();
  const uint64_t limit_;
  std::mutex mutex_;
  std::map<FileHandle, uint64_t> written_;
};

}  // namespace ardentix::test
