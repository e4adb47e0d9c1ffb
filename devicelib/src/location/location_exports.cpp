// What stands behind a drive letter: the USB storage device's name, its
// instance id (ending in the logical unit digit) and the unit. Simulated
// devices answer from their configuration, Windows from the registry, Linux
// from sysfs.
#include <cstring>
#include <string>

#include "QMR52916LIB_ext.h"
#include "drive_letter.h"
#include "location/registry.h"
#include "location/usb_string.h"
#include "simroute.h"

#if !defined(_WIN32)
#include "drivemap.h"
#include "location/sysfs_location.h"
#endif

namespace {

using qmr::location::kMaxParentChars;

// Copies the characters only: callers pass cleared buffers.
int CopyOut(const std::string& text, char* out) {
  if (text.empty()) return 0;
  std::memcpy(out, text.data(), text.size());
  return 1;
}

// Both units of a simulated device share its id and differ in the last digit.
std::string SimulatedParent(qmr::sim::Bus& bus, char letter) {
  int lun = 0;
  const auto device = bus.Find(letter, &lun);
  if (!device || !device->AnswerLocation(lun)) return {};
  std::string id = device->config().usbInstanceId + "&" + char('0' + lun);
  return id.size() <= kMaxParentChars ? id : std::string();
}

int LastDigit(const std::string& parent) {
  if (parent.empty()) return -1;
  const char c = parent.back();
  return c >= '0' && c <= '9' ? c - '0' : 0;
}

#if !defined(_WIN32)
std::string LinuxParent(char letter) {
  const std::string disk = qmr::DiskForLetter(letter);
  return disk.empty() ? std::string() : qmr::location::SysfsParentString(qmr::SysfsRoot(), disk);
}
#endif

}  // namespace

extern "C" {

QMR_API int TVQ_GetUSBString(char driveLetter, char* out) {
  std::string text;
  if (out == nullptr || !qmr::LibraryUsable() || !qmr::location::ReadUsbString(driveLetter, text)) return 0;
  return CopyOut(text, out);
}

QMR_API int TVQ_GetDeviceParentString(char given, char* out) {
  const char driveLetter = qmr::CanonicalDriveLetter(given);
  if (out == nullptr || driveLetter == 0 || !qmr::LibraryUsable()) return 0;
  if (auto bus = qmr::SimulatedBus(); bus && !bus->SystemLocation())
    return CopyOut(SimulatedParent(*bus, driveLetter), out);
#if defined(_WIN32)
  auto registry = qmr::location::MakeWin32Registry();
  return qmr::location::RegistryParentString(*registry, driveLetter, out, &TVQ_GetUSBString);
#else
  return CopyOut(LinuxParent(driveLetter), out);
#endif
}

QMR_API int TVQ_GetDeviceLun(char given, char* usbString) {
  const char driveLetter = qmr::CanonicalDriveLetter(given);
  if (driveLetter == 0 || !qmr::LibraryUsable()) return -1;
  if (auto bus = qmr::SimulatedBus(); bus && !bus->SystemLocation())
    return LastDigit(SimulatedParent(*bus, driveLetter));
#if defined(_WIN32)
  auto registry = qmr::location::MakeWin32Registry();
  return qmr::location::RegistryDeviceLun(*registry, driveLetter, usbString);
#else
  return LastDigit(LinuxParent(driveLetter));
#endif
}

}  // extern "C"
