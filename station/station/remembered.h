// What the station remembers between starts, in a file of its own in the
// station folder ("Remembered.ini"; the settings file's keys belong to the
// line's other tools): the burn files and check boxes chosen last, the
// batch-end signal switch and the day's tally. The choices are shown again
// at the next start; only START burns.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "burnfiles/burn_file_set.h"
#include "station/batch_board.h"

namespace ardentix {

inline constexpr const char* kRememberedFileName = "Remembered.ini";

struct RememberedChoices {
  std::filesystem::path sd1Image, sd2Image;
  std::filesystem::path flashPackage;  // the package last imported successfully
  int32_t sd1Enabled = 0, sd2Enabled = 0, flashEnabled = 1;  // the window's start values
  bool batchSignal = true;
  bool continuous = false;  // the continuous line instead of batches
  DayTally day;
  bool operator==(const RememberedChoices&) const = default;
};

std::filesystem::path RememberedPath(const std::filesystem::path& stationDir);

// A missing file, or one that cannot be read, gives the start values.
RememberedChoices LoadRemembered(const std::filesystem::path& stationDir);
// Written whole and atomically; false with `error` when it cannot be.
bool SaveRemembered(const std::filesystem::path& stationDir, const RememberedChoices& choices,
                    std::string* error = nullptr);

// What a start does with the remembered files: the SD images that still
// exist become the chosen ones, the package that still exists is to be
// imported again, and the rest are named in `gone` for the operator.
struct RestorePlan {
  std::filesystem::path packageToImport;
  std::vector<std::filesystem::path> gone;
};
RestorePlan RestoreChoices(const RememberedChoices& choices, BurnFileSet& files);

}  // namespace ardentix
