// The real registry behind the location walk, and the version query that
// chooses its road. Windows only.
#if defined(_WIN32)
#include <windows.h>

#include <cstring>

#include "location/registry.h"

#if defined(_MSC_VER)
#pragma warning(disable : 4996)  // GetVersionExA is deprecated, but its answer picks the registry road
#endif

namespace qmr::location {
namespace {

HKEY ToHkey(Registry::Key key) { return static_cast<HKEY>(key); }

class Win32Registry final : public Registry {
 public:
  bool OpenKey(const char* path, Key* key) override {
    HKEY opened = nullptr;
    if (::RegOpenKeyA(HKEY_LOCAL_MACHINE, path, &opened) != ERROR_SUCCESS) return false;
    *key = opened;
    return true;
  }
  bool EnumKey(Key key, uint32_t index, char* name, uint32_t nameChars) override {
    DWORD chars = nameChars;
    return ::RegEnumKeyExA(ToHkey(key), index, name, &chars, nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS;
  }
  bool QueryValue(Key key, const char* valueName, uint8_t* buffer, uint32_t* size) override {
    DWORD bytes = *size;
    if (::RegQueryValueExA(ToHkey(key), valueName, nullptr, nullptr, buffer, &bytes) != ERROR_SUCCESS) return false;
    *size = bytes;
    return true;
  }
  void CloseKey(Key key) override { ::RegCloseKey(ToHkey(key)); }
  int GetOsMajorVersion() override { return location::GetOsMajorVersion(); }
};

}  // namespace

int GetOsMajorVersion() {
  // The size field says 156, the extended structure's size, so the storage
  // must be the extended structure: the plain one is only 148 bytes.
  OSVERSIONINFOEXA info;
  std::memset(&info, 0, sizeof info);
  info.dwOSVersionInfoSize = 156;
  const BOOL ok = ::GetVersionExA(reinterpret_cast<OSVERSIONINFOA*>(&info));
  return ok ? int(info.dwMajorVersion) : 0;
}

std::unique_ptr<Registry> MakeWin32Registry() { return std::make_unique<Win32Registry>(); }

}  // namespace qmr::location
#endif
