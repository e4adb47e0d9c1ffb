// The drive-letter exports: the station's host layer sees the same letters as
// the library's opens.
#include <cstring>
#include <mutex>
#include <string>

#include "QMR52916LIB_ext.h"
#include "drive_letter.h"
#include "simroute.h"

#if defined(_WIN32)
#include <windows.h>
#else
#include "drivemap.h"
#endif

namespace {

#if defined(_WIN32)
uint32_t RemovableDrives() {
  const DWORD logical = ::GetLogicalDrives();
  uint32_t mask = 0;
  for (int i = 2; i < 26; ++i) {
    if ((logical & (1u << i)) == 0) continue;
    const char root[4] = {char('A' + i), ':', '\\', 0};
    if (::GetDriveTypeA(root) == DRIVE_REMOVABLE) mask |= 1u << i;
  }
  return mask;
}

std::string NodeOf(char given) {
  const char letter = qmr::CanonicalDriveLetter(given);
  if (letter == 0 || (RemovableDrives() & (1u << (letter - 'A'))) == 0) return {};
  return std::string("\\\\.\\") + letter + ":";
}

uint32_t Changes(uint32_t& arrived, uint32_t& removed) {
  static std::mutex mutex;
  static uint32_t previous = 0;
  std::lock_guard lock(mutex);
  const uint32_t now = RemovableDrives();
  arrived = now & ~previous;
  removed = previous & ~now;
  previous = now;
  return now;
}
#else
uint32_t RemovableDrives() { return qmr::DriveMask(); }
std::string NodeOf(char letter) { return qmr::DiskForLetter(letter); }
uint32_t Changes(uint32_t& arrived, uint32_t& removed) { return qmr::TakeDriveChanges(arrived, removed); }
#endif

}  // namespace

extern "C" {

// With a setup the library cannot use, no drive is shown: the machine's own
// drives are no stand-in for the simulated ones that were asked for.
QMR_API unsigned long QMR_DriveMask(void) { return qmr::LibraryUsable() ? RemovableDrives() : 0; }

QMR_API int QMR_DriveNode(char letter, char* out, int size) {
  if (!qmr::LibraryUsable()) return 0;
  const std::string node = NodeOf(letter);
  if (node.empty() || out == nullptr || size <= 0 || node.size() >= size_t(size)) return 0;
  std::memcpy(out, node.c_str(), node.size() + 1);
  return 1;
}

QMR_API unsigned long QMR_DriveChanges(unsigned long* arrived, unsigned long* removed) {
  uint32_t a = 0, r = 0;
  const uint32_t mask = qmr::LibraryUsable() ? Changes(a, r) : 0;
  if (arrived) *arrived = a;
  if (removed) *removed = r;
  return mask;
}

}  // extern "C"
