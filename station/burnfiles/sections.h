// Replacing the voice or the system-configuration section, and exporting the
// section files as a new package.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>

#include "burnfiles/assemble.h"
#include "burnfiles/burn_file_set.h"

namespace ardentix {

struct ReplaceResult {
  bool ok = false;
  std::string message;  // message box text: "replace ok", or why nothing was replaced
  std::string detail;   // what exactly went wrong, for the command line
  uint64_t size = 0;    // bytes of the new section
};

// Copies `chosenPath` byte for byte over the section file and raises the
// section's flag. The chosen file is read before the section file is touched,
// and the section file is replaced in one step: on any failure the old section
// and the flag stay as they were.
ReplaceResult ReplaceVoiceSection(BurnFileSet& set, const std::filesystem::path& chosenPath);
ReplaceResult ReplaceSysconfigSection(BurnFileSet& set, const std::filesystem::path& chosenPath);

// Assembles the current section files, replaced or not, into `outputPath` (the
// window shows kExportNoticeText around it). The flags stay as they are. No
// message follows a success.
AssembleResult ExportBurnPackage(BurnFileSet& set, const std::filesystem::path& outputPath);

// A process that imported nothing has a zero packageUserId; the section file
// "1.bin" still holds the userId of the package it came from (the import
// copies it with the header and no assembly changes it). false and `error`
// when "1.bin" cannot supply it.
bool RecoverPackageUserId(BurnFileSet& set, std::string* error = nullptr);

}  // namespace ardentix
