#include "catalogue/flash_id_report.h"

#include <cstdio>

#include "QMR52916LIB.h"
#include "QMR52916LIB_ext.h"
#include "catalogue/spi_catalogue.h"
#include "core/device_handle.h"
#include "core/status_rows.h"
#include "core/strings.h"

namespace ardentix {

const char* FlashIdReportTitle() { return StringText(1049); }

std::vector<char> ListedDriveLetters(const StatusRows& rows) {
  std::vector<char> letters;
  for (int row = 0; row < rows.Count(); ++row) {
    const std::string drive = rows.Text(row, 1);
    if (!drive.empty()) letters.push_back(drive[0]);
  }
  return letters;
}

std::vector<FlashIdReading> ReadFlashIds(const std::vector<char>& letters) {
  std::vector<FlashIdReading> readings;
  for (const char letter : letters) {
    const DeviceHandle h = DeviceHandle::Open(letter);
    if (!h) continue;
    // Cleared per device: a failed read must not show the previous device's id.
    unsigned char id[5] = {};
    TVQ_GetFlashID(h.get(), id);
    readings.push_back({letter, FlashIdText(id)});
  }
  return readings;
}

std::string FlashIdReportText(const std::vector<FlashIdReading>& readings) {
  std::string report;
  for (const FlashIdReading& r : readings) {
    char line[64];
    std::snprintf(line, sizeof line, "DriverID:%c   FlashID: %s \r\n", r.letter, r.idText.c_str());
    report += line;
  }
  return report;
}

std::string FlashIdReport(const StatusRows& rows) { return FlashIdReportText(ReadFlashIds(ListedDriveLetters(rows))); }

}  // namespace ardentix
