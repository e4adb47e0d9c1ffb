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

// Days since 1970-01-01 of a proleptic Gregorian date.
int64_t DaysFromCivil(int64_t y, int64_t m, int64_t d) {
  y -= m <= 2;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const int64_t yoe = y - era * 400;
  const int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + doe - 719468;
}

}  // namespace

int64_t UtcMs(const std::string& t) {
  auto digits = [&](size_t at, size_t n, int64_t& out) {
    if (at + n > t.size()) return false;
    out = 0;
    for (size_t i = at; i < at + n; ++i) {
      if (t[i] < '0' || t[i] > '9') return false;
      out = out * 10 + (t[i] - '0');
    }
    return true;
  };
  int64_t y, mo, d, h, mi, s, ms = 0;
  if (!digits(0, 4, y) || t.size() < 19 || t[4] != '-' || !digits(5, 2, mo) || t[7] != '-' || !digits(8, 2, d) ||
      (t[10] != 'T' && t[10] != ' ') || !digits(11, 2, h) || t[13] != ':' || !digits(14, 2, mi) || t[16] != ':' ||
      !digits(17, 2, s))
    return -1;
  if (mo < 1 || mo > 12 || d < 1 || d > 31 || h > 23 || mi > 59 || s > 60) return -1;
  if (t.size() > 19 && t[19] == '.' && !digits(20, 3, ms)) return -1;
  return ((DaysFromCivil(y, mo, d) * 24 + h) * 60 + mi) * 60000 + s * 1000 + ms;
}

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
  std::map<std::string, std::pair<int64_t, int64_t>> burning;  // day -> first start, last end
  for (size_t i = 0; i < records.size(); ++i) {
    const UnitRecord& r = records[i];
    const int64_t started = UtcMs(r.StartedUtc), ended = UtcMs(r.EndedUtc);
    if (started >= 0 && ended >= started) {
      auto [span, fresh] = burning.emplace(r.StartedUtc.substr(0, 10), std::pair{started, ended});
      if (!fresh) span->second = {std::min(span->second.first, started), std::max(span->second.second, ended)};
    }
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
  int64_t burningMs = 0;
  for (const auto& [day, span] : burning) burningMs += span.second - span.first;
  stats.BurningHours = double(burningMs) / 3'600'000.0;
  if (burningMs > 0) stats.UnitsPerHour = double(stats.Total.Passed) / stats.BurningHours;
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
