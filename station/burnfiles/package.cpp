#include "burnfiles/package.h"

#include <algorithm>
#include <cstdio>
#include <vector>

#include "burnfiles/input_file.h"

namespace ardentix {
namespace {

std::string Hex(uint32_t v) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08X", v);
  return text;
}

// "firmwareEnd 0x00400101 (byte 514)"
std::string Field(const char* name, uint32_t word, uint64_t offset) {
  return std::string(name) + " " + Hex(word) + " (byte " + std::to_string(offset) + ")";
}

bool Fail(std::string* problem, std::string text) {
  if (problem != nullptr) *problem = std::move(text);
  return false;
}

// Converts one header word; refuses one below the base of the word space.
bool Offset(const char* name, uint32_t word, uint64_t& offset, std::string* problem) {
  const std::optional<uint64_t> o = ByteOffsetOf(word);
  if (!o) return Fail(problem, std::string(name) + " " + Hex(word) + " is below 0x00400000");
  offset = *o;
  return true;
}

bool CheckLayout(const PackageHeader& h, uint64_t fileSize, PackageLayout& out, std::string* problem) {
  if (fileSize < kHeaderSize)
    return Fail(problem, "the file is " + std::to_string(fileSize) + " bytes, shorter than the " +
                             std::to_string(kHeaderSize) + "-byte header");
  if (fileSize > kMaxPackageSize)
    return Fail(problem, "the file is " + std::to_string(fileSize) +
                             " bytes, more than a package's word addresses can describe");
  if (fileSize > kMaxFlashImageSize)
    return Fail(problem, "the file is " + std::to_string(fileSize) + " bytes, more than the " +
                             std::to_string(kMaxFlashImageSize) + " bytes of flash a burn can reach");

  PackageLayout l;
  if (!Offset("firmwareInfoAddress", h.firmwareInfoAddress, l.firmwareInfoOffset, problem)) return false;
  if (l.firmwareInfoOffset >= fileSize)
    return Fail(problem, Field("firmwareInfoAddress", h.firmwareInfoAddress, l.firmwareInfoOffset) +
                             " lies beyond the end of the file");

  l.paddedSize = fileSize;
  if (h.firmwareEnd != 0) {
    uint64_t firmwareEnd = 0;
    if (!Offset("firmwareEnd", h.firmwareEnd, firmwareEnd, problem)) return false;
    if (firmwareEnd > fileSize)
      return Fail(problem, Field("firmwareEnd", h.firmwareEnd, firmwareEnd) + " lies beyond the end of the file");
    const uint64_t sectionEnd = RoundUpToSector(firmwareEnd);
    // Only a firmwareEnd of exactly 0x400000 gets here: section 2 would start at byte 0.
    if (sectionEnd < kHeaderSize)
      return Fail(problem, Field("firmwareEnd", h.firmwareEnd, firmwareEnd) + " leaves the header outside section 1");
    if (h.voiceEnd == 0) return Fail(problem, "firmwareEnd is set but voiceEnd is 0");
    // A file that stops inside section 1's rounding is read as if padded with
    // 0xFF up to the section's end; any other missing byte makes it malformed.
    l.paddedSize = std::max(fileSize, sectionEnd);
    uint64_t voiceEnd = 0;
    if (!Offset("voiceEnd", h.voiceEnd, voiceEnd, problem)) return false;
    if (voiceEnd < sectionEnd)
      return Fail(problem, Field("voiceEnd", h.voiceEnd, voiceEnd) + " lies before section 2's start (byte " +
                               std::to_string(sectionEnd) + ")");
    if (voiceEnd > l.paddedSize)
      return Fail(problem, Field("voiceEnd", h.voiceEnd, voiceEnd) + " lies beyond the end of the file");
    l.firmware = {0, sectionEnd};
    l.voice = {sectionEnd, voiceEnd};
    l.voicePresent = true;
  }
  // A zero in the section-3 pair means no section 3 (and nothing is malformed).
  if (h.sysconfigStart != 0 && h.sysconfigEnd != 0) {
    uint64_t start = 0, end = 0;
    if (!Offset("sysconfigStart", h.sysconfigStart, start, problem)) return false;
    if (!Offset("sysconfigEnd", h.sysconfigEnd, end, problem)) return false;
    const uint64_t sectionStart = RoundUpToSector(start);
    if (end < sectionStart)
      return Fail(problem, Field("sysconfigEnd", h.sysconfigEnd, end) + " lies before section 3's start (byte " +
                               std::to_string(sectionStart) + ")");
    if (end > l.paddedSize)
      return Fail(problem, Field("sysconfigEnd", h.sysconfigEnd, end) + " lies beyond the end of the file");
    l.sysconfig = {sectionStart, end};
    l.sysconfigPresent = true;
  }
  out = l;
  return true;
}

}  // namespace

uint32_t WordAddressOf(uint64_t byteOffset) { return kWordAddressBase + uint32_t(byteOffset / 2); }

std::optional<uint64_t> ByteOffsetOf(uint32_t wordAddress) {
  if (wordAddress < kWordAddressBase) return std::nullopt;
  return 2 * uint64_t(wordAddress - kWordAddressBase);
}

uint64_t RoundUpToSector(uint64_t n) { return (n + kSectionAlignment - 1) / kSectionAlignment * kSectionAlignment; }

uint32_t LoadWord(std::string_view bytes, size_t offset) {
  const auto b = [&](size_t i) { return uint32_t(uint8_t(bytes[offset + i])); };
  return b(0) | b(1) << 8 | b(2) << 16 | b(3) << 24;
}

void StoreWord(std::string& bytes, size_t offset, uint32_t value) {
  for (size_t i = 0; i < 4; ++i) bytes[offset + i] = char(uint8_t(value >> (8 * i)));
}

void PackageChecksum::Add(std::string_view piece) {
  uint32_t sum = sum_;
  for (size_t i = 0; i < piece.size(); ++i) {
    const uint64_t at = position_ + i;
    if (at >= kChecksumOffset && at < kChecksumOffset + 4) continue;
    sum += uint8_t(piece[i]);
  }
  sum_ = sum;
  position_ += piece.size();
}

uint32_t ComputePackageChecksum(std::string_view package) {
  PackageChecksum sum;
  sum.Add(package);
  return sum.value();
}

PackageHeader PackageHeader::Parse(std::string_view bytes) {
  PackageHeader h;
  h.firmwareEnd = LoadWord(bytes, kFirmwareEndOffset);
  h.voiceEnd = LoadWord(bytes, kVoiceEndOffset);
  h.sysconfigStart = LoadWord(bytes, kSysconfigStartOffset);
  h.sysconfigEnd = LoadWord(bytes, kSysconfigEndOffset);
  h.packageChecksum = LoadWord(bytes, kChecksumOffset);
  h.firmwareInfoAddress = LoadWord(bytes, kFirmwareInfoAddressOffset);
  for (size_t i = 0; i < kUserIdSize; ++i) h.userId[i] = uint8_t(bytes[kUserIdOffset + i]);
  return h;
}

std::optional<PackageLayout> ComputeLayout(const PackageHeader& header, uint64_t fileSize, std::string* problem) {
  PackageLayout layout;
  if (!CheckLayout(header, fileSize, layout, problem)) return std::nullopt;
  return layout;
}

std::string FirmwareInfoText(std::string_view bytesAtAddress) {
  std::string_view text = bytesAtAddress.substr(0, kFirmwareInfoSize);
  const size_t zero = text.find('\0');
  if (zero != std::string_view::npos) text = text.substr(0, zero);
  return std::string(text);
}

std::optional<PackageInfo> InspectPackage(const InputFile& file, bool checksumWhenMalformed, std::string* error) {
  PackageInfo info;
  info.fileSize = file.size();
  if (info.fileSize >= kHeaderSize) {
    std::string head(kHeaderSize, '\0');
    if (!file.ReadAt(0, head.data(), head.size(), error)) return std::nullopt;
    info.header = PackageHeader::Parse(head);
    info.headerRead = true;
  }
  info.layout = ComputeLayout(info.header, info.fileSize, &info.problem);
  if (info.layout) {
    const uint64_t at = info.layout->firmwareInfoOffset;
    const size_t count = size_t(std::min<uint64_t>(kFirmwareInfoSize, info.fileSize - at));
    std::string raw(count, '\0');
    if (!file.ReadAt(at, raw.data(), count, error)) return std::nullopt;
    info.firmwareInfo = FirmwareInfoText(raw);
  }

  if (!info.headerRead || info.fileSize > kMaxPackageSize) return info;
  if (info.header.packageChecksum == kChecksumNotChecked) {
    info.checksum = ChecksumStatus::NotChecked;
    return info;
  }
  if (!info.layout && !checksumWhenMalformed) return info;

  // Streamed: the whole package need not sit in memory to be summed.
  PackageChecksum sum;
  std::vector<char> chunk(size_t(1) << 20);
  for (uint64_t at = 0; at < info.fileSize;) {
    const size_t count = size_t(std::min<uint64_t>(chunk.size(), info.fileSize - at));
    if (!file.ReadAt(at, chunk.data(), count, error)) return std::nullopt;
    sum.Add(std::string_view(chunk.data(), count));
    at += count;
  }
  info.computedChecksum = sum.value();
  if (info.computedChecksum == info.header.packageChecksum) {
    info.checksum = ChecksumStatus::Passed;
  } else {
    info.checksum = ChecksumStatus::Failed;
    if (info.problem.empty())
      info.problem = "the checksum is " + Hex(info.computedChecksum) + ", the header says " +
                     Hex(info.header.packageChecksum);
  }
  return info;
}

std::optional<PackageInfo> InspectPackage(const std::filesystem::path& path, std::string* error) {
  std::optional<InputFile> file = InputFile::Open(path, error);
  if (!file) return std::nullopt;
  return InspectPackage(*file, true, error);
}

}  // namespace ardentix
