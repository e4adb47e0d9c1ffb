#include "records/history.h"

#include <cstdio>

#include "core/files.h"
#include "core/strings.h"
#include "records/record_format.h"

namespace ardentix::records {

bool MakeHistoryFilter(const HistoryEntries& e, RecordFilter& filter, std::string& problem) {
  RecordFilter f;
  f.Serial = e.Serial;
  f.Outcome = e.Outcome;
  for (auto [text, bound] : {std::pair{&e.From, &f.SinceUtc}, std::pair{&e.To, &f.UntilUtc}}) {
    if (text->empty()) continue;
    if (!NormaliseTimeBound(*text, *bound)) {
      problem = FormatText(StringText(3086), {*text});
      return false;
    }
  }
  filter = f;
  return true;
}

const std::vector<int>& HistoryColumnTexts() {
  static const std::vector<int> ids{3087, 3088, 3089, 3090, 3091, 3092, 3093, 3094, 3095, 3096};
  return ids;
}

std::vector<std::string> HistoryCells(const UnitRecord& r) {
  return {r.StartedUtc.substr(0, 19),
          r.Station,
          r.DriveLetter + "(" + std::to_string(r.Lun) + ")",
          r.Serial,
          r.Outcome == "passed" ? StringText(3076) : StringText(3077),
          r.ResultText,
          r.ChipType,
          r.PackageName,
          BurnSecondsText(r),
          r.DuplicateSerial ? StringText(3096) : ""};
}

bool ExportHistoryCsv(const std::vector<UnitRecord>& records, const std::filesystem::path& file, std::string& error) {
  return WriteFileAtomically(file, RecordsCsv(records), &error);
}

std::string RecordsLineText(int64_t passed, int64_t failed, int64_t duplicates) {
  if (passed + failed == 0) return StringText(3083);
  char yield[32];
  std::snprintf(yield, sizeof yield, "%.1f%%", 100.0 * double(passed) / double(passed + failed));
  return FormatText(StringText(3082),
                    {yield, std::to_string(passed), std::to_string(passed + failed), std::to_string(duplicates)});
}

std::string RecordsWaitingText(size_t waiting) {
  return waiting == 0 ? std::string() : FormatText(StringText(3084), {std::to_string(waiting)});
}

}  // namespace ardentix::records
