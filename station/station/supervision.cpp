// The refresh: what the workers wrote into the slots becomes the rows' text.
#include <cstdio>

#include "station/station.h"
#include "core/status_codes.h"
#include "core/strings.h"

namespace ardentix {

void Station::RefreshDeviceRows() {
  passCountShown = PassCount.load();
  failCountShown = FailCount.load();
  const int count = slots_.GetDeviceCount();
  for (int b = 0; b < count && b < rows_.Count(); ++b) {
    const char letter = slots_.GetListedLetter(b);
    const auto entry = slots_.GetDeviceEntry(b);
    const int32_t stage = slots_.GetDeviceStage(letter);
    const int32_t result = slots_.GetDeviceResult(letter);
    char text[64];
    std::snprintf(text, sizeof text, "%d", b + 1);
    rows_.SetText(b, 0, text);
    std::snprintf(text, sizeof text, "%c(%d) :", letter, entry ? entry->lun : -1);
    rows_.SetText(b, 1, text);
    // A code not above 0 leaves the column as it was.
    if (stage > 0) {
      const int32_t p = slots_.GetDeviceProgress(letter);
      std::string status = StatusText(stage);
      if (p >= 0) status += "(" + std::to_string(p) + "%)";
      rows_.SetText(b, 2, status);
    }
    // A serial that already passed on another device is said on the row;
    // the outcome and the counters stay as the burn made them.
    if (result > 0)
      rows_.SetText(b, 3, slots_.GetDeviceDuplicateSerial(letter) ? FormatText(StringText(3070), {StatusText(result)})
                                                                  : StatusText(result));
  }
}

}  // namespace ardentix
