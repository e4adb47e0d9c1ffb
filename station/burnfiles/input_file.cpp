#include "burnfiles/input_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace ardentix {
namespace {

void SetError(std::string* error, std::string text) {
  if (error != nullptr) *error = std::move(text);
}

std::string ErrnoText(const std::filesystem::path& path, const char* what) {
  return std::string(what) + " " + path.string() + ": " + std::strerror(errno);
}

}  // namespace

std::optional<InputFile> InputFile::Open(const std::filesystem::path& path, std::string* error) {
  // O_NONBLOCK: opening a FIFO for reading must not wait for a writer.
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
  if (fd < 0) {
    SetError(error, ErrnoText(path, "cannot open"));
    return std::nullopt;
  }
  struct stat st {};
  if (::fstat(fd, &st) != 0) {
    SetError(error, ErrnoText(path, "cannot examine"));
    ::close(fd);
    return std::nullopt;
  }
  if (!S_ISREG(st.st_mode)) {
    SetError(error, "not a regular file: " + path.string());
    ::close(fd);
    return std::nullopt;
  }
  const int flags = ::fcntl(fd, F_GETFL);
  if (flags >= 0) ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
  return InputFile(fd, uint64_t(st.st_size), path);
}

InputFile::InputFile(InputFile&& other) noexcept
    : fd_(other.fd_), size_(other.size_), path_(std::move(other.path_)) {
  other.fd_ = -1;
}

InputFile& InputFile::operator=(InputFile&& other) noexcept {
  if (this != &other) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = other.fd_;
    size_ = other.size_;
    path_ = std::move(other.path_);
    other.fd_ = -1;
  }
  return *this;
}

InputFile::~InputFile() {
  if (fd_ >= 0) ::close(fd_);
}

bool InputFile::ReadAt(uint64_t offset, void* into, size_t count, std::string* error) const {
  char* p = static_cast<char*>(into);
  while (count > 0) {
    // pread takes a signed offset and reads at most SSIZE_MAX at once.
    const size_t chunk = count < (size_t(1) << 30) ? count : (size_t(1) << 30);
    const ssize_t n = ::pread(fd_, p, chunk, off_t(offset));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      SetError(error, ErrnoText(path_, "cannot read"));
      return false;
    }
    if (n == 0) {
      SetError(error, "file became shorter while read: " + path_.string());
      return false;
    }
    p += n;
    offset += uint64_t(n);
    count -= size_t(n);
  }
  return true;
}

std::optional<std::string> InputFile::ReadPadded(uint64_t begin, uint64_t end, std::string* error) const {
  if (end <= begin) return std::string();
  std::string bytes(size_t(end - begin), '\xFF');
  if (begin < size_) {
    const uint64_t stop = end < size_ ? end : size_;
    if (!ReadAt(begin, bytes.data(), size_t(stop - begin), error)) return std::nullopt;
  }
  return bytes;
}

std::optional<std::string> ReadRegularFile(const std::filesystem::path& path, uint64_t maxSize,
                                           std::string* error) {
  std::optional<InputFile> file = InputFile::Open(path, error);
  if (!file) return std::nullopt;
  if (file->size() > maxSize) {
    SetError(error, path.string() + " is " + std::to_string(file->size()) + " bytes, more than the " +
                        std::to_string(maxSize) + " allowed");
    return std::nullopt;
  }
  std::string bytes(size_t(file->size()), '\0');
  if (!file->ReadAt(0, bytes.data(), bytes.size(), error)) return std::nullopt;
  return bytes;
}

}  // namespace ardentix
