#include "records/stats.h"

#include <algorithm>
#include <cmath>
#include <functional>
#include <map>
#include <set>

namespace ardentix::records {
namespace {

// A unit's key: its serial, or the record's own id when it has none.
std::string UnitKey(const UnitRecord& r) { return r.Serial.empty() ? "#" + r.Id : "s" + r.Serial; }

struct Group {
  int64_t records = 0;
  std::set<std::string> units, passed, firstPass;
};

YieldRow RowOf(const std::string& key, const Group& g) {
  YieldRow row;
  row.Key = key;
  row.Records = g.records;
  row.Units = int64_t(g.units.size());
  row.Passed = int64_t(g.passed.size());
  row.FirstPass = int64_t(g.firstPass.size());
  return row;
}

std::vector<YieldRow> Rows(const std::map<std::string, Group>& groups) {
  std::vector<YieldRow> rows;
  for (const auto& [key, g] : groups) rows.push_back(RowOf(key, g));
  return rows;
}

StageTimes Times(const char* stage, std::vector<double> seconds) {
  StageTimes t;
  t.Stage = stage;
  t.Count = int64_t(seconds.size());
  if (seconds.empty()) return t;
  double sum = 0;
  for (double s : seconds) sum += s;
  t.MeanSeconds = sum / double(seconds.size());
  std::sort(seconds.begin(), seconds.end());
  // Nearest rank: the smallest value with at least 95 % of the values at or below it.
  size_t rank = size_t(std::ceil(0.95 * double(seconds.size())));
  t.P95Seconds = seconds[std::max<size_t>(rank, 1) - 1];
  return t;
}

}  // namespace

RecordStats ComputeStats(const std::vector<UnitRecord>& records) {
  // The first record of each unit: the earliest start (ties: the order given).
  std::map<std::string, size_t> first;
  for (size_t i = 0; i < records.size(); ++i) {
    auto [it, added] = first.emplace(UnitKey(records[i]), i);
    if (!added && records[i].StartedUtc < records[it->second].StartedUtc) it->second = i;
  }

  Group total;
  std::map<std::string, Group> days, chips, letters;
  std::vector<double> stage[5];
  std::map<std::string, std::vector<std::string>> passedOn;  // serial -> locations
  for (size_t i = 0; i < records.size(); ++i) {
    const UnitRecord& r = records[i];
    const std::string unit = UnitKey(r);
    const bool passed = r.Outcome == "passed";
    const bool firstPass = passed && first[unit] == i;
    for (Group* g : {&total, &days[r.StartedUtc.substr(0, 10)], &chips[r.ChipType], &letters[r.DriveLetter]}) {
      ++g->records;
      g->units.insert(unit);
      if (passed) g->passed.insert(unit);
      if (firstPass) g->firstPass.insert(unit);
    }
    const double seconds[5] = {r.SdWriteSeconds, r.SdVerifySeconds, r.FlashEraseSeconds, r.FlashWriteSeconds,
                               r.FlashVerifySeconds};
    for (int s = 0; s < 5; ++s)
      if (seconds[s] > 0) stage[s].push_back(seconds[s]);
    if (passed && !r.Serial.empty()) {
      auto& locations = passedOn[r.Serial];
      if (std::find(locations.begin(), locations.end(), r.Location) == locations.end())
        locations.push_back(r.Location);
    }
  }

  RecordStats stats;
  stats.Total = RowOf("all", total);
  stats.PerDay = Rows(days);
  stats.PerChipType = Rows(chips);
  stats.PerDriveLetter = Rows(letters);
  const char* names[5] = {"sd write", "sd verify", "flash erase", "flash write", "flash verify"};
  for (int s = 0; s < 5; ++s) stats.Stages.push_back(Times(names[s], std::move(stage[s])));
  for (auto& [serial, locations] : passedOn)
    if (locations.size() > 1) stats.Duplicates.push_back({serial, locations});
  return stats;
}

}  // namespace ardentix::records
