#pragma once
// SHA-256, for the identity of the SD image a run burns.
#include <array>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace ardentix::records {

class Sha256 {
 public:
  Sha256();
  void Update(const void* data, size_t size);
  std::array<uint8_t, 32> Finish();
  // Lower-case hex of Finish().
  std::string FinishHex();

 private:
  void Block(const uint8_t* block);
  std::array<uint32_t, 8> state_;
  std::array<uint8_t, 64> buffer_{};
  size_t buffered_ = 0;
  uint64_t length_ = 0;
};

std::string Sha256Hex(std::string_view bytes);
// The file's hash read piece by piece; nullopt with `error` when it cannot be read.
std::optional<std::string> Sha256OfFile(const std::filesystem::path& path, std::string* error = nullptr);

}  // namespace ardentix::records
