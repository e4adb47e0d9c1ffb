// Reading the files an operator points at. They can be anything: a FIFO that
// would block an open, a device that never ends, a file that shrinks while it
// is read. Only regular files are read, and every read is exact.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>

#include "core/platform_files.h"

namespace ardentix {

class ReplacingFile;

class InputFile {
 public:
  // nullopt when the path cannot be opened or is not a regular file; `error` says why.
  static std::optional<InputFile> Open(const std::filesystem::path& path, std::string* error = nullptr);

  InputFile(InputFile&& other) noexcept;
  InputFile& operator=(InputFile&& other) noexcept;
  InputFile(const InputFile&) = delete;
  InputFile& operator=(const InputFile&) = delete;
  ~InputFile();

  // Size when the file was opened.
  uint64_t size() const { return size_; }
  const std::filesystem::path& path() const { return path_; }

  // Reads exactly `count` bytes at `offset`; false on an error or an early end.
  bool ReadAt(uint64_t offset, void* into, size_t count, std::string* error = nullptr) const;

  // Appends [begin, end) to `out` piece by piece, so a section of any size
  // costs one small buffer; bytes past the end of the file are written as
  // 0xFF (erased flash).
  bool CopyTo(ReplacingFile& out, uint64_t begin, uint64_t end, std::string* error = nullptr) const;

 private:
  InputFile(FileHandle file, uint64_t size, std::filesystem::path path)
      : file_(file), size_(size), path_(std::move(path)) {}
  void Close();
  FileHandle file_ = kNoFile;
  uint64_t size_ = 0;
  std::filesystem::path path_;
};

// The buffer of every piecewise copy.
inline constexpr size_t kCopyChunkBytes = size_t(1) << 20;

}  // namespace ardentix
