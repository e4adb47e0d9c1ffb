#include "location/registry.h"

#include <cstdio>
#include <cstring>
#include <string>

namespace qmr::location {
namespace {

enum class Search { KeyMissing, NoMatch, Match };

// The walk shared by the parent string and the logical unit: the first
// instance of the hardware key whose ParentIdPrefix begins the piece.
Search FindInstance(Registry& registry, const char* usbString, const char* piece, std::string& name) {
  char path[kRegistryPathBytes];
  const int n = std::snprintf(path, sizeof path, "SYSTEM\\CurrentControlSet\\Enum\\USBSTOR\\%s", usbString);
  if (n < 0 || size_t(n) >= sizeof path) return Search::KeyMissing;
  Registry::Key hardware = nullptr;
  if (!registry.OpenKey(path, &hardware)) return Search::KeyMissing;
  Search result = Search::NoMatch;
  for (uint32_t index = 0; result == Search::NoMatch; ++index) {
    char instance[kInstanceNameChars];
    if (!registry.EnumKey(hardware, index, instance, sizeof instance)) break;
    instance[kInstanceNameChars - 1] = '\0';
    char instancePath[kInstancePathBytes];
    const int m = std::snprintf(instancePath, sizeof instancePath, "%s\\%s", path, instance);
    if (m < 0 || size_t(m) >= sizeof instancePath) continue;  // a cut path would open another key
    Registry::Key key = nullptr;
    if (!registry.OpenKey(instancePath, &key)) continue;
    char prefix[kParentIdPrefixBytes + 1] = {};
    uint32_t size = kParentIdPrefixBytes;
    const bool read = registry.QueryValue(key, "ParentIdPrefix", reinterpret_cast<uint8_t*>(prefix), &size);
    registry.CloseKey(key);
    if (read && std::strncmp(piece, prefix, std::strlen(prefix)) == 0) {
      name = instance;
      result = Search::Match;
    }
  }
  registry.CloseKey(hardware);
  return result;
}

// A digit's value; any other character reads as 0.
int DigitValue(char c) { return c >= '0' && c <= '9' ? c - '0' : 0; }

}  // namespace

void Utf16ToNarrow(const uint8_t* data, size_t bytes, char* out, size_t outSize) {
  if (outSize == 0) return;
  size_t n = 0;
  bool afterHighSurrogate = false;
  for (size_t i = 0; i + 1 < bytes && n + 1 < outSize; i += 2) {
    const unsigned unit = unsigned(data[i]) | unsigned(data[i + 1]) << 8;
    if (unit == 0) break;
    const bool low = unit >= 0xDC00 && unit <= 0xDFFF;
    if (afterHighSurrogate && low) {  // a surrogate pair is one character
      afterHighSurrogate = false;
      continue;
    }
    afterHighSurrogate = unit >= 0xD800 && unit <= 0xDBFF;
    out[n++] = unit < 0x80 ? char(unit) : '?';
  }
  out[n] = '\0';
}

bool ReadMountedInstance(Registry& registry, char driveLetter, char (&piece)[kInstancePieceBytes]) {
  Registry::Key key = nullptr;
  if (!registry.OpenKey("SYSTEM\\MountedDevices\\", &key)) return false;
  char valueName[] = "\\DosDevices\\A:";
  valueName[12] = driveLetter;
  uint8_t value[kMountedValueBytes];
  uint32_t size = sizeof value;
  const bool read = registry.QueryValue(key, valueName, value, &size);
  registry.CloseKey(key);
  if (!read) return false;

  char text[kMountedValueBytes];
  Utf16ToNarrow(value, size, text, sizeof text);
  const char* begin = text;
  const char* end = text + std::strlen(text);
  if (const char* last = std::strrchr(text, '#')) {
    const char* before = nullptr;
    for (const char* p = text; p < last; ++p)
      if (*p == '#') before = p;
    if (before) {
      begin = before + 1;
      end = last;
    }
  }
  const size_t n = size_t(end - begin);
  if (n == 0 || n >= kInstancePieceBytes) return false;
  std::memcpy(piece, begin, n);
  piece[n] = '\0';
  return true;
}

int FindInstanceByParentPrefix(Registry& registry, const char* usbString, const char* instancePiece, char* out) {
  std::string name;
  switch (FindInstance(registry, usbString, instancePiece, name)) {
    case Search::KeyMissing:
      return 0;
    case Search::NoMatch:
      return 1;
    case Search::Match:
      break;
  }
  if (name.size() > kMaxParentChars) return 0;
  std::memcpy(out, name.data(), name.size());
  return 1;
}

int RegistryParentString(Registry& registry, char driveLetter, char* out, const UsbStringSource& usbString) {
  char piece[kInstancePieceBytes];
  if (!ReadMountedInstance(registry, driveLetter, piece)) return 0;
  if (registry.GetOsMajorVersion() >= 6) {
    std::memcpy(out, piece, std::strlen(piece));
    return 1;
  }
  char usb[128] = {};
  if (!usbString || !usbString(driveLetter, usb)) return 0;
  usb[sizeof usb - 1] = '\0';
  return FindInstanceByParentPrefix(registry, usb, piece, out);
}

int RegistryDeviceLun(Registry& registry, char driveLetter, const char* usbString) {
  char piece[kInstancePieceBytes];
  if (!ReadMountedInstance(registry, driveLetter, piece)) return -1;
  if (registry.GetOsMajorVersion() >= 6) return DigitValue(piece[std::strlen(piece) - 1]);
  if (usbString == nullptr) return -1;
  std::string name;
  if (FindInstance(registry, usbString, piece, name) != Search::Match) return -1;
  if (name.size() < 14) return 0;
  const int unit = DigitValue(name.back());
  return unit <= 1 ? unit : 0;
}

}  // namespace qmr::location
