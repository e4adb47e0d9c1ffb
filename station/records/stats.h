#pragma once
// The figures of `records stats`, computed from records in memory so the
// same code serves the local file and the line's database.
//
// A unit is a serial (a record with no serial is a unit of its own). A unit
// counts in the yield of a group when it passed in that group, and in the
// first-pass yield when its very first record (over all records given) is in
// that group and passed. So a device that failed on E and passed on F lowers
// E's yield, raises F's yield, and is first-pass nowhere.
#include <cstdint>
#include <string>
#include <vector>

#include "records/record.h"

namespace ardentix::records {

struct YieldRow {
  std::string Key;         // the day ("2026-12-10"), chip type or drive letter; "all" for the total
  int64_t Records = 0;     // attempts
  int64_t Units = 0;       // distinct units
  int64_t Passed = 0;      // units that passed
  int64_t FirstPass = 0;   // units that passed at their first attempt
  double Yield() const { return Units ? double(Passed) / double(Units) : 0.0; }
  double FirstPassYield() const { return Units ? double(FirstPass) / double(Units) : 0.0; }
};

struct StageTimes {
  std::string Stage;       // "sd write", "sd verify", "flash erase", "flash write", "flash verify"
  int64_t Count = 0;       // records in which the stage ran (seconds > 0)
  double MeanSeconds = 0;
  double P95Seconds = 0;   // nearest rank
};

struct DuplicateSerial {
  std::string Serial;
  std::vector<std::string> Locations;  // the distinct locations it passed on, in first-seen order
};

struct RecordStats {
  YieldRow Total;
  // Units passed per hour of burning: the passed units over the hours of
  // each day from its first start to its last end (0 with no such time).
  double UnitsPerHour = 0;
  double BurningHours = 0;
  std::vector<YieldRow> PerDay;        // by UTC day of the record's start, ascending
  std::vector<YieldRow> PerChipType;   // by chip type, ascending ("" for unknown)
  std::vector<YieldRow> PerDriveLetter;
  std::vector<StageTimes> Stages;      // always the five stages, in burn order
  std::vector<DuplicateSerial> Duplicates;  // serials passed on two or more locations, by serial
};

// Milliseconds since 1970 of "2026-12-10T14:03:07.123Z" (the fraction and
// the Z optional); -1 for a text that is not such a time.
int64_t UtcMs(const std::string& text);

// Records in start order, as RecordSource::Find gives them.
RecordStats ComputeStats(const std::vector<UnitRecord>& records);

}  // namespace ardentix::records
