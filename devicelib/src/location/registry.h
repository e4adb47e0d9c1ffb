// Finding the USB storage device behind a drive letter in the Windows
// registry. The walk runs over a small registry interface so that it can be
// checked on any system against a fake registry; Win32Registry is the real
// one.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>

namespace qmr::location {

// Keys under HKEY_LOCAL_MACHINE, with the Win32 "A" functions' buffer rules.
class Registry {
 public:
  using Key = void*;
  virtual ~Registry() = default;
  // Opens HKEY_LOCAL_MACHINE\path; false when it cannot.
  virtual bool OpenKey(const char* path, Key* key) = 0;
  // The name of subkey number index into name (nameChars characters with the
  // NUL); false when there is no such subkey or the name does not fit.
  virtual bool EnumKey(Key key, uint32_t index, char* name, uint32_t nameChars) = 0;
  // The value's data into buffer; *size holds the buffer's size on entry and
  // the bytes stored on return. False when missing or larger than the buffer.
  virtual bool QueryValue(Key key, const char* valueName, uint8_t* buffer, uint32_t* size) = 0;
  virtual void CloseKey(Key key) = 0;
  // The system's major version number; 0 when it cannot be read.
  virtual int GetOsMajorVersion() = 0;
};

// Buffer sizes of the walk.
constexpr size_t kRegistryPathBytes = 1024;
constexpr size_t kInstancePathBytes = 260;
constexpr size_t kInstanceNameChars = 260;
constexpr size_t kParentIdPrefixBytes = 128;
constexpr size_t kMountedValueBytes = 1024;
constexpr size_t kInstancePieceBytes = 32;
// The callers' 36-byte output buffers hold at most 35 characters and a NUL.
constexpr size_t kMaxParentChars = 35;

// UTF-16LE registry data to 8-bit text (NUL-terminated, at most outSize - 1
// characters), up to the first NUL unit. Device paths are ASCII; any other
// character becomes "?", as the code-page conversion does for characters the
// code page lacks, so the result never depends on the machine's code page.
void Utf16ToNarrow(const uint8_t* data, size_t bytes, char* out, size_t outSize);

// The piece of the letter's mounted-device path between its last two "#"
// (the whole path when it has fewer than two). False when there is no entry,
// the piece is empty, or it is longer than 31 characters: a cut piece would
// lose the trailing logical unit digit and name the wrong unit.
bool ReadMountedInstance(Registry& registry, char driveLetter, char (&piece)[kInstancePieceBytes]);

// Looks through the instances of USBSTOR\<usbString> for the one whose
// ParentIdPrefix begins the piece and copies its name into out (no NUL).
// Returns 0 when the hardware key cannot be opened or the matching name is
// longer than 35 characters; 1 otherwise, out untouched when none matched.
int FindInstanceByParentPrefix(Registry& registry, const char* usbString, const char* instancePiece, char* out);

// TVQ_GetUSBString for the road before version 6.
using UsbStringSource = std::function<int(char driveLetter, char* out)>;

// TVQ_GetDeviceParentString: the piece itself from version 6 on, else the
// USBSTOR instance it belongs to.
int RegistryParentString(Registry& registry, char driveLetter, char* out, const UsbStringSource& usbString);

// TVQ_GetDeviceLun: from version 6 on, the piece's last digit; before, taken
// from the matching instance's name (0 for names shorter than 14 characters;
// only 0 or 1, anything else is 0). -1 when nothing is found.
int RegistryDeviceLun(Registry& registry, char driveLetter, const char* usbString);

#if defined(_WIN32)
// GetVersionExA's major version, 0 when the call fails.
int GetOsMajorVersion();
std::unique_ptr<Registry> MakeWin32Registry();
#endif

}  // namespace qmr::location
