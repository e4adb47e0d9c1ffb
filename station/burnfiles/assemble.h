// Assembly of a flash image (in the package format) from the section files.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "burnfiles/burn_file_set.h"

namespace ardentix {

// Section 1's rounding padding: erased flash.
inline constexpr char kFirmwarePadByte = '\xFF';

struct AssembleResult {
  bool ok = false;
  bool assembled = false;  // an image was written (AssembleReplacedSections may have nothing to do)
  std::string message;     // text of the message box to show on failure; empty on success
  std::string detail;      // what exactly went wrong, for the command line
  uint64_t imageSize = 0;
};

// Lays out the three sections, writes the header words, `userId` and the
// checksum. nullopt and `problem` when no importable package can be made:
// section 1 shorter than the header, more than kMaxPackageSize bytes in all, or
// a firmware info address that would lie outside the image.
std::optional<std::string> BuildFlashImage(std::string_view firmware, std::string_view voice,
                                           std::string_view sysconfig, const PackageUserId& userId,
                                           std::string* problem = nullptr);

// Builds the image from the section files of `set` into `outputPath` and makes
// it the package in force (flashPackagePath). On any failure nothing is
// written, `outputPath` keeps what it held and flashPackagePath is unchanged.
AssembleResult AssembleFlashImage(BurnFileSet& set, const std::filesystem::path& outputPath);

// START's step before the workers: when a section was replaced, assemble
// assembledImagePath so the burn uses the new sections. The flags are cleared
// only once the image is written; on failure they stay set and START must not
// burn (flashPackagePath still names the image without the replacement).
AssembleResult AssembleReplacedSections(BurnFileSet& set);

}  // namespace ardentix
