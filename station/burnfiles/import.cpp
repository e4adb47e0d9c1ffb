#include "burnfiles/import.h"

#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <optional>
#include <string_view>

#include "burnfiles/input_file.h"
#include "burnfiles/package.h"
#include "burnfiles/texts.h"
#include "core/files.h"

namespace ardentix {
namespace {

namespace fs = std::filesystem;

struct PendingFile {
  fs::path target;
  std::string_view bytes;
};

fs::path WithSuffix(const fs::path& path, const char* suffix) {
  fs::path p = path;
  p += suffix;
  return p;
}

// Replaces all files or none. Every new file is first written in full beside
// its target (the step that can run out of space); only then are they renamed
// over the targets. Should a rename fail, the ones already done are undone from
// hard links to the old files.
bool ReplaceFilesTogether(const std::array<PendingFile, 3>& files, std::string* error) {
  constexpr size_t n = std::tuple_size_v<std::array<PendingFile, 3>>;
  std::array<fs::path, n> staged, previous;
  std::array<bool, n> hasPrevious{};
  std::error_code ec;
  for (size_t i = 0; i < n; ++i) staged[i] = WithSuffix(files[i].target, ".staged");
  for (size_t i = 0; i < n; ++i) {
    if (!WriteFileAtomically(staged[i], files[i].bytes, error)) {
      for (size_t j = 0; j < i; ++j) fs::remove(staged[j], ec);
      return false;
    }
  }
  for (size_t i = 0; i < n; ++i) {
    previous[i] = WithSuffix(files[i].target, ".previous");
    fs::remove(previous[i], ec);
    hasPrevious[i] = ::link(files[i].target.c_str(), previous[i].c_str()) == 0;
  }
  bool ok = true;
  size_t done = 0;
  for (; done < n; ++done) {
    if (::rename(staged[done].c_str(), files[done].target.c_str()) != 0) {
      if (error != nullptr)
        *error = "cannot replace " + files[done].target.string() + ": " + std::strerror(errno);
      ok = false;
      break;
    }
  }
  if (!ok) {
    for (size_t j = 0; j < done; ++j) {
      if (hasPrevious[j]) {
        if (::rename(previous[j].c_str(), files[j].target.c_str()) == 0) hasPrevious[j] = false;
      } else {
        fs::remove(files[j].target, ec);
      }
    }
    for (size_t j = done; j < n; ++j) fs::remove(staged[j], ec);
  }
  for (size_t i = 0; i < n; ++i)
    if (hasPrevious[i]) fs::remove(previous[i], ec);
  return ok;
}

ImportResult Refuse(std::string_view message, std::string detail) {
  ImportResult r;
  r.message = std::string(message);
  r.detail = std::move(detail);
  return r;
}

}  // namespace

ImportResult ImportBurnPackage(BurnFileSet& set, const fs::path& packagePath) {
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

  const PackageLayout& layout = *info->layout;
  std::array<std::optional<std::string>, 3> sections;
  const std::array<ByteRange, 3> ranges{layout.firmware, layout.voice, layout.sysconfig};
  for (size_t i = 0; i < ranges.size(); ++i) {
    sections[i] = file->ReadPadded(ranges[i].begin, ranges[i].end, &error);
    if (!sections[i]) return Refuse(kMsgFailToOpenFile, error);
  }
  file.reset();

  // The package is good: the caption follows it even if the section files
  // cannot be written below, since the burn reads flashPackagePath itself.
  ImportResult result;
  result.firmwareInfo = info->firmwareInfo;
  result.caption = MainWindowCaption(info->firmwareInfo);
  result.firmwareSectionSize = sections[0]->size();
  result.voiceSectionSize = sections[1]->size();
  result.sysconfigSectionSize = sections[2]->size();

  const fs::path folder = SectionFolder(set);
  std::error_code ec;
  fs::create_directories(folder, ec);
  if (ec || !fs::is_directory(folder)) {
    result.message = "Fail to create folder " + folder.string();
    result.detail = ec ? ec.message() : "a file of that name is in the way";
    return result;
  }
  // Old section files stay as they were unless all three new ones are in place,
  // and the flags of the old package remain false so nothing mixes them with
  // this package's userId.
  if (!ReplaceFilesTogether({PendingFile{set.firmwareSectionPath, *sections[0]},
                             PendingFile{set.voiceSectionPath, *sections[1]},
                             PendingFile{set.sysconfigSectionPath, *sections[2]}},
                            &error)) {
    result.message = "Fail to write the section files in " + folder.string();
    result.detail = error;
    return result;
  }
  // An old assembled image no longer matches the sections; but keep it when it
  // is the very file just imported, which is now the package in force.
  if (!fs::equivalent(set.assembledImagePath, packagePath, ec)) fs::remove(set.assembledImagePath, ec);

  set.packageUserId = info->header.userId;
  set.packageLoaded = true;
  result.ok = true;
  return result;
}

}  // namespace ardentix
