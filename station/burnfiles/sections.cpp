#include "burnfiles/sections.h"

#include <new>
#include <optional>

#include "burnfiles/input_file.h"
#include "burnfiles/package.h"
#include "burnfiles/texts.h"
#include "core/file_set.h"
#include "core/files.h"

namespace ardentix {
namespace {

namespace fs = std::filesystem;

ReplaceResult NotReplaced(std::string message, std::string detail) {
  ReplaceResult r;
  r.message = std::move(message) + "; the section was not replaced";
  r.detail = std::move(detail);
  return r;
}

ReplaceResult Replace(BurnFileSet& set, const fs::path& chosenPath, bool voice) {
  ReplaceResult r;
  if (set.programDirectory.empty()) {
    r.message = "No program directory is set";
    return r;
  }
  SetProgramDirectory(set, set.programDirectory);
  const fs::path& section = voice ? set.voiceSectionPath : set.sysconfigSectionPath;

  std::string error;
  const std::optional<InputFile> chosen = InputFile::Open(chosenPath, &error);
  if (!chosen) return NotReplaced("Fail to open file " + PathText(chosenPath), error);
  // A section that no burn could reach is refused before anything is copied.
  if (chosen->size() > kMaxFlashImageSize)
    return NotReplaced("File " + PathText(chosenPath) + " is too big for the flash",
                       std::to_string(chosen->size()) + " bytes, more than the " +
                           std::to_string(kMaxFlashImageSize) + " bytes of flash a burn can reach");
  // Copied piece by piece into a replacement of the section file, which
  // takes its place in one step once complete.
  ReplacingFile out;
  if (!out.Create(section, &error) || !chosen->CopyTo(out, 0, chosen->size(), &error) || !out.Commit(&error))
    return NotReplaced("Fail to write file " + PathText(section), error);
  (voice ? set.voiceReplaced : set.sysconfigReplaced) = true;
  r.ok = true;
  r.message = std::string(kMsgReplaceOk);
  r.size = chosen->size();
  return r;
}

ReplaceResult ReplaceSection(BurnFileSet& set, const fs::path& chosenPath, bool voice) {
  try {
    return Replace(set, chosenPath, voice);
  } catch (const std::bad_alloc&) {
    return NotReplaced(std::string(kMsgNotEnoughMemory), "out of memory while copying " + PathText(chosenPath));
  }
}

}  // namespace

ReplaceResult ReplaceVoiceSection(BurnFileSet& set, const fs::path& chosenPath) {
  return ReplaceSection(set, chosenPath, true);
}

ReplaceResult ReplaceSysconfigSection(BurnFileSet& set, const fs::path& chosenPath) {
  return ReplaceSection(set, chosenPath, false);
}

AssembleResult ExportBurnPackage(BurnFileSet& set, const fs::path& outputPath) {
  return AssembleFlashImage(set, outputPath);
}

bool RecoverPackageUserId(BurnFileSet& set, std::string* error) {
  if (set.programDirectory.empty()) {
    if (error != nullptr) *error = "no program directory is set";
    return false;
  }
  SetProgramDirectory(set, set.programDirectory);
  if (!RecoverFileSet(SectionFolder(set), error)) return false;
  std::optional<InputFile> file = InputFile::Open(set.firmwareSectionPath, error);
  if (!file) return false;
  if (file->size() < kHeaderSize) {
    if (error != nullptr)
      *error = PathText(set.firmwareSectionPath) + " is " + std::to_string(file->size()) +
               " bytes, too short to hold a package header";
    return false;
  }
  PackageUserId id{};
  if (!file->ReadAt(kUserIdOffset, id.data(), id.size(), error)) return false;
  set.packageUserId = id;
  return true;
}

}  // namespace ardentix
