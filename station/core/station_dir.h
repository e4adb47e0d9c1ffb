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
// then ARDENTIX_STATION_DIR, then the folder of the running program; when that
// default is not writable (an installed program), the user's data folder
// ($XDG_DATA_HOME/ardentix, else ~/.local/share/ardentix; on Windows
// "ardentix" in the local application data folder).
StationDirChoice ResolveStationDir(const std::string& option);

}  // namespace ardentix
