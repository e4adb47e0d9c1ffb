#pragma once
// records.ini beside the settings file: the station's name on its records
// and the line database's address. A file of its own, so the settings file
// that other tools read stays exactly as it is.
//
//   [RECORDS]
//   Station=LINE2-ST04
//   Url=postgresql://records@lineserver/line2
#include <filesystem>
#include <string>

namespace ardentix::records {

inline constexpr const char* kRecordsSettingsFileName = "records.ini";

struct RecordsSettings {
  std::string Station;  // empty: the host name is used
  std::string Url;      // empty: no line database
};

// A missing file or key gives empty values; `error` (if given) says why a
// file that exists could not be read.
RecordsSettings LoadRecordsSettings(const std::filesystem::path& stationDir, std::string* error = nullptr);

}  // namespace ardentix::records
