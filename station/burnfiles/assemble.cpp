#include "burnfiles/assemble.h"

#include <algorithm>
#include <array>

#include "burnfiles/input_file.h"
#include "burnfiles/package.h"
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
// package can describe before anything is read or allocated.
bool CheckSizes(uint64_t l1, uint64_t l2, uint64_t l3, std::string* problem) {
  if (l1 < kHeaderSize)
    return Fail(problem, "the firmware section is " + std::to_string(l1) + " bytes, too short to hold the " +
                             std::to_string(kHeaderSize) + "-byte package header");
  const uint64_t total = RoundUpToSector(l1) + RoundUpToSector(l2) + l3;
  if (l1 > kMaxPackageSize || l2 > kMaxPackageSize || l3 > kMaxPackageSize || total > kMaxPackageSize)
    return Fail(problem, "the sections add up to " + std::to_string(total) + " bytes, more than a package can hold");
  return true;
}

}  // namespace

std::optional<std::string> BuildFlashImage(std::string_view firmware, std::string_view voice,
                                           std::string_view sysconfig, const PackageUserId& userId,
                                           std::string* problem) {
  if (!CheckSizes(firmware.size(), voice.size(), sysconfig.size(), problem)) return std::nullopt;
  const uint64_t r1 = RoundUpToSector(firmware.size());
  const uint64_t r2 = RoundUpToSector(voice.size());
  const uint64_t l2 = voice.size();
  const uint64_t l3 = sysconfig.size();
  const uint64_t total = r1 + r2 + l3;

  const std::optional<uint64_t> info = ByteOffsetOf(LoadWord(firmware, kFirmwareInfoAddressOffset));
  if (!info || *info >= total) {
    Fail(problem, "the firmware info address in the firmware section lies outside the image");
    return std::nullopt;
  }

  std::string image(size_t(total), '\0');
  firmware.copy(image.data(), firmware.size());
  std::fill(image.begin() + firmware.size(), image.begin() + r1, kFirmwarePadByte);
  // The pattern runs from the start of section 2, then the voice data covers it.
  for (uint64_t k = 0; k < r2; ++k) image[r1 + k] = char(kFillPattern[k % kFillPattern.size()]);
  voice.copy(image.data() + r1, voice.size());
  sysconfig.copy(image.data() + r1 + r2, sysconfig.size());

  // Integer halving: a section of odd length keeps its last byte in the image
  // but outside the bounds the header states.
  StoreWord(image, kFirmwareEndOffset, WordAddressOf(r1));
  StoreWord(image, kVoiceEndOffset, WordAddressOf(r1 + l2));
  StoreWord(image, kSysconfigStartOffset, WordAddressOf(r1 + r2));
  StoreWord(image, kSysconfigEndOffset, WordAddressOf(r1 + r2 + l3));
  for (size_t i = 0; i < kUserIdSize; ++i) image[kUserIdOffset + i] = char(userId[i]);
  StoreWord(image, kChecksumOffset, ComputePackageChecksum(image));
  return image;
}

AssembleResult AssembleFlashImage(BurnFileSet& set, const fs::path& outputPath) {
  if (set.programDirectory.empty()) return Refuse("No program directory is set");
  SetProgramDirectory(set, set.programDirectory);

  // A missing section file means the folder is not what an import left; an
  // image without that section would burn silently wrong, so refuse.
  const std::array<const fs::path*, 3> paths{&set.firmwareSectionPath, &set.voiceSectionPath,
                                             &set.sysconfigSectionPath};
  std::array<std::optional<InputFile>, 3> files;
  std::string error;
  for (size_t i = 0; i < files.size(); ++i) {
    files[i] = InputFile::Open(*paths[i], &error);
    if (!files[i]) return Refuse("Fail to open file " + paths[i]->string(), error);
  }
  if (!CheckSizes(files[0]->size(), files[1]->size(), files[2]->size(), &error))
    return Refuse("Cannot assemble the flash image: " + error);

  std::array<std::string, 3> sections;
  for (size_t i = 0; i < files.size(); ++i) {
    sections[i].resize(size_t(files[i]->size()));
    if (!files[i]->ReadAt(0, sections[i].data(), sections[i].size(), &error))
      return Refuse("Fail to open file " + paths[i]->string(), error);
  }

  std::optional<std::string> image = BuildFlashImage(sections[0], sections[1], sections[2], set.packageUserId, &error);
  if (!image) return Refuse("Cannot assemble the flash image: " + error);
  if (!WriteFileAtomically(outputPath, *image, &error)) return Refuse("Fail to create file " + outputPath.string(), error);

  set.flashPackagePath = outputPath;
  AssembleResult r;
  r.ok = true;
  r.assembled = true;
  r.imageSize = image->size();
  return r;
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
  if (r.ok) set.voiceReplaced = set.sysconfigReplaced = false;
  return r;
}

}  // namespace ardentix
