// Reading the files an operator points at. They can be anything: a FIFO that
// would block an open, a device that never ends, a file that shrinks while it
// is read. Only regular files are read, and every read is exact.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>

namespace ardentix {

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

  // Reads exactly `count` bytes at `offset`; false on an error or an early end.
  bool ReadAt(uint64_t offset, void* into, size_t count, std::string* error = nullptr) const;

  // Reads [begin, end); bytes past the end of the file read as 0xFF (erased flash).
  std::optional<std::string> ReadPadded(uint64_t begin, uint64_t end, std::string* error = nullptr) const;

 private:
  InputFile(int fd, uint64_t size, std::filesystem::path path) : fd_(fd), size_(size), path_(std::move(path)) {}
  int fd_ = -1;
  uint64_t size_ = 0;
  std::filesystem::path path_;
};

// Reads a whole regular file of at most `maxSize` bytes; a larger one is
// refused before anything is read.
std::optional<std::string> ReadRegularFile(const std::filesystem::path& path, uint64_t maxSize,
                                           std::string* error = nullptr);

}  // namespace ardentix
