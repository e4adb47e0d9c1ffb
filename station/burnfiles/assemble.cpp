#include "burnfiles/assemble.h"

#include <algorithm>
#include <array>
#include <functional>
#include <new>
#include <vector>

#include "burnfiles/input_file.h"
#include "burnfiles/package.h"
#include "core/file_set.h"
#include "core/files.h"

namespace ardentix {
namespace {

namespace fs = std::filesystem;

constexpr std::array<uint8_t, 16> kFillPattern{0xFF, 0xFF, 0xFF, 0xFF, 0, 0, 0, 0,
                                               0xFF, 0xFF, 0xFF, 0xFF, 0, 0, 0, 0};

bool Fail(std::string* problem, std::string text) {
  if (problem != nullptr) *problem = std::move(text);
  return false;
}

AssembleResult Refuse(std::string message, std::string detail = "") {
  AssembleResult r;
  r.message = std::move(message);
  r.detail = std::move(detail);
  return r;
}

// Total image size for sections of these lengths, checked against what a
// package can describe and a burn can reach before anything is read.
bool CheckSizes(uint64_t l1, uint64_t l2, uint64_t l3, std::string* problem) {
  if (l1 < kHeaderSize)
    return Fail(problem, "the firmware section is " + std::to_string(l1) + " bytes, too short to hold the " +
                             std::to_string(kHeaderSize) + "-byte package header");
  const uint64_t most = kMaxFlashImageSize;
  const uint64_t total = l1 > most || l2 > most || l3 > most ? most + 1 : RoundUpToSector(l1) + RoundUpToSector(l2) + l3;
  if (total > most)
    return Fail(problem, "the sections add up to more than the " + std::to_string(most) +
                             " bytes of flash a burn can reach");
  return true;
}

// One section's bytes, from a file or from memory.
struct Section {
  uint64_t size = 0;
  std::function<bool(uint64_t offset, char* into, size_t count, std::string* error)> read;
};

Section FromMemory(std::string_view bytes) {
  return {bytes.size(), [bytes](uint64_t offset, char* into, size_t count, std::string*) {
            bytes.copy(into, count, size_t(offset));
            return true;
          }};
}

Section FromFile(const InputFile& file) {
  return {file.size(), [&file](uint64_t offset, char* into, size_t count, std::string* error) {
            return file.ReadAt(offset, into, count, error);
          }};
}

// The header fields the assembly writes, from the section lengths alone.
struct HeaderFields {
  std::array<uint32_t, 4> bounds{};  // at 160, 164, 168, 172
  PackageUserId userId{};
  uint32_t checksum = 0;

  void PatchInto(char* piece, uint64_t pieceOffset, size_t count) const {
    auto put = [&](uint64_t at, uint8_t value) {
      if (at >= pieceOffset && at < pieceOffset + count) piece[at - pieceOffset] = char(value);
    };
    for (size_t w = 0; w < bounds.size(); ++w)
      for (size_t i = 0; i < 4; ++i) put(kFirmwareEndOffset + 4 * w + i, uint8_t(bounds[w] >> (8 * i)));
    for (size_t i = 0; i < 4; ++i) put(kChecksumOffset + i, uint8_t(checksum >> (8 * i)));
    for (size_t i = 0; i < kUserIdSize; ++i) put(kUserIdOffset + i, userId[i]);
  }
};

using Sink = std::function<bool(std::string_view piece, std::string* error)>;

// Produces the image in pieces of at most kCopyChunkBytes: section 1 with the
// header fields set and padded with 0xFF to R1, section 2 over the fill
// pattern up to R2, then section 3 unpadded.
bool ProduceImage(const std::array<Section, 3>& s, const HeaderFields& fields, const Sink& sink, std::string* error) {
  std::vector<char> piece(kCopyChunkBytes);
  const std::array<uint64_t, 3> spans{RoundUpToSector(s[0].size), RoundUpToSector(s[1].size), s[2].size};
  for (size_t i = 0; i < s.size(); ++i) {
    for (uint64_t at = 0; at < spans[i];) {
      const size_t count = size_t(std::min<uint64_t>(piece.size(), spans[i] - at));
      const size_t data = at < s[i].size ? size_t(std::min<uint64_t>(count, s[i].size - at)) : 0;
      if (data > 0 && !s[i].read(at, piece.data(), data, error)) return false;
      for (size_t k = data; k < count; ++k)
        piece[k] = i == 0 ? kFirmwarePadByte : char(kFillPattern[(at + k) % kFillPattern.size()]);
      if (i == 0) fields.PatchInto(piece.data(), at, count);
      if (!sink(std::string_view(piece.data(), count), error)) return false;
      at += count;
    }
  }
  return true;
}

// Checks the sections and works out the header; reads only section 1's
// firmware info address.
std::optional<HeaderFields> PlanImage(const std::array<Section, 3>& s, const PackageUserId& userId,
                                      std::string* problem) {
  if (!CheckSizes(s[0].size, s[1].size, s[2].size, problem)) return std::nullopt;
  const uint64_t r1 = RoundUpToSector(s[0].size);
  const uint64_t r2 = RoundUpToSector(s[1].size);
  const uint64_t total = r1 + r2 + s[2].size;
  char word[4];
  if (!s[0].read(kFirmwareInfoAddressOffset, word, sizeof word, problem)) return std::nullopt;
  const std::optional<uint64_t> info = ByteOffsetOf(LoadWord(std::string_view(word, 4), 0));
  if (!info || *info >= total) {
    Fail(problem, "the firmware info address in the firmware section lies outside the image");
    return std::nullopt;
  }
  // Integer halving: a section of odd length keeps its last byte in the image
  // but outside the bounds the header states.
  HeaderFields f;
  f.bounds = {WordAddressOf(r1), WordAddressOf(r1 + s[1].size), WordAddressOf(r1 + r2),
              WordAddressOf(r1 + r2 + s[2].size)};
  f.userId = userId;
  return f;
}

// The sum is taken in a first pass, so the image is written in one go.
bool Checksum(const std::array<Section, 3>& s, HeaderFields& f, std::string* error) {
  PackageChecksum sum;
  if (!ProduceImage(s, f, [&sum](std::string_view p, std::string*) { return sum.Add(p), true; }, error)) return false;
  f.checksum = sum.value();
  return true;
}

}  // namespace

std::optional<std::string> BuildFlashImage(std::string_view firmware, std::string_view voice,
                                           std::string_view sysconfig, const PackageUserId& userId,
                                           std::string* problem) {
  const std::array<Section, 3> s{FromMemory(firmware), FromMemory(voice), FromMemory(sysconfig)};
  std::optional<HeaderFields> f = PlanImage(s, userId, problem);
  if (!f || !Checksum(s, *f, problem)) return std::nullopt;
  std::string image;
  image.reserve(size_t(RoundUpToSector(firmware.size()) + RoundUpToSector(voice.size()) + sysconfig.size()));
  ProduceImage(s, *f, [&image](std::string_view p, std::string*) { return image.append(p), true; }, problem);
  return image;
}

namespace {

AssembleResult Assemble(BurnFileSet& set, const fs::path& outputPath) {
  if (set.programDirectory.empty()) return Refuse("No program directory is set");
  SetProgramDirectory(set, set.programDirectory);
  std::string error;
  // A replacement a crash left half done is finished first: never an image
  // from half of one package and half of another.
  if (!RecoverFileSet(SectionFolder(set), &error)) return Refuse("Fail to open file " + PathText(SectionFolder(set)), error);

  // A missing section file means the folder is not what an import left; an
  // image without that section would burn silently wrong, so refuse.
  const std::array<const fs::path*, 3> paths{&set.firmwareSectionPath, &set.voiceSectionPath,
                                             &set.sysconfigSectionPath};
  std::array<std::optional<InputFile>, 3> files;
  for (size_t i = 0; i < files.size(); ++i) {
    files[i] = InputFile::Open(*paths[i], &error);
    if (!files[i]) return Refuse("Fail to open file " + PathText(*paths[i]), error);
  }
  const std::array<Section, 3> s{FromFile(*files[0]), FromFile(*files[1]), FromFile(*files[2])};
  std::optional<HeaderFields> f = PlanImage(s, set.packageUserId, &error);
  if (!f) return Refuse("Cannot assemble the flash image: " + error);
  if (!Checksum(s, *f, &error)) return Refuse("Fail to open file", error);

  // Written piece by piece; the sum is taken again on the way, so a section
  // file changed meanwhile cannot leave an image whose checksum lies.
  ReplacingFile out;
  if (!out.Create(outputPath, &error)) return Refuse("Fail to create file " + PathText(outputPath), error);
  PackageChecksum again;
  const bool written = ProduceImage(s, *f, [&](std::string_view p, std::string* why) {
    again.Add(p);
    return out.Append(p, why);
  }, &error);
  if (!written) return Refuse("Fail to create file " + PathText(outputPath), error);
  if (again.value() != f->checksum) return Refuse("Cannot assemble the flash image: a section file changed while it was read");
  if (!out.Commit(&error)) return Refuse("Fail to create file " + PathText(outputPath), error);

  set.flashPackagePath = outputPath;
  AssembleResult r;
  r.ok = true;
  r.assembled = true;
  r.imageSize = RoundUpToSector(s[0].size) + RoundUpToSector(s[1].size) + s[2].size;
  return r;
}

}  // namespace

AssembleResult AssembleFlashImage(BurnFileSet& set, const fs::path& outputPath) {
  try {
    return Assemble(set, outputPath);
  } catch (const std::bad_alloc&) {
    return Refuse("Not enough memory to assemble the flash image", "out of memory");
  }
}

AssembleResult AssembleReplacedSections(BurnFileSet& set) {
  if (!set.voiceReplaced && !set.sysconfigReplaced) {
    AssembleResult r;
    r.ok = true;
    return r;
  }
  if (set.programDirectory.empty()) return Refuse("No program directory is set");
  SetProgramDirectory(set, set.programDirectory);
  const fs::path output = set.assembledImagePath;
  AssembleResult r = AssembleFlashImage(set, output);
  if (r.ok) {
    set.voiceInImage = set.voiceInImage || set.voiceReplaced;
    set.sysconfigInImage = set.sysconfigInImage || set.sysconfigReplaced;
    set.voiceReplaced = set.sysconfigReplaced = false;
  }
  return r;
}

}  // namespace ardentix
