// Records as text: CSV a spreadsheet reads safely, the time bounds the
// command accepts, and the in-memory selection of the History view.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <set>

#include "records/record_fields.h"
#include "records/record_format.h"
#include "records_fixture.h"

namespace ardentix::records {
namespace {

using testing::SampleRecord;

std::vector<std::string> CsvLines(const std::string& csv) {
  std::vector<std::string> lines;
  size_t at = 0;
  while (at < csv.size()) {
    const size_t end = csv.find("\r\n", at);
    lines.push_back(csv.substr(at, end - at));
    at = end + 2;
  }
  return lines;
}

TEST(RecordsCsv, QuotesAndDisarmsTextFromFiles) {
  UnitRecord r = SampleRecord(1);
  r.FirmwareInfo = "=HYPERLINK(\"http://x\",\"click\")";
  r.PackageName = "a,b.vlr";
  r.Location = "-1+2";
  r.ReplacedSections = {"voice", "sysconfig"};
  const auto lines = CsvLines(RecordsCsv({r}));
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0].substr(0, 23), "id,started_utc,ended_ut");
  const std::string& row = lines[1];
  EXPECT_NE(row.find(",\"'=HYPERLINK(\"\"http://x\"\",\"\"click\"\")\","), std::string::npos) << row;
  EXPECT_NE(row.find(",\"a,b.vlr\","), std::string::npos) << row;
  EXPECT_NE(row.find(",'-1+2,"), std::string::npos) << row;
  EXPECT_NE(row.find(",DEADBEEF,"), std::string::npos) << row;
  EXPECT_NE(row.find(",voice sysconfig,"), std::string::npos) << row;
  // Every line has the header's number of cells (the quoted comma is one cell).
  const auto cells = [](const std::string& line) {
    size_t n = 1;
    bool quoted = false;
    for (char c : line) {
      if (c == '"') quoted = !quoted;
      if (c == ',' && !quoted) ++n;
    }
    return n;
  };
  EXPECT_EQ(cells(lines[1]), cells(lines[0]));
}

// Rows added to the field table later must not take a name or key already
// used: the column would be written twice, the JSON key overwritten.
TEST(RecordFields, NamesAndJsonKeysAreUnique) {
  std::set<std::string> names, keys;
  for (const RecordField& f : RecordFields()) {
    EXPECT_TRUE(names.insert(f.name).second) << f.name;
    EXPECT_TRUE(keys.insert(f.json).second) << f.json;
    if (f.firstLocalName) EXPECT_TRUE(names.insert(f.firstLocalName).second) << f.firstLocalName;
  }
  EXPECT_EQ(std::string(RecordFields().front().name), "id");
}

TEST(RecordsJson, HoldsEveryField) {
  UnitRecord r = SampleRecord(1);
  r.DuplicateSerial = true;
  const auto j = nlohmann::json::parse(RecordsJson({r}));
  ASSERT_EQ(j.size(), 1u);
  EXPECT_EQ(j[0]["serial"], r.Serial);
  EXPECT_EQ(j[0]["package"]["checksum"], "DEADBEEF");
  EXPECT_EQ(j[0]["package"]["replacedSections"].size(), 2u);
  EXPECT_EQ(j[0]["sdImage"]["size"], 5'000'000'000);
  EXPECT_EQ(j[0]["seconds"]["flashWrite"], 2.0);
  EXPECT_EQ(j[0]["duplicateSerial"], true);
}

TEST(RecordsTable, ShowsTheBurnsDurationAndTheDuplicate) {
  UnitRecord r = SampleRecord(1);  // 08:00:01 to 08:01:00
  r.DuplicateSerial = true;
  const std::string table = RecordsTable({r});
  EXPECT_NE(table.find("  59.0 "), std::string::npos) << table;
  EXPECT_NE(table.find("  duplicate serial\n"), std::string::npos) << table;
  EXPECT_NE(table.find("\n1 record(s)\n"), std::string::npos) << table;
}

TEST(TimeBounds, AcceptOnlyTimesThatCompareAsStored) {
  struct Case {
    std::string text;
    bool ok;
    std::string bound;
  };
  const Case cases[] = {
      {"2026-12-10", true, "2026-12-10"},
      {"2026-12-10T14", true, "2026-12-10T14"},
      {"2026-12-10 14:30", true, "2026-12-10T14:30"},
      {"2026-12-10T14:30:05Z", true, "2026-12-10T14:30:05"},
      {"2026-12-10T14:30:05.5", true, "2026-12-10T14:30:05.5"},
      {"2026-12", false, ""},
      {"10.12.2026", false, ""},
      {"2026-12-10T1", false, ""},
      {"2026-12-10T14:3x", false, ""},
      {"2026-12-10T14:30:05.", false, ""},
      {"2026-12-10x", false, ""},
      {"", false, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    std::string bound;
    EXPECT_EQ(NormaliseTimeBound(c.text, bound), c.ok);
    if (c.ok) EXPECT_EQ(bound, c.bound);
  }
  // A bound of a whole second includes that second's records.
  std::string since;
  ASSERT_TRUE(NormaliseTimeBound("2026-12-10T08:00:01Z", since));
  EXPECT_TRUE(Matches(SampleRecord(1), RecordFilter{since, "", "", "", ""}));
  EXPECT_FALSE(Matches(SampleRecord(1), RecordFilter{"", since, "", "", ""}));
}

TEST(Matches, EveryFilterFieldSelects) {
  const UnitRecord r = SampleRecord(1, "000000012345", "failed");
  struct Case {
    RecordFilter filter;
    bool match;
  };
  const Case cases[] = {
      {{}, true},
      {{"", "", "000000012345", "", ""}, true},
      {{"", "", "000000012346", "", ""}, false},
      {{"", "", "", "failed", ""}, true},
      {{"", "", "", "passed", ""}, false},
      {{"", "", "", "", "ST2"}, false},
      {{"2026-12-11", "", "", "", ""}, false},
      {{"", "2026-12-11", "", "", "ST1"}, true},
  };
  for (const Case& c : cases) EXPECT_EQ(Matches(r, c.filter), c.match);
}

}  // namespace
}  // namespace ardentix::records
