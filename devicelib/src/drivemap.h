// Which disk stands behind a drive letter on systems without drive letters.
#pragma once

#include <map>
#include <string>

namespace qmr {

// Parses "E=/dev/sdb,F=/dev/sdc". Entries that are not LETTER=PATH are skipped.
std::map<char, std::string> ParseDriveList(const std::string& text);

// The block device ("/dev/sdb") for a letter, or "" when none.
std::string DiskForLetter(char letter);

}  // namespace qmr
