// The few things the station needs from the operating system's file layer,
// behind one small interface: one implementation per OS
// (platform_files_posix.cpp, platform_files_win32.cpp; the build picks one).
// Everything above it is the same source on every system.
//
// Paths are std::filesystem::path; texts for the operator are UTF-8
// (PathText, PathFromText). The Windows implementation turns paths into wide
// strings for the W functions; nothing else ever sees the OS's native form.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>

namespace ardentix {

// An open file of the OS (a descriptor or a HANDLE), or kNoFile.
using FileHandle = std::intptr_t;
inline constexpr FileHandle kNoFile = -1;

class PlatformFiles {
 public:
  virtual ~PlatformFiles() = default;

  // --- Reading the files an operator points at ------------------------------
  // Opens an existing regular file for reading, without ever blocking on the
  // open (a FIFO) and refusing anything that is not a regular file (a
  // folder, a device). `size` is its size when opened.
  virtual FileHandle OpenForReading(const std::filesystem::path& path, uint64_t& size, std::string& error) = 0;
  // One read of at most `count` bytes at `offset`: the bytes read, 0 at the
  // end of the file, -1 on an error.
  virtual int64_t ReadAt(FileHandle file, uint64_t offset, void* into, size_t count, std::string& error) = 0;

  // --- Writing a new file ---------------------------------------------------
  // Creates `path`, which must not exist yet, for writing.
  virtual FileHandle CreateNew(const std::filesystem::path& path, std::string& error) = 0;
  // Writes all `count` bytes at the current end.
  virtual bool Write(FileHandle file, const void* data, size_t count, std::string& error) = 0;
  // Pushes what was written to the disk.
  virtual bool Flush(FileHandle file, std::string& error) = 0;
  // Makes a new file `offset` bytes long, writing nothing (a hole where the
  // file system keeps them), and moves the end for Write there. Only forward.
  virtual bool SkipTo(FileHandle file, uint64_t offset, std::string& error) {
    error = "cannot leave holes in files here";
    return false;
  }
  // Gives the new file the access rights (and, where allowed, the owner) of
  // the file it is about to replace. Best effort.
  virtual void KeepAccessOf(FileHandle file, const std::filesystem::path& replaced) = 0;
  // Closes any handle this interface returned (a lock's too, which frees it).
  virtual bool Close(FileHandle file, std::string& error) = 0;

  // --- Names ----------------------------------------------------------------
  // Renames `from` to `to` in one step, replacing a file `to` (never a
  // folder), written through to the disk where the OS offers it.
  virtual bool Rename(const std::filesystem::path& from, const std::filesystem::path& to, std::string& error) = 0;
  // Removes a file; a file that is not there counts as removed.
  virtual bool Remove(const std::filesystem::path& path, std::string& error) = 0;
  // Makes the renames and removals in the folder durable (nothing to do
  // where the OS writes them through).
  virtual void SyncFolder(const std::filesystem::path& folder) = 0;

  // --- Keeping writers apart ------------------------------------------------
  // Waits for an exclusive lock on `lockFile` (created when missing) that
  // keeps other processes and other handles of this one out; it lasts until
  // the handle is closed or the process ends, however it ends.
  virtual FileHandle LockExclusive(const std::filesystem::path& lockFile, std::string& error) = 0;

  // --- The process and its places ---------------------------------------------
  virtual uint64_t ProcessId() = 0;
  // Whether a process of that id runs now (true when that cannot be told).
  virtual bool ProcessRunning(uint64_t id) = 0;
  // The folder of the running program; empty when unknown.
  virtual std::filesystem::path ProgramFolder() = 0;
  // Whether files can be created in the folder.
  virtual bool FolderWritable(const std::filesystem::path& folder) = 0;
  // The user's own folder for the station's files when the program folder
  // cannot hold them; empty when the system knows none.
  virtual std::filesystem::path UserDataFolder() = 0;
};

// The implementation in force: the OS's, or a test's stand-in.
PlatformFiles& Platform();
// The OS's own implementation.
PlatformFiles& OsPlatformFiles();
// Puts a stand-in in force (nullptr: the OS's again). For tests, which use
// it to make one operation fail or the process end at a chosen step.
void SetPlatformFilesForTesting(PlatformFiles* files);

// A path as UTF-8 text, for messages and files; and back.
std::string PathText(const std::filesystem::path& path);
std::filesystem::path PathFromText(std::string_view utf8);

}  // namespace ardentix
