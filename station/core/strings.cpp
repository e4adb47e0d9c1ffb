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
  };
  return table;
}

}  // namespace

const char* StringText(int id) {
  const auto& t = Table();
  const auto it = t.find(id);
  return it == t.end() ? "" : it->second;
}

}  // namespace ardentix
