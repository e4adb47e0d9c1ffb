#include "records/record_format.h"

#include "records/record_fields.h"

#include <chrono>
#include <cstdio>
#include <iomanip>
#include <nlohmann/json.hpp>
#include <sstream>

namespace ardentix::records {
namespace {

std::string Number(double v, int decimals) {
  char text[64];
  std::snprintf(text, sizeof text, "%.*f", decimals, v);
  return text;
}

std::string Percent(double fraction) { return Number(fraction * 100, 1) + " %"; }

std::string CsvText(const std::string& s) {
  std::string v = s;
  if (!v.empty() && (v[0] == '=' || v[0] == '+' || v[0] == '-' || v[0] == '@' || v[0] == '\t' || v[0] == '\r'))
    v.insert(v.begin(), '\'');
  if (v.find_first_of(",\"\r\n") == std::string::npos) return v;
  std::string q = "\"";
  for (char c : v) {
    if (c == '"') q += '"';
    q += c;
  }
  return q + "\"";
}

std::string Joined(const std::vector<std::string>& parts, const char* separator) {
  std::string s;
  for (size_t i = 0; i < parts.size(); ++i) s += (i ? separator : "") + parts[i];
  return s;
}

std::string Hex8(uint32_t v) {
  char text[16];
  std::snprintf(text, sizeof text, "%08X", v);
  return text;
}

}  // namespace

std::string BurnSecondsText(const UnitRecord& r) {
  const int64_t a = UtcMs(r.StartedUtc), b = UtcMs(r.EndedUtc);
  return a < 0 || b < a ? "-" : Number(double(b - a) / 1000.0, 1);
}

namespace {

// Aligned columns; the last one is not padded.
std::string Table(const std::vector<std::string>& header, const std::vector<std::vector<std::string>>& rows) {
  std::vector<size_t> width(header.size());
  for (size_t c = 0; c < header.size(); ++c) width[c] = header[c].size();
  for (const auto& row : rows)
    for (size_t c = 0; c < row.size() && c < width.size(); ++c) width[c] = std::max(width[c], row[c].size());
  std::ostringstream out;
  auto line = [&](const std::vector<std::string>& cells) {
    std::string text;
    for (size_t c = 0; c < cells.size(); ++c) {
      text += cells[c];
      if (c + 1 < cells.size()) text += std::string(width[c] - cells[c].size() + 2, ' ');
    }
    text.erase(text.find_last_not_of(' ') + 1);
    out << text << "\n";
  };
  line(header);
  for (const auto& row : rows) line(row);
  return out.str();
}

nlohmann::json RecordJson(const UnitRecord& r) {
  using R = UnitRecord;
  nlohmann::json out = nlohmann::json::object();
  for (const RecordField& f : RecordFields()) {
    nlohmann::json* at = &out;
    std::string path = f.json;
    for (size_t dot; (dot = path.find('.')) != std::string::npos; path.erase(0, dot + 1))
      at = &(*at)[path.substr(0, dot)];
    (*at)[path] = std::visit(Overloaded{[&](uint32_t R::*m) { return nlohmann::json(Hex8(r.*m)); },
                                        [&](auto m) { return nlohmann::json(r.*m); }},
                             f.member);
  }
  return out;
}

std::string CsvCell(const RecordField& f, const UnitRecord& r) {
  using R = UnitRecord;
  return std::visit(Overloaded{[&](std::string R::*m) { return CsvText(r.*m); },
                               [&](int32_t R::*m) { return std::to_string(r.*m); },
                               [&](int64_t R::*m) { return std::to_string(r.*m); },
                               [&](uint32_t R::*m) { return Hex8(r.*m); },
                               [&](double R::*m) { return Number(r.*m, 3); },
                               [&](bool R::*m) { return std::string(r.*m ? "1" : "0"); },
                               [&](std::vector<std::string> R::*m) { return CsvText(Joined(r.*m, " ")); }},
                    f.member);
}

nlohmann::json YieldJson(const YieldRow& r) {
  return {{"key", r.Key},           {"records", r.Records},          {"units", r.Units},
          {"passed", r.Passed},     {"firstPass", r.FirstPass},      {"yield", r.Yield()},
          {"firstPassYield", r.FirstPassYield()}};
}

std::vector<std::string> YieldCells(const YieldRow& r) {
  return {r.Key.empty() ? "-" : r.Key,  std::to_string(r.Records),  std::to_string(r.Units), std::to_string(r.Passed),
          Percent(r.Yield()),           Percent(r.FirstPassYield())};
}

bool Digits(const std::string& s, size_t at, size_t n) {
  if (at + n > s.size()) return false;
  for (size_t i = at; i < at + n; ++i)
    if (s[i] < '0' || s[i] > '9') return false;
  return true;
}

}  // namespace

std::string RecordsCsv(const std::vector<UnitRecord>& records) {
  const auto& fields = RecordFields();
  std::string out;
  for (size_t i = 0; i < fields.size(); ++i) out += (i ? "," : "") + std::string(fields[i].name);
  out += "\r\n";
  for (const UnitRecord& r : records) {
    for (size_t i = 0; i < fields.size(); ++i) out += (i ? "," : "") + CsvCell(fields[i], r);
    out += "\r\n";
  }
  return out;
}

std::string RecordsTable(const std::vector<UnitRecord>& records) {
  std::vector<std::vector<std::string>> rows;
  for (const UnitRecord& r : records)
    rows.push_back({r.StartedUtc.substr(0, 19), r.Station, r.DriveLetter + "(" + std::to_string(r.Lun) + ")",
                    r.Serial.empty() ? "-" : r.Serial, r.Outcome, r.ResultText, r.ChipType.empty() ? "-" : r.ChipType,
                    r.PackageName.empty() ? "-" : r.PackageName, BurnSecondsText(r),
                    r.DuplicateSerial ? "duplicate serial" : ""});
  return Table({"Started (UTC)", "Station", "Drive", "Serial", "Outcome", "Result", "Chip", "Package", "Seconds", ""},
               rows) +
         std::to_string(records.size()) + " record(s)\n";
}

std::string RecordsJson(const std::vector<UnitRecord>& records) {
  nlohmann::json all = nlohmann::json::array();
  for (const UnitRecord& r : records) all.push_back(RecordJson(r));
  return all.dump(2) + "\n";
}

std::string StatsTable(const RecordStats& s) {
  std::ostringstream out;
  out << s.Total.Records << " record(s) of " << s.Total.Units << " unit(s): yield " << Percent(s.Total.Yield())
      << ", first-pass yield " << Percent(s.Total.FirstPassYield()) << "\n";
  out << "Units per hour: " << Number(s.UnitsPerHour, 1) << " (" << s.Total.Passed << " passed in "
      << Number(s.BurningHours, 2) << " h of burning)\n";
  const std::vector<std::string> header{"", "Records", "Units", "Passed", "Yield", "First pass"};
  for (const auto& [title, rows] : {std::pair{"Per day", &s.PerDay}, std::pair{"Per chip type", &s.PerChipType},
                                    std::pair{"Per drive letter", &s.PerDriveLetter}}) {
    std::vector<std::vector<std::string>> cells;
    for (const auto& r : *rows) cells.push_back(YieldCells(r));
    auto h = header;
    h[0] = title;
    out << "\n" << Table(h, cells);
  }
  std::vector<std::vector<std::string>> stages;
  for (const auto& t : s.Stages)
    stages.push_back({t.Stage, std::to_string(t.Count), Number(t.MeanSeconds, 2), Number(t.P95Seconds, 2)});
  out << "\n" << Table({"Stage", "Count", "Mean s", "95th s"}, stages);
  out << "\nDuplicate serials: " << s.Duplicates.size() << "\n";
  for (const auto& d : s.Duplicates) out << "  " << d.Serial << " passed on " << Joined(d.Locations, ", ") << "\n";
  return out.str();
}

std::string StatsJson(const RecordStats& s) {
  auto rows = [](const std::vector<YieldRow>& in) {
    nlohmann::json a = nlohmann::json::array();
    for (const auto& r : in) a.push_back(YieldJson(r));
    return a;
  };
  nlohmann::json stages = nlohmann::json::array();
  for (const auto& t : s.Stages)
    stages.push_back({{"stage", t.Stage}, {"count", t.Count}, {"meanSeconds", t.MeanSeconds},
                      {"p95Seconds", t.P95Seconds}});
  nlohmann::json duplicates = nlohmann::json::array();
  for (const auto& d : s.Duplicates) duplicates.push_back({{"serial", d.Serial}, {"locations", d.Locations}});
  return nlohmann::json{{"total", YieldJson(s.Total)},      {"unitsPerHour", s.UnitsPerHour},
                        {"burningHours", s.BurningHours},    {"perDay", rows(s.PerDay)},
                        {"perChipType", rows(s.PerChipType)}, {"perDriveLetter", rows(s.PerDriveLetter)},
                        {"stages", stages},                  {"duplicateSerials", duplicates}}
             .dump(2) +
         "\n";
}

std::string StatsCsv(const RecordStats& s) {
  std::string out = "section,key,records,units,passed,first_pass,yield,first_pass_yield,count,mean_s,p95_s\r\n";
  auto yield = [&](const char* section, const YieldRow& r) {
    out += std::string(section) + "," + CsvText(r.Key) + "," + std::to_string(r.Records) + "," +
           std::to_string(r.Units) + "," + std::to_string(r.Passed) + "," + std::to_string(r.FirstPass) + "," +
           Number(r.Yield(), 4) + "," + Number(r.FirstPassYield(), 4) + ",,,\r\n";
  };
  yield("total", s.Total);
  for (const auto& r : s.PerDay) yield("day", r);
  for (const auto& r : s.PerChipType) yield("chip", r);
  for (const auto& r : s.PerDriveLetter) yield("drive", r);
  for (const auto& t : s.Stages)
    out += "stage," + CsvText(t.Stage) + ",,,,,,," + std::to_string(t.Count) + "," + Number(t.MeanSeconds, 3) + "," +
           Number(t.P95Seconds, 3) + "\r\n";
  for (const auto& d : s.Duplicates) out += "duplicate," + CsvText(d.Serial) + ",,,,,,,,,\r\n";
  return out;
}

bool NormaliseTimeBound(const std::string& text, std::string& bound) {
  std::string s = text;
  if (s.size() > 10 && s[10] == ' ') s[10] = 'T';
  if (!s.empty() && (s.back() == 'Z' || s.back() == 'z')) s.pop_back();
  if (!(Digits(s, 0, 4) && s.size() >= 10 && s[4] == '-' && Digits(s, 5, 2) && s[7] == '-' && Digits(s, 8, 2)))
    return false;
  size_t at = 10;
  // Each further part only after the one before it.
  const struct {
    char lead;
    size_t digits;
  } parts[] = {{'T', 2}, {':', 2}, {':', 2}, {'.', 0}};
  for (const auto& p : parts) {
    if (at == s.size()) break;
    if (s[at] != p.lead) return false;
    ++at;
    size_t n = p.digits;
    if (n == 0)
      while (at + n < s.size() && s[at + n] >= '0' && s[at + n] <= '9') ++n;
    if (n == 0 || !Digits(s, at, n)) return false;
    at += n;
  }
  if (at != s.size()) return false;
  bound = s;
  return true;
}

bool Matches(const UnitRecord& r, const RecordFilter& f) {
  if (!f.SinceUtc.empty() && r.StartedUtc < f.SinceUtc) return false;
  if (!f.UntilUtc.empty() && !(r.StartedUtc < f.UntilUtc)) return false;
  if (!f.Serial.empty() && r.Serial != f.Serial) return false;
  if (!f.Outcome.empty() && r.Outcome != f.Outcome) return false;
  if (!f.Station.empty() && r.Station != f.Station) return false;
  return true;
}

}  // namespace ardentix::records
