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
  const std::string unit = std::string("&") + char('0' + usb.lun);
  // A serial too long for the callers' buffers would lose the trailing unit
  // digit; the port path names the device then, as it does for no serial.
  if (UsableSerial(usb.serial) && usb.serial.size() + unit.size() <= kMaxParentChars) return usb.serial + unit;
  const std::string id = usb.portPath + unit;
  return id.size() <= kMaxParentChars ? id : std::string();
}

}  // namespace qmr::location
