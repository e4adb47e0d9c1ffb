#pragma once
// Records and their figures as text: the records command prints these and
// the window's History view exports the same CSV.
#include <string>
#include <vector>

#include "records/record.h"
#include "records/stats.h"

namespace ardentix::records {

// Every field, one row per record, with a header row. Text that a
// spreadsheet would run as a formula (starting with = + - @) is prefixed
// with an apostrophe.
std::string RecordsCsv(const std::vector<UnitRecord>& records);
// The columns an operator reads, aligned.
std::string RecordsTable(const std::vector<UnitRecord>& records);
// Every field, an array of objects.
std::string RecordsJson(const std::vector<UnitRecord>& records);

// The device's whole burn in seconds ("6.5"), from its start and end; "-"
// when they cannot be read.
std::string BurnSecondsText(const UnitRecord& record);

std::string StatsTable(const RecordStats& stats);
std::string StatsJson(const RecordStats& stats);
// One row per yield group and stage: section,key,records,units,passed,...
std::string StatsCsv(const RecordStats& stats);

// Checks and normalises a --since/--until time: "YYYY-MM-DD", optionally
// followed by "THH", ":MM", ":SS", ".fff" and "Z" (a space may stand for
// "T"). The result compares as text against stored times. False for
// anything else.
bool NormaliseTimeBound(const std::string& text, std::string& bound);

// The records that the History view and `records` select: `filter`'s
// fields (times as NormaliseTimeBound gives them) applied in memory.
bool Matches(const UnitRecord& record, const RecordFilter& filter);

}  // namespace ardentix::records
