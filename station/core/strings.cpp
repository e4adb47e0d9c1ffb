#include "core/strings.h"

#include <map>

namespace ardentix {
namespace {

const std::map<int, const char*>& Table() {
  static const std::map<int, const char*> table = {
      {101, "Velor RQ4820Ardentixs(&A)..."},
      {105, "Burned data:"},
      {106, "Open"},
      {107, "Burned type"},
      {108, "Serial number:"},
      {109, "accumulated value:"},
      {110, "Burn OK:"},
      {111, "Burn fail:"},
      {112, "Export"},
      {113, "System sound"},
      {114, "configuration"},
      {115, "Start"},
      {116, "Stop"},
      {117, "Exit"},
      {118, "The device is ready...."},
      {119, "Lock fail!"},
      {121, "Please select the Img file."},
      {122, "pls select vlr file."},
      {123, "No device found"},
      {124, "Fail! Please remove the device."},
      {125, "Success!"},
      {126, "Fail!"},
      {127, "Erase flash..."},
      {128, "Erase SD card OK!"},
      {129, "Fail to erase SPI Flash!"},
      {130, "Data is being downloaded to SD card."},
      {131, "Verifying the data in SD card!"},
      {132, "Data download ok to SD card"},
      {133, "Fail to download data to SD card."},
      {134, "Fail to verify data in SD card."},
      {135, "Data is being downloaded to Flash."},
      {136, "Verifying the data in FLASH."},
      {137, "Fail to download data FLASH."},
      {138, "Fail to verify data FLASH."},
      {139, "Lock device"},
      {140, "Lock fail"},
      {141, "Unlock fail"},
      {142, "fail to load Img file"},
      {143, "Fail to load vlr file"},
      {144, "Download OK"},
      {145, "SD card size error!"},
      {1032, "Display external info!"},
      {1033, "Create SD card img"},
      {1034, "Driver:"},
      {1035, "Step1:format SD card"},
      {1036, "Step2:copy data to SD card"},
      {1037, "Step3:generate img file."},
      {1038, "Format"},
      {1039, "Generate img file"},
      {1040, "VID&&PID"},
      {1041, "Img file:"},
      {1042, "SPI list"},
      {1044, "SPI type error"},
      {1045, "Data size is too big!"},
      {1046, "---"},
      {1047,
       "Img file: use the Img tool to generate this file\nvlr file: vlr format file RQ4820 downloaded file\n"
       "remark:after downloading ok,pls wait for the U disc reloading and then disconnect the USB."},
      {1048,
       "Release notes\n"
       "Burns the SD card image and the SPI flash of up to eight devices at once, keeping each device's "
       "serial number.\n"
       "V4.1.0 support 61730"},
      {1049, "Read FlashId"},
      {1051,
       "\n\n press\"Comfirm\"Auto Add A New SPI ID, Press\"cancel\"exit. \notice:Atuo Add only add SPI ID, other "
       "info(type size remark ets)need Add manual,.\n if it is error ,connect Velor."},
      {1052, "Plz select img file burn to sd2."},
      {1053, "Img File2:"},
      {1054, "SD1 Img File Burn"},
      {1055, "SD2 Img File Burn"},
      {1056, "SPI File Burn"},
      {1057, "SPI Speed is less than 48M, fail"},
      {1058, "Device not responding"},
      {1059, "Lock fail! Drive(s): %s"},
      {1070, "Another unit than the one identified: not burned, identified anew"},
      {1071, "The drive's logical unit cannot be read: not burned"},
      {1072, "SpiList.ini cannot be read (%1): no SPI flash chip can be checked, so nothing is burned."},
      {1073, "SpiList.ini lists no SPI flash chip: nothing is burned. Add the chips to the SPI list first."},
      // Window texts (main window, catalogue dialog, training panel).
      {3001, "No."},
      {3002, "Drive(Lun)"},
      {3003, "Status"},
      {3004, "Result"},
      {3005, "?"},
      {3006, "R"},
      {3007, "SD"},
      {3008, "SPI Flash"},
      {3009, "SD + SPI Flash"},
      {3010, " VID/PID Setup 1 "},
      {3011, " VID/PID Setup 2 "},
      {3012, "VID : 0x"},
      {3013, "PID : 0x"},
      {3014, "&Help"},
      {3015,
       "A burn is running. Closing now waits until every device being burned has finished.\n"
       "Close the window?"},
      {3016, "Waiting for the running burns to end\xE2\x80\xA6\xE2\x80\xA6"},
      {3017, "The SPI list cannot be changed while a burn runs."},
      {3018, "OK"},
      {3019, "Cancel"},
      {3020, "No"},
      {3021, "SPI Type"},
      {3022, "ID"},
      {3023, "Len(KBytes)"},
      {3024, "Freq(MHz)"},
      {3025, "Remark"},
      {3026, "Add"},
      {3027, "Del"},
      {3028, "AutoAdd"},
      {3040, "Training: simulated devices"},
      {3041, "Plug"},
      {3042, "Unplug"},
      {3043, "Fault in the device's next burn:"},
      {3044, "Add fault"},
      {3045, "plugged"},
      {3046, "unplugged"},
      {3047, "Lock test fails"},
      {3048, "Volume lock fails"},
      {3049, "Device does not open"},
      {3050, "SD write fails"},
      {3051, "SD read-back differs"},
      {3052, "Flash erase stays busy"},
      {3053, "Flash write fails"},
      {3054, "Flash read-back differs"},
      {3055, "Device pulled out while writing"},
      {3056, "Device stops answering while writing"},
      // The batch near START, remembered choices.
      {3060, "This run: passed %1, failed %2, running %3"},
      {3061, "Yield of the day: %1 (%2 of %3)"},
      {3062, "Yield of the day: no device yet"},
      {3063, "batch finished: swap the devices"},
      {3064, "burning\xE2\x80\xA6"},
      {3065, "Sound at the batch's end"},
      {3066, "These files chosen last time are gone and were not chosen again:"},
      // Production records.
      {3070, "%1 - duplicate serial"},
      {3071, "History..."},
      {3072, "Production records"},
      {3073, "Serial:"},
      {3074, "Outcome:"},
      {3075, "All"},
      {3076, "passed"},
      {3077, "failed"},
      {3078, "From (UTC):"},
      {3079, "To (UTC):"},
      {3080, "Export CSV..."},
      {3081, "%1 record(s)"},
      {3082, "Records: yield %1 (%2 of %3), duplicate serials: %4"},
      {3083, "Records: none yet"},
      {3084, "%1 record(s) wait to be written"},
      {3085, "The production records cannot be read: %1"},
      {3086, "Not a time: %1 (write 2026-12-10 or 2026-12-10T14:30)"},
      {3087, "Started (UTC)"},
      {3088, "Station"},
      {3089, "Drive"},
      {3090, "Serial"},
      {3091, "Outcome"},
      {3092, "Result"},
      {3093, "Chip"},
      {3094, "Package"},
      {3095, "Seconds"},
      {3096, "duplicate serial"},
      {3097, "The production records cannot be written: %1\nRecords are kept and written again at the end of each run."},
      {3098, "The production records of %1 device(s) could not be written to %2: %3\nThey are kept and written again with the next record and at the end of the next run."},
      {3099, "The records were exported to %1."},
      {3100, "The records are not sent to the line's database %1: %2"},
      {3101, "%1 holds the line database's password and other users of this computer can read it. Let only its owner read it (chmod 600), or keep the password in the password file (~/.pgpass) instead."},
      // The continuous line.
      {3300, "Continuous"},
      {3301, "line running: %1"},
      {3302, "line stopping: %1 still burning"},
      {3303, "Units per hour: %1"},
      {3304, "burning"},
      {3305, "done - swap me"},
      {3306, "failed - swap me"},
      {3307, "empty"},
      {3308, "waiting"},
      {3309, "line running: plug in the devices"},
      {3120, "The SD image %1 cannot be burned: %2\nNo device was written."},
      {3121, "the file is damaged or cut short (%1)"},
      {3122, "the zip file holds %1 files; it must hold exactly one image"},
      {3123, "the zip file is encrypted"},
      {3124, "the image (%1 bytes) is larger than the card of drive %2 (%3 bytes)"},
      {3125, "it does not match its checksum file %1"},
      {3126, "its block map %1 cannot be used: %2"},
      {3127, "range %1 of the block map does not match the image"},
      {3128, "decoding needs up to %1 MB in %2, which has %3 MB free"},
      {3129, "this build cannot read compressed images"},
      {3130, "the block map is for an image of %1 bytes, the image has %2"},
      {3131, "Preparing SD image"},
      {3132, "the file cannot be read (%1)"},
      {3133, "%1, %2 MB"},
      {3134, "block map %1: %2 % of %3 MB mapped"},
      {3135, "decoded into %1 before the first device (%2 MB free there)"},
      {3136, "its checksum file %1 names no hash for it"},
      {3137, "the block map file's own checksum does not match"},
  };
  return table;
}

}  // namespace

std::vector<int> StringIds() {
  std::vector<int> ids;
  for (const auto& [id, text] : Table()) ids.push_back(id);
  return ids;
}

std::string FormatText(std::string_view pattern, std::initializer_list<std::string> args) {
  std::string out;
  for (size_t i = 0; i < pattern.size(); ++i) {
    const char next = i + 1 < pattern.size() ? pattern[i + 1] : '\0';
    if (pattern[i] == '%' && next >= '1' && next <= '9' && size_t(next - '1') < args.size()) {
      out += *(args.begin() + (next - '1'));
      ++i;
    } else {
      out += pattern[i];
    }
  }
  return out;
}

const char* StringText(int id) {
  const auto& t = Table();
  const auto it = t.find(id);
  return it == t.end() ? "" : it->second;
}

}  // namespace ardentix
