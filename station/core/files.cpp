#include "core/files.h"

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <fstream>

namespace ardentix {
namespace {

std::string Describe(const std::filesystem::path& path, const char* what) {
  return std::string(what) + " " + path.string() + ": " + std::strerror(errno);
}

void SetError(std::string* error, std::string message) {
  if (error != nullptr) *error = std::move(message);
}

// Unique per process and call, so concurrent writers never share a temporary.
std::filesystem::path TemporaryBeside(const std::filesystem::path& path) {
  static std::atomic<unsigned> counter{0};
  std::filesystem::path tmp = path;
  tmp += ".tmp-" + std::to_string(::getpid()) + "-" + std::to_string(counter.fetch_add(1));
  return tmp;
}

}  // namespace

bool WriteFileAtomically(const std::filesystem::path& path, std::string_view bytes, std::string* error) {
  const std::filesystem::path tmp = TemporaryBeside(path);
  const int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) {
    SetError(error, Describe(tmp, "cannot create"));
    return false;
  }
  const char* p = bytes.data();
  size_t left = bytes.size();
  while (left > 0) {
    const ssize_t n = ::write(fd, p, left);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      SetError(error, Describe(tmp, "cannot write"));
      ::close(fd);
      ::unlink(tmp.c_str());
      return false;
    }
    p += n;
    left -= size_t(n);
  }
  if (::fsync(fd) != 0 || ::close(fd) != 0) {
    SetError(error, Describe(tmp, "cannot flush"));
    ::unlink(tmp.c_str());
    return false;
  }
  if (::rename(tmp.c_str(), path.c_str()) != 0) {
    SetError(error, Describe(path, "cannot replace"));
    ::unlink(tmp.c_str());
    return false;
  }
  return true;
}

std::optional<std::string> ReadWholeFile(const std::filesystem::path& path) {
  std::error_code ec;
  if (!std::filesystem::is_regular_file(path, ec)) return std::nullopt;
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  std::string data((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (in.bad()) return std::nullopt;
  return data;
}

std::optional<uint64_t> FileSize(const std::filesystem::path& path) {
  std::error_code ec;
  const auto size = std::filesystem::file_size(path, ec);
  if (ec) return std::nullopt;
  return uint64_t(size);
}

}  // namespace ardentix
