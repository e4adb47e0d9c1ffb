// The same answers as the registry walk, from the Linux device tree.
#pragma once

#include <string>

namespace qmr::location {

// The instance id of the USB storage device behind a disk ("/dev/sdb" or
// "sdb"), ending in "&" and the SCSI logical unit digit, as Windows names
// USBSTOR instances: "<serial>&<unit>", or "<port path>&<unit>" when the
// device has no serial usable in an id or one too long for 35 characters.
// "" when the disk is not on USB or its unit is not a single digit.
std::string SysfsParentString(const std::string& sysfsRoot, const std::string& disk);

}  // namespace qmr::location
