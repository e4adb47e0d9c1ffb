// A stand-in for the OS file layer that passes everything on, except that a
// test decides, step by step, whether an operation that changes the disk
// happens: it can make one fail (as on a full disk or a file system that
// refuses it) or end the process right there (a crash, in a forked child).
#pragma once

#include <functional>
#include <string>

#include "core/platform_files.h"

namespace ardentix::test {

enum class Step { CreateNew, Write, Flush, Rename, Remove, SyncFolder };

class FaultyPlatform final : public PlatformFiles {
 public:
  // Asked before each step with the step's number (from 0) and its path (the
  // source of a rename); false makes the step fail.
  std::function<bool(int index, Step step, const std::filesystem::path& path)> allow;
  int steps = 0;  // steps asked about so far
  // false: flushes to disk are skipped (they still count as steps), so that
  // tests running a write hundreds of times do not wait for the disk.
  bool durable = true;

  FaultyPlatform() { SetPlatformFilesForTesting(this); }
  ~FaultyPlatform() override { SetPlatformFilesForTesting(nullptr); }
  FaultyPlatform(const FaultyPlatform&) = delete;
  FaultyPlatform& operator=(const FaultyPlatform&) = delete;

  FileHandle OpenForReading(const std::filesystem::path& path, uint64_t& size, std::string& error) override {
    if (refuseReading && refuseReading(path)) {
      error = "Permission denied";
      return kNoFile;
    }
    return os_.OpenForReading(path, size, error);
  }
  int64_t ReadAt(FileHandle file, uint64_t offset, void* into, size_t count, std::string& error) override {
    return os_.ReadAt(file, offset, into, count, error);
  }
  FileHandle CreateNew(const std::filesystem::path& path, std::string& error) override {
    return Allowed(Step::CreateNew, path, error) ? os_.CreateNew(path, error) : kNoFile;
  }
  bool Write(FileHandle file, const void* data, size_t count, std::string& error) override {
    return Allowed(Step::Write, {}, error) && os_.Write(file, data, count, error);
  }
  bool Flush(FileHandle file, std::string& error) override {
    return Allowed(Step::Flush, {}, error) && (!durable || os_.Flush(file, error));
  }
  void KeepAccessOf(FileHandle file, const std::filesystem::path& replaced) override {
    os_.KeepAccessOf(file, replaced);
  }
  bool Close(FileHandle file, std::string& error) override { return os_.Close(file, error); }
  bool Rename(const std::filesystem::path& from, const std::filesystem::path& to, std::string& error) override {
    return Allowed(Step::Rename, from, error) && os_.Rename(from, to, error);
  }
  bool Remove(const std::filesystem::path& path, std::string& error) override {
    return Allowed(Step::Remove, path, error) && os_.Remove(path, error);
  }
  void SyncFolder(const std::filesystem::path& folder) override {
    std::string ignored;
    if (Allowed(Step::SyncFolder, folder, ignored) && durable) os_.SyncFolder(folder);
  }
  FileHandle LockExclusive(const std::filesystem::path& lockFile, std::string& error) override {
    return os_.LockExclusive(lockFile, error);
  }
  uint64_t ProcessId() override { return os_.ProcessId(); }
  bool ProcessRunning(uint64_t id) override { return os_.ProcessRunning(id); }
  std::filesystem::path ProgramFolder() override { return os_.ProgramFolder(); }
  bool FolderWritable(const std::filesystem::path& folder) override { return os_.FolderWritable(folder); }
  std::filesystem::path UserDataFolder() override { return os_.UserDataFolder(); }

  // Files that cannot be opened for reading, as if the user lacked the right
  // (which root, running the tests, never does).
  std::function<bool(const std::filesystem::path&)> refuseReading;

 private:
  bool Allowed(Step step, const std::filesystem::path& path, std::string& error) {
    const int index = steps++;
    if (!allow || allow(index, step, path)) return true;
    error = "injected failure";
    return false;
  }
  PlatformFiles& os_ = OsPlatformFiles();
};

}  // namespace ardentix::test
