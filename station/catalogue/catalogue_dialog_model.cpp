#include "catalogue/catalogue_dialog_model.h"

#include <algorithm>
#include <cstdio>

#include "catalogue/flash_id_report.h"
#include "core/message_sink.h"
#include "core/status_rows.h"
#include "core/strings.h"

namespace ardentix {
namespace {

std::string Upper(std::string s) {
  for (char& c : s)
    if (c >= 'a' && c <= 'z') c = char(c - 'a' + 'A');
  return s;
}

// What a chip that did not answer, or a device without one, reads as.
bool IsBlankId(const std::string& id) { return id == "00000000" || id == "00FFFFFF" || id == "FFFFFFFF"; }

bool InTable(int row, int column, int rowCount) {
  return row >= 0 && row < rowCount && column >= 0 && column < kCatalogueColumnCount;
}

}  // namespace

const std::array<CatalogueColumnInfo, kCatalogueColumnCount>& CatalogueColumns() {
  static const std::array<CatalogueColumnInfo, kCatalogueColumnCount> columns = {{
      {"No", 60, false},
      {"SPI Type", 100, true},
      {"ID", 100, true},
      {"Len(KBytes)", 100, true},
      {"Freq(MHz)", 100, true},
      {"Remark", 100, true},
  }};
  return columns;
}


bool CatalogueDialogModel::Open(std::string* problem) {
  std::string why;
  unreadable_.clear();
  if (catalogue_.Load(&why) == SpiCatalogue::LoadResult::Unreadable) unreadable_ = why.empty() ? "unreadable" : why;
  FillFromCatalogue();
  if (unreadable_.empty()) return true;
  if (problem != nullptr)
    *problem = "SpiList.ini cannot be read (" + unreadable_ + "). The list shows the chips the station knows; "
               "changes made here are not saved, and the file is left as it is.";
  return false;
}

void CatalogueDialogModel::FillFromCatalogue() {
  rows_.clear();
  for (const SpiCatalogueEntry& e : catalogue_.Entries())
    rows_.push_back(CatalogueRow{e.No, e.SpiType, e.Id, e.LenKBytes, e.FreqMHz, e.Remark});
}

void CatalogueDialogModel::RebuildCatalogue() {
  std::vector<SpiCatalogueEntry> entries;
  entries.reserve(rows_.size());
  for (const CatalogueRow& r : rows_) {
    SpiCatalogueEntry e;
    e.SpiType = r[kCatalogueType];
    e.Id = r[kCatalogueId];
    e.LenKBytes = r[kCatalogueLen];
    e.FreqMHz = r[kCatalogueFreq];
    e.Remark = r[kCatalogueRemark];
    entries.push_back(std::move(e));
  }
  catalogue_.Rebuild(std::move(entries));  // numbers No from 0
}

std::string CatalogueDialogModel::Cell(int row, int column) const {
  if (!InTable(row, column, RowCount())) return {};
  return rows_[size_t(row)][size_t(column)];
}

std::optional<std::string> CatalogueDialogModel::SetCell(int row, int column, std::string_view text) {
  if (!InTable(row, column, RowCount())) return std::nullopt;
  std::string clean;
  clean.reserve(text.size());
  for (const char c : text)
    if (c != '\t' && c != '\r' && c != '\n') clean += c;
  rows_[size_t(row)][size_t(column)] = clean;
  return clean;
}

int CatalogueDialogModel::Add() {
  CatalogueRow row;
  row[kCatalogueNo] = std::to_string(rows_.size() + 1);
  rows_.push_back(std::move(row));
  return RowCount() - 1;
}

void CatalogueDialogModel::Delete(int selectionMark) {
  if (selectionMark >= 0 && selectionMark < RowCount()) rows_.erase(rows_.begin() + selectionMark);
  RebuildCatalogue();
}

bool CatalogueDialogModel::Close(std::string* error) {
  RebuildCatalogue();
  // Saving now would put the table in place of rows nobody has seen.
  if (!unreadable_.empty()) {
    if (error != nullptr) *error = "it could not be read when the list was opened (" + unreadable_ + ")";
    return false;
  }
  return catalogue_.Save(error);
}

CatalogueDialogModel::AutoAddReading CatalogueDialogModel::ReadForAutoAdd(const StatusRows& deviceRows) {
  AutoAddReading reading;
  if (deviceRows.Count() == 0) {
    reading.noDevices = true;
    return reading;
  }
  const std::vector<FlashIdReading> ids = ReadFlashIds(ListedDriveLetters(deviceRows));
  for (const FlashIdReading& r : ids) reading.ids.push_back(r.idText);
  reading.report = FlashIdReportText(ids) + StringText(1051);
  return reading;
}

int CatalogueDialogModel::AppendNewIds(const std::vector<std::string>& ids) {
  int added = 0;
  for (const std::string& id : ids) {
    if (IsBlankId(id)) continue;
    const std::string key = Upper(id);
    // Rows appended by this loop count too: two devices with one new chip add one row.
    const bool known = std::any_of(rows_.begin(), rows_.end(),
                                   [&key](const CatalogueRow& r) { return Upper(r[kCatalogueId]) == key; });
    if (known) continue;
    CatalogueRow row;
    row[kCatalogueNo] = std::to_string(rows_.size() + 1);
    row[kCatalogueType] = text::kNewChipType;
    row[kCatalogueId] = id;
    row[kCatalogueLen] = text::kNewChipSize;
    row[kCatalogueRemark] = text::kNewChipRemark;
    rows_.push_back(std::move(row));
    ++added;
  }
  return added;
}

std::string CatalogueDialogModel::AutoAddDoneMessage(int added) {
  if (added == 0) return text::kNoNewChip;
  char message[96];
  std::snprintf(message, sizeof message, "new Add %d SPI Flash, plz modify the size and type and remark", added);
  return message;
}

int CatalogueDialogModel::AutoAdd(const StatusRows& deviceRows, MessageSink& messages) {
  const AutoAddReading reading = ReadForAutoAdd(deviceRows);
  if (reading.noDevices) {
    messages.ShowMessage(text::kNoDeviceConnected, text::kProgramCaption);
    return 0;
  }
  if (!messages.AskOkCancel(reading.report, FlashIdReportTitle())) return 0;
  const int added = AppendNewIds(reading.ids);
  messages.ShowMessage(AutoAddDoneMessage(added), text::kProgramCaption);
  return added;
}

}  // namespace ardentix
