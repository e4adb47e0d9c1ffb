#include "location/sysfs_location.h"

#include <algorithm>

#include "drives/usb_disks.h"
#include "location/registry.h"

namespace qmr::location {
namespace {

// Windows refuses serials with control characters, non-ASCII or commas and
// names such devices by port instead; blanks are refused too, as an id
// travels through space-separated texts.
bool UsableSerial(const std::string& serial) {
  return !serial.empty() &&
         std::all_of(serial.begin(), serial.end(), [](char c) { return c > ' ' && c <= '~' && c != ','; });
}

}  // namespace

std::string SysfsParentString(const std::string& sysfsRoot, const std::string& disk) {
  drives::UsbDisk usb;
  if (!drives::DescribeUsbDisk(sysfsRoot, drives::DiskName(disk), usb)) return {};
  if (usb.lun < 0 || usb.lun > 9) return {};
  std::string id = (UsableSerial(usb.serial) ? usb.serial : usb.portPath) + "&" + char('0' + usb.lun);
  return id.size() <= kMaxParentChars ? id : std::string();
}

}  // namespace qmr::location
