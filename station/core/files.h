// File helpers for everything the station writes: a crash or a full disk
// never leaves a half-written file where a good one was.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "core/platform_files.h"

namespace ardentix {

// The largest settings or catalogue file the station reads: far above any
// real one, far below what could exhaust the memory.
inline constexpr uint64_t kMaxTextFileSize = 16ull << 20;

// Reads a whole regular file of at most `maxSize` bytes; nullopt, with
// `error`, when it cannot be opened or read, is not a regular file (a
// folder, a FIFO) or is larger.
std::optional<std::string> ReadWholeFile(const std::filesystem::path& path, std::string* error = nullptr,
                                         uint64_t maxSize = UINT64_MAX);

// Size of a file in bytes (64-bit); nullopt when it cannot be sized.
std::optional<uint64_t> FileSize(const std::filesystem::path& path);

// The file a write to `path` must change: `path` itself, or, when it is a
// symbolic link, the file its links lead to (which may not exist yet).
std::filesystem::path ResolveLinks(const std::filesystem::path& path);

// The replacement of one file, written in pieces: the new content goes to a
// temporary beside the file, which Commit flushes to disk and renames over
// it in one step. A symbolic link is kept: the file it leads to is the one
// replaced. The file's access rights stay as they were. Until Commit, the
// old file is untouched; a replacement destroyed uncommitted, or whose write
// failed, removes its temporary.
class ReplacingFile {
 public:
  ReplacingFile() = default;
  ~ReplacingFile() { Discard(); }
  ReplacingFile(const ReplacingFile&) = delete;
  ReplacingFile& operator=(const ReplacingFile&) = delete;

  // Starts the replacement of `path` (created if it does not exist).
  bool Create(const std::filesystem::path& path, std::string* error = nullptr);
  bool open() const { return file_ != kNoFile; }
  // Once an append fails the replacement is abandoned: later calls fail too.
  bool Append(const void* data, size_t count, std::string* error = nullptr);
  bool Append(std::string_view bytes, std::string* error = nullptr) {
    return Append(bytes.data(), bytes.size(), error);
  }
  // Leaves the file's next `count` bytes unwritten (a hole).
  bool Skip(uint64_t count, std::string* error = nullptr);
  bool Commit(std::string* error = nullptr);
  void Discard();

  // The file being replaced (links resolved).
  const std::filesystem::path& target() const { return target_; }

 private:
  bool Failed(std::string* error, const char* what, const std::filesystem::path& path, const std::string& reason);

  std::filesystem::path target_;
  std::filesystem::path temporary_;
  FileHandle file_ = kNoFile;
  uint64_t written_ = 0;
};

// Writes the bytes through a ReplacingFile. On failure the old file is
// untouched, the temporary is removed and `error` (if given) says why.
bool WriteFileAtomically(const std::filesystem::path& path, std::string_view bytes, std::string* error = nullptr);

// Temporaries are named "<file>.tmp-<process id>-<n>". Nothing reads a file
// of such a name, so one left by a crash is harmless until the next start
// removes it. The process id, when the name is one.
std::optional<uint64_t> TemporaryOwner(const std::filesystem::path& name);

// Removes the temporaries in `folder` whose process no longer runs.
void RemoveStaleTemporaries(const std::filesystem::path& folder);

}  // namespace ardentix
