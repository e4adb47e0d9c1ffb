// Helpers for the burn-files tests: temporary station folders and packages
// built here, independently of the code under test, from the format's rules.
#pragma once

#if defined(_WIN32)
#include "core/limited_writes.h"
#else
#include <signal.h>
#include <stdlib.h>
#include <sys/resource.h>
#endif

#include <atomic>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>
#include <string_view>

#include "core/platform_files.h"

namespace bftest {

namespace fs = std::filesystem;

// A fresh folder under the system's temporary folder, removed with its content.
class TempDir {
 public:
  TempDir() {
    // Process id, clock and a counter: unique across processes and tests.
    static std::atomic<unsigned> counter{0};
    const auto stamp = std::chrono::steady_clock::now().time_since_epoch().count();
    for (int attempt = 0; attempt < 100; ++attempt) {
      path_ = fs::temp_directory_path() / ("ardentix-bf-" + std::to_string(stamp) + "-" +
                                           std::to_string(ardentix::OsPlatformFiles().ProcessId()) + "-" +
                                           std::to_string(counter++));
      if (fs::create_directory(path_)) return;
    }
    throw std::runtime_error("cannot make a temporary folder");
  }
  ~TempDir() {
    std::error_code ec;
    fs::remove_all(path_, ec);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const fs::path& path() const { return path_; }
  fs::path operator/(const fs::path& name) const { return path_ / name; }

 private:
  fs::path path_;
};

inline void WriteFile(const fs::path& path, std::string_view bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), std::streamsize(bytes.size()));
  if (!out) throw std::runtime_error("cannot write " + path.string());
}

inline std::string ReadFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("cannot read " + path.string());
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Word address of a byte offset.
constexpr uint32_t W(uint64_t byteOffset) { return uint32_t(0x400000 + byteOffset / 2); }

inline void PutWord(std::string& bytes, size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i) bytes[at + i] = char(uint8_t(v >> (8 * i)));
}

inline uint32_t GetWord(std::string_view bytes, size_t at) {
  uint32_t v = 0;
  for (int i = 3; i >= 0; --i) v = v << 8 | uint8_t(bytes[at + i]);
  return v;
}

// Sum of every byte except 176..179, wrapping at 32 bits.
inline uint32_t SumWithoutChecksumField(std::string_view bytes) {
  uint32_t sum = 0;
  for (size_t i = 0; i < bytes.size(); ++i)
    if (i < 176 || i > 179) sum += uint8_t(bytes[i]);
  return sum;
}

inline void Seal(std::string& package) { PutWord(package, 176, SumWithoutChecksumField(package)); }

// Recognisable content: every byte tells where it came from.
inline std::string Pattern(size_t size, uint8_t salt = 0) {
  std::string bytes(size, '\0');
  for (size_t i = 0; i < size; ++i) bytes[i] = char(uint8_t(i * 131 + (i >> 8) + salt));
  return bytes;
}

struct HeaderWords {
  uint32_t firmwareEnd = 0;
  uint32_t voiceEnd = 0;
  uint32_t sysconfigStart = 0;
  uint32_t sysconfigEnd = 0;
  uint32_t firmwareInfoAddress = W(64);
};

inline constexpr char kUserId[] = "USER-ID-0123456789AB";  // 20 bytes

// A package of `size` bytes (at least 204) with these header words, the userId
// above, `info` (zero-terminated when it fits) at the firmware info address
// when that lies in the file, and a correct checksum unless `sealed` is false.
inline std::string MakePackage(size_t size, const HeaderWords& w, std::string_view info = "ABC",
                               bool sealed = true, uint8_t salt = 0) {
  std::string p = Pattern(size, salt);
  PutWord(p, 160, w.firmwareEnd);
  PutWord(p, 164, w.voiceEnd);
  PutWord(p, 168, w.sysconfigStart);
  PutWord(p, 172, w.sysconfigEnd);
  PutWord(p, 180, w.firmwareInfoAddress);
  p.replace(184, 20, kUserId, 20);
  if (w.firmwareInfoAddress >= 0x400000) {
    const uint64_t at = 2 * uint64_t(w.firmwareInfoAddress - 0x400000);
    std::string text(info);
    if (text.size() < 52) text.push_back('\0');
    for (size_t i = 0; i < text.size() && at + i < size; ++i) p[at + i] = text[i];
  }
  if (sealed) Seal(p);
  else PutWord(p, 176, 0x12345678);
  return p;
}

// A typical package: firmware to 1024, voice to 2000, sysconfig 2048..3000, 3072 bytes.
inline HeaderWords TypicalWords() { return {W(1024), W(2000), W(2048), W(3000), W(64)}; }

#if defined(_WIN32)
// Makes the station's writes past `bytes` fail, as a full disk would.
class FileSizeLimit {
 public:
  explicit FileSizeLimit(uint64_t bytes) : writes_(bytes) {}

 private:
  ardentix::test::LimitedWrites writes_;
};
#else
// Makes writes past `bytes` fail with EFBIG, as a full disk would, even for
// root (who ignores permissions).
class FileSizeLimit {
 public:
  explicit FileSizeLimit(rlim_t bytes) {
    ::getrlimit(RLIMIT_FSIZE, &old_);
    oldHandler_ = ::signal(SIGXFSZ, SIG_IGN);
    rlimit limit = old_;
    limit.rlim_cur = bytes;
    ::setrlimit(RLIMIT_FSIZE, &limit);
  }
  ~FileSizeLimit() {
    ::setrlimit(RLIMIT_FSIZE, &old_);
    ::signal(SIGXFSZ, oldHandler_);
  }
  FileSizeLimit(const FileSizeLimit&) = delete;
  FileSizeLimit& operator=(const FileSizeLimit&) = delete;

 private:
  rlimit old_{};
  sighandler_t oldHandler_ = SIG_DFL;
};
#endif

}  // namespace bftest
