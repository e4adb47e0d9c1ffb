#include "burnfiles/import.h"

#include <array>
#include <new>
#include <optional>
#include <string_view>
#include <vector>

#include "burnfiles/input_file.h"
#include "burnfiles/package.h"
#include "burnfiles/texts.h"
#include "core/file_set.h"

namespace ardentix {
namespace {

namespace fs = std::filesystem;

ImportResult Refuse(std::string_view message, std::string detail) {
  ImportResult r;
  r.message = std::string(message);
  r.detail = std::move(detail);
  return r;
}

ImportResult ImportPackage(BurnFileSet& set, const fs::path& packagePath) {
  set.packageLoaded = false;
  set.flashPackagePath = packagePath;
  if (set.programDirectory.empty()) return Refuse("No program directory is set", "");
  SetProgramDirectory(set, set.programDirectory);

  std::string error;
  std::optional<InputFile> file = InputFile::Open(packagePath, &error);
  if (!file) return Refuse(kMsgFailToOpenFile, error);
  std::optional<PackageInfo> info = InspectPackage(*file, false, &error);
  if (!info) return Refuse(kMsgFailToOpenFile, error);
  if (!info->accepted()) return Refuse(kMsgFormatError, info->problem);

  // The package is good: the caption follows it even if the section files
  // cannot be written below, since the burn reads flashPackagePath itself.
  const PackageLayout& layout = *info->layout;
  ImportResult result;
  result.firmwareInfo = info->firmwareInfo;
  result.caption = MainWindowCaption(info->firmwareInfo);
  result.firmwareSectionSize = layout.firmware.size();
  result.voiceSectionSize = layout.voice.size();
  result.sysconfigSectionSize = layout.sysconfig.size();

  const fs::path folder = SectionFolder(set);
  std::error_code ec;
  fs::create_directories(folder, ec);
  if (ec || !fs::is_directory(folder)) {
    result.message = "Fail to create folder " + PathText(folder);
    result.detail = ec ? ec.message() : "a file of that name is in the way";
    return result;
  }
  // Old section files stay as they were unless all three new ones are in place,
  // and the flags of the old package remain false so nothing mixes them with
  // this package's userId. Each section is copied from the package piece by
  // piece. An old assembled image no longer matches the sections and goes
  // with them; but it stays when it is the very file being imported, which is
  // now the package in force.
  auto copy = [&file](const ByteRange& range) {
    return [&file, range](ReplacingFile& out, std::string* why) { return file->CopyTo(out, range.begin, range.end, why); };
  };
  std::vector<FileChange> changes{{set.firmwareSectionPath, copy(layout.firmware)},
                                  {set.voiceSectionPath, copy(layout.voice)},
                                  {set.sysconfigSectionPath, copy(layout.sysconfig)}};
  if (!fs::equivalent(set.assembledImagePath, packagePath, ec)) changes.push_back({set.assembledImagePath, {}});
  if (!ReplaceFilesTogether(changes, &error)) {
    result.message = "Fail to write the section files in " + PathText(folder);
    result.detail = error;
    return result;
  }

  set.packageUserId = info->header.userId;
  set.importedPackagePath = packagePath;
  set.packageLoaded = true;
  set.voiceInImage = set.sysconfigInImage = false;
  result.ok = true;
  return result;
}

}  // namespace

ImportResult ImportBurnPackage(BurnFileSet& set, const fs::path& packagePath) {
  try {
    return ImportPackage(set, packagePath);
  } catch (const std::bad_alloc&) {
    // Nothing was replaced: the section files change only as a whole.
    set.packageLoaded = false;
    return Refuse(kMsgNotEnoughMemory, "out of memory while importing " + PathText(packagePath));
  }
}

}  // namespace ardentix
