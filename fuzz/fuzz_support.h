// Scaffolding shared by the fuzz targets.
#pragma once

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>

namespace ardentix::fuzz {

// A private folder for one fuzz process, removed when it exits. On tmpfs
// when there is one: the targets write (and flush) files on every input.
inline std::filesystem::path WorkDir(const std::string& tag) {
  const std::filesystem::path base =
      std::filesystem::exists("/dev/shm") ? "/dev/shm" : std::filesystem::temp_directory_path();
  const auto dir = base / ("ardentix-fuzz-" + tag + "-" + std::to_string(::getpid()));
  std::filesystem::create_directories(dir);
  static const std::filesystem::path removeAtExit = dir;
  std::atexit([] {
    std::error_code ec;
    std::filesystem::remove_all(removeAtExit, ec);
  });
  return dir;
}

// A broken invariant is a crash the fuzzer keeps.
inline void Check(bool ok) {
  if (!ok) std::abort();
}

}  // namespace ardentix::fuzz
