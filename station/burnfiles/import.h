// Import of a flash package: check it, show its firmware info, split it into
// the section files in BurnFile/.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>

#include "burnfiles/burn_file_set.h"

namespace ardentix {

struct ImportResult {
  bool ok = false;
  std::string message;  // text of the message box to show; empty when none is shown
  std::string detail;   // what exactly went wrong, for the command line; empty on success
  std::string caption;  // the main window's new caption; empty: leave the caption as it is
  std::string firmwareInfo;
  uint64_t firmwareSectionSize = 0;
  uint64_t voiceSectionSize = 0;
  uint64_t sysconfigSectionSize = 0;
};

// Runs the import of `packagePath` (the window shows kImportNoticeText around
// it). flashPackagePath takes the chosen path whatever the outcome; the section
// files change only when the whole package was read and checked, and then all
// three together, and "4.bin" is removed.
ImportResult ImportBurnPackage(BurnFileSet& set, const std::filesystem::path& packagePath);

}  // namespace ardentix
