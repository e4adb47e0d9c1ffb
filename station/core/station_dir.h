// The station folder: where the settings, the catalogue, the section files
// and the read-back files live.
#pragma once

#include <filesystem>
#include <string>

namespace ardentix {

struct StationDirChoice {
  std::filesystem::path dir;  // absolute, created if it did not exist
  std::string notice;         // non-empty when the default was replaced; tell the operator once
  std::string error;          // non-empty when no usable folder was found
};

// `option` is the --station-dir value ("" when not given). Order: the option,
// then ARDENTIX_STATION_DIR, then the folder of the running program; for an
// installed program, or when that folder is not writable, the user's data
// folder ($XDG_DATA_HOME/ardentix, else ~/.local/share/ardentix; on Windows
// "ardentix" in the local application data folder). A folder without a
// catalogue gets the installed starter catalogue.
StationDirChoice ResolveStationDir(const std::string& option);

// The same for a program living in `programDir` ("" when unknown).
StationDirChoice ResolveStationDirFor(const std::string& option, const std::filesystem::path& programDir);

// The shared data of an installed program: <prefix>/share/ardentix when the
// program is <prefix>/bin/... and that folder holds the starter catalogue;
// "" for a program run from its build tree.
std::filesystem::path InstalledDataDir(const std::filesystem::path& programDir);

}  // namespace ardentix
