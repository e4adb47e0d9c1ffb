#pragma once
// What the window's History view does, without the window: the operator's
// filter entries checked and turned into a selection, the rows' cells, the
// CSV export, and the records' line beside the counters. Texts are English
// table texts; the window translates them.
#include <filesystem>
#include <string>
#include <vector>

#include "records/record.h"

namespace ardentix::records {

struct HistoryEntries {
  std::string Serial;
  std::string Outcome;  // "", "passed" or "failed"
  std::string From;     // UTC times as typed; "" for no bound
  std::string To;
};

// False with the operator's message when a time is not one.
bool MakeHistoryFilter(const HistoryEntries& entries, RecordFilter& filter, std::string& problem);

// The string ids of the view's column titles, and one record's cells.
const std::vector<int>& HistoryColumnTexts();
std::vector<std::string> HistoryCells(const UnitRecord& record);

// Writes the records as CSV, replacing the file whole. False with `error`.
bool ExportHistoryCsv(const std::vector<UnitRecord>& records, const std::filesystem::path& file, std::string& error);

// The line beside the counters: the records of this session, and how many
// wait to be written ("" when none).
std::string RecordsLineText(int64_t passed, int64_t failed, int64_t duplicates);
std::string RecordsWaitingText(size_t waiting);

}  // namespace ardentix::records
