// The figures of `records stats` on a small line history whose answers are
// worked out by hand.
#include <gtest/gtest.h>

#include "records/stats.h"
#include "records_fixture.h"

namespace ardentix::records {
namespace {

UnitRecord At(const std::string& started, const std::string& serial, const std::string& letter,
              const std::string& location, const std::string& outcome, const std::string& chip, double sdWrite) {
  static int n = 0;
  UnitRecord r = testing::SampleRecord(++n, serial, outcome);
  r.StartedUtc = started;
  r.DriveLetter = letter;
  r.Location = location;
  r.ChipType = chip;
  r.SdWriteSeconds = sdWrite;
  return r;
}

std::string Row(const YieldRow& r) {
  return r.Key + " records=" + std::to_string(r.Records) + " units=" + std::to_string(r.Units) +
         " passed=" + std::to_string(r.Passed) + " first=" + std::to_string(r.FirstPass);
}

std::vector<std::string> Rows(const std::vector<YieldRow>& rows) {
  std::vector<std::string> out;
  for (const auto& r : rows) out.push_back(Row(r));
  return out;
}

// A passes first time on E, and again later on G (a duplicate); B fails on F
// and passes on G; C fails twice on F.
std::vector<UnitRecord> History() {
  return {At("2026-12-09T10:00:00.000Z", "A", "E", "loc1", "passed", "W25Q128", 1),
          At("2026-12-09T11:00:00.000Z", "B", "F", "loc2", "failed", "W25Q128", 2),
          At("2026-12-10T09:00:00.000Z", "B", "G", "loc3", "passed", "W25Q128", 3),
          At("2026-12-10T10:00:00.000Z", "C", "F", "loc2", "failed", "MX25L", 0),
          At("2026-12-10T10:30:00.000Z", "C", "F", "loc2", "failed", "MX25L", 0),
          At("2026-12-10T11:00:00.000Z", "A", "G", "loc3", "passed", "W25Q128", 4)};
}

TEST(RecordStats, YieldCountsUnitsAndFirstPassOnlyTheirFirstAttempt) {
  const RecordStats s = ComputeStats(History());
  EXPECT_EQ(Row(s.Total), "all records=6 units=3 passed=2 first=1");
  EXPECT_NEAR(s.Total.Yield(), 2.0 / 3, 1e-9);
  EXPECT_NEAR(s.Total.FirstPassYield(), 1.0 / 3, 1e-9);
  // B failed on the 9th and passed on the 10th: in the 10th's yield, in no first pass.
  EXPECT_EQ(Rows(s.PerDay), (std::vector<std::string>{"2026-12-09 records=2 units=2 passed=1 first=1",
                                                     "2026-12-10 records=4 units=3 passed=2 first=0"}));
  EXPECT_EQ(Rows(s.PerChipType), (std::vector<std::string>{"MX25L records=2 units=1 passed=0 first=0",
                                                          "W25Q128 records=4 units=2 passed=2 first=1"}));
  // F never passes anything: the bad port shows.
  EXPECT_EQ(Rows(s.PerDriveLetter), (std::vector<std::string>{"E records=1 units=1 passed=1 first=1",
                                                             "F records=3 units=2 passed=0 first=0",
                                                             "G records=2 units=2 passed=2 first=0"}));
}

TEST(RecordStats, FirstPassFollowsStartTimeNotListOrder) {
  // The passed attempt is listed first but started later.
  auto records = std::vector<UnitRecord>{At("2026-12-10T12:00:00.000Z", "B", "E", "l", "passed", "X", 1),
                                         At("2026-12-10T08:00:00.000Z", "B", "E", "l", "failed", "X", 1)};
  EXPECT_EQ(ComputeStats(records).Total.FirstPass, 0);
}

TEST(RecordStats, RecordsWithoutSerialAreUnitsOfTheirOwn) {
  auto records = std::vector<UnitRecord>{At("2026-12-10T08:00:00.000Z", "A", "E", "l", "failed", "X", 1),
                                         At("2026-12-10T09:00:00.000Z", "A", "E", "l", "failed", "X", 1)};
  for (auto& r : records) r.Serial.clear();
  EXPECT_EQ(Row(ComputeStats(records).Total), "all records=2 units=2 passed=0 first=0");
}

TEST(RecordStats, StageTimesSkipStagesThatDidNotRun) {
  const RecordStats s = ComputeStats(History());
  ASSERT_EQ(s.Stages.size(), 5u);
  EXPECT_EQ(s.Stages[0].Stage, "sd write");
  EXPECT_EQ(s.Stages[0].Count, 4);  // the two records of C had no SD stage
  EXPECT_DOUBLE_EQ(s.Stages[0].MeanSeconds, 2.5);
  EXPECT_DOUBLE_EQ(s.Stages[0].P95Seconds, 4);

  // Nearest rank: of 1..20 seconds the 19th value; of one value, that value.
  std::vector<UnitRecord> twenty;
  for (int i = 1; i <= 20; ++i) twenty.push_back(At("2026-12-10T08:00:00.000Z", "", "E", "l", "passed", "X", i));
  const StageTimes t = ComputeStats(twenty).Stages[0];
  EXPECT_DOUBLE_EQ(t.MeanSeconds, 10.5);
  EXPECT_DOUBLE_EQ(t.P95Seconds, 19);
  EXPECT_DOUBLE_EQ(ComputeStats({twenty[6]}).Stages[0].P95Seconds, 7);
  EXPECT_EQ(ComputeStats({}).Stages[4].Count, 0);
}

TEST(RecordStats, DuplicatesAreSerialsPassedOnTwoLocations) {
  const RecordStats s = ComputeStats(History());
  ASSERT_EQ(s.Duplicates.size(), 1u);
  EXPECT_EQ(s.Duplicates[0].Serial, "A");
  EXPECT_EQ(s.Duplicates[0].Locations, (std::vector<std::string>{"loc1", "loc3"}));
}

}  // namespace
}  // namespace ardentix::records

namespace ardentix::records {
namespace {

TEST(RecordStats, UnitsPerHourOverEachDaysBurningTime) {
  struct Burn {
    const char* started;
    const char* ended;
    const char* serial;
    const char* outcome;
  };
  struct Case {
    const char* name;
    std::vector<Burn> burns;
    double unitsPerHour, hours;
  };
  const Case cases[] = {
      {"no records", {}, 0, 0},
      {"three passed in half an hour",
       {{"2026-12-10T08:00:00.000Z", "2026-12-10T08:01:00.000Z", "A", "passed"},
        {"2026-12-10T08:10:00.000Z", "2026-12-10T08:11:00.000Z", "B", "passed"},
        {"2026-12-10T08:29:00.000Z", "2026-12-10T08:30:00.000Z", "C", "passed"}},
       6, 0.5},
      {"a failure takes time but is no unit",
       {{"2026-12-10T08:00:00.000Z", "2026-12-10T08:30:00.000Z", "A", "passed"},
        {"2026-12-10T08:30:00.000Z", "2026-12-10T09:00:00.000Z", "B", "failed"}},
       1, 1},
      {"the night between two days does not count",
       {{"2026-12-09T16:00:00.000Z", "2026-12-09T17:00:00.000Z", "A", "passed"},
        {"2026-12-10T08:00:00Z", "2026-12-10T09:00:00Z", "B", "passed"}},
       1, 2},
      {"a time that cannot be read is left out",
       {{"yesterday", "2026-12-10T09:00:00.000Z", "A", "passed"}}, 0, 0},
  };
  for (const Case& tc : cases) {
    SCOPED_TRACE(tc.name);
    std::vector<UnitRecord> records;
    int n = 0;
    for (const Burn& b : tc.burns) {
      UnitRecord r = testing::SampleRecord(++n, b.serial, b.outcome);
      r.StartedUtc = b.started;
      r.EndedUtc = b.ended;
      records.push_back(r);
    }
    const RecordStats s = ComputeStats(records);
    EXPECT_DOUBLE_EQ(s.UnitsPerHour, tc.unitsPerHour);
    EXPECT_DOUBLE_EQ(s.BurningHours, tc.hours);
  }
}

TEST(RecordStats, UtcTimesOfRecords) {
  const std::pair<const char*, int64_t> cases[] = {
      {"1970-01-01T00:00:00.000Z", 0},
      {"1970-01-01T00:00:01Z", 1000},
      {"2026-12-10T14:03:07.123Z", 1796911387123},
      {"2024-02-29 00:00:00", 1709164800000},
      {"2026-13-01T00:00:00Z", -1},
      {"2026-12-10", -1},
      {"", -1},
  };
  for (const auto& [text, ms] : cases) EXPECT_EQ(UtcMs(text), ms) << text;
}

}  // namespace
}  // namespace ardentix::records
