#include "records/records_settings.h"

#include "core/profile.h"

namespace ardentix::records {

RecordsSettings LoadRecordsSettings(const std::filesystem::path& stationDir, std::string* error) {
  std::string why;
  const auto profile = ReadProfileFile(stationDir / kRecordsSettingsFileName, &why);
  if (error != nullptr) *error = profile ? std::string() : why;
  RecordsSettings s;
  if (!profile) return s;
  s.Station = profile->Find("RECORDS", "Station").value_or("");
  s.Url = profile->Find("RECORDS", "Url").value_or("");
  return s;
}

}  // namespace ardentix::records
