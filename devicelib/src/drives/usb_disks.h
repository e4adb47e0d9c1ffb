// USB mass-storage disks as the kernel shows them under /sys/block. Shared by
// the drive letters and the device location, both of which need to know which
// USB device and logical unit stand behind a disk.
#pragma once

#include <string>
#include <vector>

namespace qmr::drives {

struct UsbDisk {
  std::string name;        // "sdb"
  std::string identity;    // the disk's SCSI device path in sysfs: stable while it stays attached
  std::string portPath;    // the USB device's port path, "1-1.2"
  std::string serial;      // the USB device's serial number as sysfs shows it, "" when it has none
  int lun = -1;            // the SCSI logical unit (last number of H:C:T:L)
  bool removable = false;  // the disk reports removable media
};

// Describes <sysfsRoot>/block/<name>. False when the disk is not a SCSI disk
// of a USB device.
bool DescribeUsbDisk(const std::string& sysfsRoot, const std::string& name, UsbDisk& out);

// Every sd* disk with removable media on USB, in port order (then unit, then name).
std::vector<UsbDisk> ScanUsbDisks(const std::string& sysfsRoot);

// Port-path order: bus first, then each port number compared as a number, so
// "1-1.2" comes before "1-1.10" and a hub's own port before its downstream ones.
bool PortPathLess(const std::string& a, const std::string& b);

// "sdb" for "/dev/sdb" or "sdb".
std::string DiskName(const std::string& node);

}  // namespace qmr::drives
