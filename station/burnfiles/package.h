// The flash package (".vlr"): a whole SPI flash image whose first section
// carries a header describing where the sections lie. Positions in the header
// are 16-bit-word addresses in a space where the file's first byte is at word
// 0x400000.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "burnfiles/burn_file_set.h"

namespace ardentix {

// Header fields: byte offsets in the package.
inline constexpr size_t kSerialNumberOffset = 136;  // 12 UTF-16LE characters, burned per device
inline constexpr size_t kFirmwareEndOffset = 160;
inline constexpr size_t kVoiceEndOffset = 164;
inline constexpr size_t kSysconfigStartOffset = 168;
inline constexpr size_t kSysconfigEndOffset = 172;
inline constexpr size_t kChecksumOffset = 176;
inline constexpr size_t kFirmwareInfoAddressOffset = 180;
inline constexpr size_t kUserIdOffset = 184;
inline constexpr size_t kHeaderSize = 204;      // everything up to the end of userId
inline constexpr size_t kSpiClockOffset = 206;  // MHz, burned per device
inline constexpr size_t kFirmwareInfoSize = 52;

inline constexpr uint32_t kWordAddressBase = 0x400000;
inline constexpr uint32_t kChecksumNotChecked = 0x12345678;
inline constexpr uint64_t kSectionAlignment = 512;
// Word addresses are 32-bit: the last byte they can name is 0xFFFFFFFE, so no
// package may be larger than this.
inline constexpr uint64_t kMaxPackageSize = 0xFFFFFFFF;
// The largest flash a package can be burned into: the burn erases the first
// 4096 bytes and then at most 0xFFFF 256-byte units (its erase count is 16
// bits) in whole 4096-byte blocks, which ends at exactly 16 MiB. A package,
// a section or a replacement file beyond this can never be burned, and is
// refused before any of it is read.
inline constexpr uint64_t kMaxFlashImageSize = 16ull << 20;

// 0x400000 + offset / 2. `byteOffset` must not exceed kMaxPackageSize.
uint32_t WordAddressOf(uint64_t byteOffset);
// 2 × (word − 0x400000) in 64 bits, so a word near 4 Gi never wraps to a small
// offset; nullopt below 0x400000.
std::optional<uint64_t> ByteOffsetOf(uint32_t wordAddress);
// Next multiple of 512; a multiple (and 0) stays.
uint64_t RoundUpToSector(uint64_t n);

uint32_t LoadWord(std::string_view bytes, size_t offset);
void StoreWord(std::string& bytes, size_t offset, uint32_t value);

// Sum of all bytes as unsigned values into a wrapping 32-bit total, the four
// bytes at 176..179 counted as zero. Takes the package in pieces, in order.
class PackageChecksum {
 public:
  void Add(std::string_view piece);
  uint32_t value() const { return sum_; }

 private:
  uint64_t position_ = 0;
  uint32_t sum_ = 0;
};
uint32_t ComputePackageChecksum(std::string_view package);

struct PackageHeader {
  uint32_t firmwareEnd = 0;
  uint32_t voiceEnd = 0;
  uint32_t sysconfigStart = 0;
  uint32_t sysconfigEnd = 0;
  uint32_t packageChecksum = 0;
  uint32_t firmwareInfoAddress = 0;
  PackageUserId userId{};

  // `bytes` holds at least the first kHeaderSize bytes of a package.
  static PackageHeader Parse(std::string_view bytes);
};

struct ByteRange {
  uint64_t begin = 0;
  uint64_t end = 0;
  uint64_t size() const { return end - begin; }
};

// Where the sections of a well-formed package lie, in bytes.
struct PackageLayout {
  ByteRange firmware;  // [0, section 1's end rounded to 512); empty when firmwareEnd is 0
  ByteRange voice;     // [section 1's end, voiceEnd); empty when absent
  ByteRange sysconfig; // [sysconfigStart rounded to 512, sysconfigEnd); empty when absent
  bool voicePresent = false;
  bool sysconfigPresent = false;
  uint64_t firmwareInfoOffset = 0;
  // The file's size, or section 1's end when the file stops inside the 512-byte
  // rounding of section 1: the missing bytes read as 0xFF.
  uint64_t paddedSize = 0;
};

// Checks that `header` describes a well-formed image of a file of `fileSize`
// bytes. nullopt and `problem` saying why when it does not.
std::optional<PackageLayout> ComputeLayout(const PackageHeader& header, uint64_t fileSize,
                                           std::string* problem = nullptr);

// The firmware info text: the bytes up to the first zero, at most 52.
std::string FirmwareInfoText(std::string_view bytesAtAddress);

enum class ChecksumStatus { NotComputed, NotChecked, Passed, Failed };

// Everything the package's header says, for the import and `package info`.
struct PackageInfo {
  uint64_t fileSize = 0;
  bool headerRead = false;  // the file holds the kHeaderSize header bytes
  PackageHeader header;
  std::optional<PackageLayout> layout;  // set when the header is well-formed
  std::string firmwareInfo;             // set with layout
  ChecksumStatus checksum = ChecksumStatus::NotComputed;
  uint32_t computedChecksum = 0;  // when checksum is Passed or Failed
  std::string problem;            // why the package is refused; empty when it is accepted
  bool accepted() const { return problem.empty(); }
};

// Reads and checks a package without touching anything else. nullopt when the
// file cannot be opened or read (`error` says why). The checksum is computed
// even for a malformed header when the file is within kMaxPackageSize, so that
// every fault shows.
std::optional<PackageInfo> InspectPackage(const std::filesystem::path& path, std::string* error = nullptr);

class InputFile;
// The same on a file already open. With `checksumWhenMalformed` false a
// malformed header ends the inspection before the checksum pass, so a huge
// file that cannot be a package is refused without being read.
std::optional<PackageInfo> InspectPackage(const InputFile& file, bool checksumWhenMalformed,
                                          std::string* error = nullptr);

}  // namespace ardentix
