#include "drivemap.h"

#include <cstdlib>
#include <mutex>
#include <optional>
#include <sstream>

#include "drive_letter.h"
#include "drives/drive_letters.h"

namespace qmr {
namespace {

struct Root {
  std::mutex mutex;
  std::string path = "/sys";
};

Root& TheRoot() {
  static Root root;
  return root;
}

drives::DriveLetters& SystemDrives() {
  static drives::DriveLetters letters("/sys");
  return letters;
}

// Set (even to "") means the environment decides alone: an empty value shows
// no drives, which keeps test runs away from the machine's own disks.
drives::DriveLetters& Refreshed() {
  const char* env = std::getenv("QMR52916_DRIVES");
  auto& letters = SystemDrives();
  letters.Refresh(env ? std::optional<std::string>(env) : std::nullopt);
  return letters;
}

}  // namespace

std::string SysfsRoot() {
  Root& r = TheRoot();
  std::lock_guard lock(r.mutex);
  return r.path;
}

void SetSysfsRoot(const std::string& root) {
  Root& r = TheRoot();
  std::lock_guard lock(r.mutex);
  r.path = root;
}

std::map<char, std::string> ParseDriveList(const std::string& text) {
  std::map<char, std::string> result;
  std::stringstream in(text);
  std::string item;
  while (std::getline(in, item, ',')) {
    while (!item.empty() && item.front() == ' ') item.erase(item.begin());
    while (!item.empty() && item.back() == ' ') item.pop_back();
    if (item.size() < 3 || item[1] != '=') continue;
    const char letter = CanonicalDriveLetter(item[0]);
    if (letter == 0) continue;
    result[letter] = item.substr(2);
  }
  return result;
}

std::string DiskForLetter(char letter) { return Refreshed().Node(CanonicalDriveLetter(letter)); }

uint32_t DriveMask() { return Refreshed().Mask(); }

uint32_t TakeDriveChanges(uint32_t& arrived, uint32_t& removed) {
  auto& letters = Refreshed();
  letters.TakeChanges(arrived, removed);
  return letters.Mask();
}

}  // namespace qmr
