// File helpers for everything the station writes: a crash or a full disk
// never leaves a half-written file where a good one was.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace ardentix {

// Writes the bytes to a temporary file beside `path`, flushes it to disk and
// renames it over `path`. On failure the old file is untouched, the
// temporary is removed and `error` (if given) says why.
bool WriteFileAtomically(const std::filesystem::path& path, std::string_view bytes, std::string* error = nullptr);

// Reads a whole file; nullopt when it cannot be opened or read.
std::optional<std::string> ReadWholeFile(const std::filesystem::path& path);

// Size of a file in bytes (64-bit); nullopt when it cannot be sized.
std::optional<uint64_t> FileSize(const std::filesystem::path& path);

}  // namespace ardentix
