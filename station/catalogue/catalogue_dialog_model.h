// The catalogue dialog without its window: the table the operator edits, its
// Add, Del, AutoAdd and close. The Qt dialog draws Rows() and forwards button
// presses and cell edits here; everything it must decide is decided here.
//
// The table is a working copy: the catalogue changes only when the rows are
// rebuilt into it (Del, Close). Rebuilding goes through SpiCatalogue::Rebuild,
// which swaps in a new list, so a reader never sees half a catalogue; still,
// the dialog is not to be opened while a burn runs (CanOpen), so a burn
// checks every device against one and the same catalogue.
#pragma once

#include <array>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "catalogue/spi_catalogue.h"

namespace ardentix {

class MessageSink;
class StatusRows;

// Display columns. Freq comes before Remark here, the other way round from
// the file; every transfer maps them by field.
enum CatalogueColumn : int {
  kCatalogueNo = 0,
  kCatalogueType = 1,
  kCatalogueId = 2,
  kCatalogueLen = 3,
  kCatalogueFreq = 4,
  kCatalogueRemark = 5,
};
inline constexpr int kCatalogueColumnCount = 6;
using CatalogueRow = std::array<std::string, kCatalogueColumnCount>;

struct CatalogueColumnInfo {
  const char* header;
  int widthPixels;
  bool centred;  // else left-aligned
};
const std::array<CatalogueColumnInfo, kCatalogueColumnCount>& CatalogueColumns();

namespace text {
inline constexpr const char* kNoDeviceConnected = "没有连接有效设备!";
inline constexpr const char* kNewChipType = "NewType";
inline constexpr const char* kNewChipSize = "NewSize";
inline constexpr const char* kNewChipRemark = "NewRemark";
inline constexpr const char* kNoNewChip = "no new SPI FLASH to add!";
}  // namespace text

class CatalogueDialogModel {
 public:
  explicit CatalogueDialogModel(SpiCatalogue& catalogue) : catalogue_(catalogue) {}

  // The "SPI list" button is usable only while no burn runs: the workers
  // look chips up in the catalogue that the dialog rebuilds.
  static bool CanOpen(bool burnRunning) { return !burnRunning; }

  // Dialog initialisation: reload the catalogue from its file, then fill the
  // rows. False when the file is there but cannot be read, with the text to
  // show the operator in `problem`: the rows are then the catalogue the
  // station already had, and closing will not write the file, whose rows
  // are unknown. A missing file is no problem: the table starts empty.
  bool Open(std::string* problem = nullptr);
  // The rows from the catalogue's entries (replacing all rows).
  void FillFromCatalogue();
  // The catalogue from the rows; each entry's No becomes its index from 0.
  void RebuildCatalogue();

  int RowCount() const { return int(rows_.size()); }
  const std::vector<CatalogueRow>& Rows() const { return rows_; }
  // "" outside the table.
  std::string Cell(int row, int column) const;
  // Stores an edited cell. Tabs and line breaks are stripped, as the file
  // cannot hold them; the result is the text now in the cell (the view
  // shows it in place of what was typed), or nullopt outside the table.
  std::optional<std::string> SetCell(int row, int column, std::string_view text);

  // "Add": an empty row whose No is the new row count. Returns its index.
  int Add();
  // "Del": deletes the row of the selection mark when there is one in the
  // table (-1: none), then rebuilds the catalogue either way. The rows left
  // keep the numbers they show; the file is numbered afresh on saving.
  void Delete(int selectionMark);

  // Closing, whichever way: rebuild the catalogue and save it. False, with
  // the reason in `error`, when the file could not be written, or was not
  // because Open could not read it; the catalogue in memory holds the rows
  // even then.
  bool Close(std::string* error = nullptr);
  // Whether Close writes the file (Open could read it, or it was missing).
  bool WillSave() const { return unreadable_.empty(); }

  // --- AutoAdd ------------------------------------------------------------
  // The whole button: "no device" message, reading the ids of the listed
  // devices, the report with OK and Cancel, and on OK the new rows and the
  // closing message. Returns the number of rows added. The steps are public
  // as well for a front end that wants to run them itself.
  int AutoAdd(const StatusRows& deviceRows, MessageSink& messages);

  struct AutoAddReading {
    bool noDevices = false;        // the device list has no rows: show kNoDeviceConnected and stop
    std::vector<std::string> ids;  // FlashIdText of each device that opened, in list order
    std::string report;            // the question: one line per device, then string 1051
  };
  static AutoAddReading ReadForAutoAdd(const StatusRows& deviceRows);
  // Appends a row for each id that is neither blank ("00000000", "00FFFFFF",
  // "FFFFFFFF") nor already in column 2 (compared upper case, rows added here
  // included). Returns the number of rows added.
  int AppendNewIds(const std::vector<std::string>& ids);
  static std::string AutoAddDoneMessage(int added);

 private:
  SpiCatalogue& catalogue_;
  std::vector<CatalogueRow> rows_;
  std::string unreadable_;  // why Open could not read the file; empty when it could
};

}  // namespace ardentix
