// The flash ids of the listed devices, read through the device library. One
// reading serves both the main window's "R" report and the reading step of
// the catalogue dialog's AutoAdd, so the two can never disagree.
#pragma once

#include <string>
#include <vector>

namespace ardentix {

class StatusRows;

// The title of the report box ("Read FlashId").
const char* FlashIdReportTitle();

struct FlashIdReading {
  char letter = 0;
  std::string idText;  // FlashIdText; "00000000" when the id read failed
};

// The drive letter of every status row, in row order: the first character of
// the row's column 1. Rows with an empty column 1 are left out.
std::vector<char> ListedDriveLetters(const StatusRows& rows);

// For each letter in order: open the device (TVQ_OpenDevice; a device that
// does not open is left out without a word), read its id into a buffer
// cleared for this device (a failed read is not reported: the cleared buffer
// gives "00000000"), close the handle.
std::vector<FlashIdReading> ReadFlashIds(const std::vector<char>& letters);

// "DriverID:%c   FlashID: %s \r\n" per reading, in order; "" for none.
std::string FlashIdReportText(const std::vector<FlashIdReading>& readings);

// The "R" button: the report of every listed device, to be shown under
// FlashIdReportTitle() with an OK button (an empty box when nothing was read).
std::string FlashIdReport(const StatusRows& rows);

}  // namespace ardentix
