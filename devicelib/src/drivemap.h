// Which disk stands behind a drive letter on systems without drive letters:
// QMR52916_DRIVES when it is set, else the library's own lettering of the USB
// disks (drives/drive_letters.h) over /sys.
#pragma once

#include <cstdint>
#include <map>
#include <string>

namespace qmr {

// Where the kernel's device tree is read: "/sys", or a fake tree that tests
// and fuzzing put in its place.
std::string SysfsRoot();
void SetSysfsRoot(const std::string& root);

// Parses "E=/dev/sdb,F=/dev/sdc". Entries that are not LETTER=PATH are skipped.
std::map<char, std::string> ParseDriveList(const std::string& text);

// Each of these reads the disks again first, so a letter always names what is
// attached now.

// The block device ("/dev/sdb") for a letter, or "" when none.
std::string DiskForLetter(char letter);

// The lettered drives, bit 0 = "A:".
uint32_t DriveMask();

// The lettered drives, and the letters that appeared and went since the
// previous call.
uint32_t TakeDriveChanges(uint32_t& arrived, uint32_t& removed);

}  // namespace qmr
