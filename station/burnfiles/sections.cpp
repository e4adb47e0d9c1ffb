#include "burnfiles/sections.h"

#include <optional>

#include "burnfiles/input_file.h"
#include "burnfiles/package.h"
#include "burnfiles/texts.h"
#include "core/files.h"

namespace ardentix {
namespace {

namespace fs = std::filesystem;

ReplaceResult ReplaceSection(BurnFileSet& set, const fs::path& chosenPath, bool voice) {
  ReplaceResult r;
  if (set.programDirectory.empty()) {
    r.message = "No program directory is set";
    return r;
  }
  SetProgramDirectory(set, set.programDirectory);
  const fs::path& section = voice ? set.voiceSectionPath : set.sysconfigSectionPath;

  std::string error;
  std::optional<std::string> bytes = ReadRegularFile(chosenPath, kMaxPackageSize, &error);
  if (!bytes) {
    r.message = "Fail to open file " + chosenPath.string() + "; the section was not replaced";
    r.detail = error;
    return r;
  }
  if (!WriteFileAtomically(section, *bytes, &error)) {
    r.message = "Fail to write file " + section.string() + "; the section was not replaced";
    r.detail = error;
    return r;
  }
  (voice ? set.voiceReplaced : set.sysconfigReplaced) = true;
  r.ok = true;
  r.message = std::string(kMsgReplaceOk);
  r.size = bytes->size();
  return r;
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
  std::optional<InputFile> file = InputFile::Open(set.firmwareSectionPath, error);
  if (!file) return false;
  if (file->size() < kHeaderSize) {
    if (error != nullptr)
      *error = set.firmwareSectionPath.string() + " is " + std::to_string(file->size()) +
               " bytes, too short to hold a package header";
    return false;
  }
  PackageUserId id{};
  if (!file->ReadAt(kUserIdOffset, id.data(), id.size(), error)) return false;
  set.packageUserId = id;
  return true;
}

}  // namespace ardentix
