// The registry roads of the location functions against a real registry,
// through QMR52916LIB.dll. Runs under Wine: each test writes the keys and
// values the roads read (the volume's entry under SYSTEM\MountedDevices and
// the USB storage instances under Enum\USBSTOR) and removes them afterwards.
// Which road is taken depends on the version the system reports, so the
// program runs twice: as location_win32_tests (version 6 or later, tests
// From6.*) and as location_win32_xp_tests, which the test prefix presents
// with Windows XP (version 5, tests Before6.*). The devices that the road
// before version 6 opens for their INQUIRY data are simulated on the same
// letters, with "location": "system" so that the library still reads the
// registry for them.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "QMR52916LIB_ext.h"

namespace {

const char* const kMounted = "SYSTEM\\MountedDevices";
const char* const kUsbStor = "SYSTEM\\CurrentControlSet\\Enum\\USBSTOR";
const char* const kUsbString = "DISK&VEN_Generic&PROD_RQ4820_Disk&REV_1.00";
// The INQUIRY vendor "Ve Dor  ": two words, one blank, trailing blanks.
const char* const kTwoWordUsbString = "DISK&VEN_Ve_Dor&PROD_RQ4820_Disk&REV_1.00";

int MajorVersion() {
  OSVERSIONINFOA info{};
  info.dwOSVersionInfoSize = sizeof info;
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
  return ::GetVersionExA(&info) ? int(info.dwMajorVersion) : 0;
#pragma GCC diagnostic pop
}

class RegistryRoad : public ::testing::Test {
 protected:
  void SetUp() override {
    char error[256] = {};
    ASSERT_EQ(QMR_SimConfigure(R"({"location": "system", "devices": [
        {"letter": "P", "vendor": "Generic", "product": "RQ4820 Disk", "revision": "1.00"},
        {"letter": "S", "vendor": "Ve Dor", "product": "RQ4820 Disk", "revision": "1.00"},
        {"letter": "T", "identify": [1, 0]}]})",
                               error, sizeof error),
              1)
        << error;
  }
  void TearDown() override {
    HKEY key = nullptr;
    if (::RegOpenKeyExA(HKEY_LOCAL_MACHINE, kMounted, 0, KEY_SET_VALUE, &key) == ERROR_SUCCESS) {
      for (char letter : mounted_) ::RegDeleteValueA(key, DosDevice(letter).c_str());
      ::RegCloseKey(key);
    }
    for (const auto& usb : hardware_) ::RegDeleteTreeA(HKEY_LOCAL_MACHINE, (std::string(kUsbStor) + "\\" + usb).c_str());
    QMR_SimConfigure(nullptr, nullptr, 0);
  }

  static std::string DosDevice(char letter) { return std::string("\\DosDevices\\") + letter + ":"; }

  // The volume's device path as the system stores it: UTF-16LE, REG_BINARY.
  void Mount(char letter, const std::string& devicePath, bool withTerminator = false) {
    std::vector<uint8_t> data;
    for (char c : devicePath) data.insert(data.end(), {uint8_t(c), 0});
    if (withTerminator) data.insert(data.end(), {0, 0});
    HKEY key = nullptr;
    ASSERT_EQ(::RegCreateKeyExA(HKEY_LOCAL_MACHINE, kMounted, 0, nullptr, 0, KEY_SET_VALUE, nullptr, &key, nullptr),
              ERROR_SUCCESS);
    ASSERT_EQ(::RegSetValueExA(key, DosDevice(letter).c_str(), 0, REG_BINARY, data.data(), DWORD(data.size())),
              ERROR_SUCCESS);
    ::RegCloseKey(key);
    mounted_.push_back(letter);
  }

  // A storage device instance under USBSTOR\<usbString>; an empty prefix
  // writes no ParentIdPrefix value.
  void AddInstance(const std::string& usbString, const std::string& instance, const std::string& parentIdPrefix) {
    const std::string path = std::string(kUsbStor) + "\\" + usbString + "\\" + instance;
    HKEY key = nullptr;
    ASSERT_EQ(::RegCreateKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0, KEY_SET_VALUE, nullptr, &key, nullptr),
              ERROR_SUCCESS);
    if (!parentIdPrefix.empty())
      ASSERT_EQ(::RegSetValueExA(key, "ParentIdPrefix", 0, REG_SZ,
                                 reinterpret_cast<const BYTE*>(parentIdPrefix.c_str()), DWORD(parentIdPrefix.size() + 1)),
                ERROR_SUCCESS);
    ::RegCloseKey(key);
    hardware_.push_back(usbString);
  }

  struct Answer {
    int result;
    std::string text;
  };
  static Answer Parent(char letter) {
    char out[36] = {};
    const int r = TVQ_GetDeviceParentString(letter, out);
    return {r, std::string(out, strnlen(out, sizeof out))};
  }
  static Answer UsbString(char letter) {
    char out[128] = {};
    const int r = TVQ_GetUSBString(letter, out);
    return {r, out};
  }

  std::vector<char> mounted_;
  std::vector<std::string> hardware_;
};

// A volume of a USB disk on Windows 7 and later.
std::string StoragePath(const std::string& instance) {
  return "\\??\\USBSTOR#Disk&Ven_Generic&Prod_RQ4820_Disk&Rev_1.00#" + instance +
         "#{53f56307-b6bf-11d0-94f2-00a0c91efb8b}";
}
// A volume of a USB disk on Windows XP: a removable-media instance.
std::string MediaPath(const std::string& piece) {
  return "\\??\\STORAGE#RemovableMedia#" + piece + "#{53f5630d-b6bf-11d0-94f2-00a0c91efb8b}";
}

class From6 : public RegistryRoad {
 protected:
  void SetUp() override {
    ASSERT_GE(MajorVersion(), 6) << "this program should see Windows 6 or later";
    RegistryRoad::SetUp();
  }
};

TEST_F(From6, TheInstancePieceIsTheParentString) {
  struct Case {
    const char* name;
    std::string path;
    bool withTerminator;
    Answer parent;
    int lun;
  } cases[] = {
      {"unit 0", StoragePath("000000012345&0"), false, {1, "000000012345&0"}, 0},
      {"unit 1", StoragePath("000000012345&1"), false, {1, "000000012345&1"}, 1},
      {"stored with its terminator", StoragePath("000000012345&0"), true, {1, "000000012345&0"}, 0},
      {"one # only: the whole text", "abc#def1", false, {1, "abc#def1"}, 1},
      {"no # at all", "QMR&0", false, {1, "QMR&0"}, 0},
      {"last character not a digit reads as unit 0", StoragePath("000000012345&X"), false, {1, "000000012345&X"}, 0},
      {"the last two # side by side", "\\??\\USBSTOR#Disk##", false, {0, ""}, -1},
      {"an empty path", "", false, {0, ""}, -1},
      {"a piece of 31 characters", StoragePath(std::string(29, '7') + "&1"), false, {1, std::string(29, '7') + "&1"}, 1},
      {"a piece of 32 characters", StoragePath(std::string(30, '7') + "&0"), false, {0, ""}, -1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Mount('P', c.path, c.withTerminator);
    const Answer parent = Parent('P');
    EXPECT_EQ(parent.result, c.parent.result);
    EXPECT_EQ(parent.text, c.parent.text);
    EXPECT_EQ(TVQ_GetDeviceLun('P', nullptr), c.lun);
  }
}

TEST_F(From6, NoDevicesNeeded) {
  // From version 6 on only the registry is read: a letter no device stands
  // behind still has its parent string.
  Mount('Q', StoragePath("000000077777&0"));
  EXPECT_EQ(Parent('Q').text, "000000077777&0");
  EXPECT_EQ(TVQ_GetDeviceLun('Q', nullptr), 0);
  // A letter without an entry has none.
  EXPECT_EQ(Parent('W').result, 0);
  EXPECT_EQ(TVQ_GetDeviceLun('W', nullptr), -1);
}

TEST_F(From6, OutputIsNotTerminated) {
  Mount('P', StoragePath("000000012345&0"));
  char out[36];
  std::memset(out, 'x', sizeof out);
  ASSERT_EQ(TVQ_GetDeviceParentString('P', out), 1);
  EXPECT_EQ(std::string(out, 16), "000000012345&0xx");
}

class Before6 : public RegistryRoad {
 protected:
  void SetUp() override {
    ASSERT_LT(MajorVersion(), 6) << "this program should see Windows XP (set up by scripts/wine-prefix.sh)";
    RegistryRoad::SetUp();
  }
};

TEST_F(Before6, TheInstanceWhoseParentIdPrefixBeginsThePiece) {
  Mount('P', MediaPath("7&2c4a1b3&0&RM"));
  AddInstance(kUsbString, "000000099999&0", "7&ffff&0");  // another device of the same kind
  AddInstance(kUsbString, "000000055555&0", "");          // one without the value
  AddInstance(kUsbString, "000000012345&0", "7&2c4a1b3&0");
  EXPECT_EQ(UsbString('P').text, kUsbString);
  const Answer parent = Parent('P');
  EXPECT_EQ(parent.result, 1);
  EXPECT_EQ(parent.text, "000000012345&0");
  EXPECT_EQ(TVQ_GetDeviceLun('P', const_cast<char*>(kUsbString)), 0);
}

TEST_F(Before6, UnitFromTheInstanceName) {
  struct Case {
    const char* name;
    std::string instance;
    int lun;
  } cases[] = {
      {"unit 1", "000000012345&1", 1},
      {"unit 0", "000000012345&0", 0},
      {"13 characters: unit 0 whatever the digit", "00000001234&1", 0},
      {"a digit beyond 1 reads as 0", "000000012345&2", 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Mount('P', MediaPath("7&2c4a1b3&0&RM"));
    AddInstance(kUsbString, c.instance, "7&2c4a1b3&0");
    EXPECT_EQ(Parent('P').text, c.instance);
    EXPECT_EQ(TVQ_GetDeviceLun('P', const_cast<char*>(kUsbString)), c.lun);
    ::RegDeleteTreeA(HKEY_LOCAL_MACHINE, (std::string(kUsbStor) + "\\" + kUsbString).c_str());
  }
}

TEST_F(Before6, NothingFound) {
  // No instance matches: success with the output untouched, but no unit.
  Mount('P', MediaPath("7&2c4a1b3&0&RM"));
  AddInstance(kUsbString, "000000099999&0", "7&ffff&0");
  const Answer parent = Parent('P');
  EXPECT_EQ(parent.result, 1);
  EXPECT_EQ(parent.text, "");
  EXPECT_EQ(TVQ_GetDeviceLun('P', const_cast<char*>(kUsbString)), -1);

  // No hardware key for the device at all.
  Mount('S', MediaPath("7&2c4a1b3&0&RM"));
  EXPECT_EQ(Parent('S').result, 0);
  EXPECT_EQ(TVQ_GetDeviceLun('S', const_cast<char*>(kTwoWordUsbString)), -1);

  // The caller gave no USB string.
  EXPECT_EQ(TVQ_GetDeviceLun('P', nullptr), -1);
}

TEST_F(Before6, DevicesThatDoNotOpenHaveNoParent) {
  AddInstance(kUsbString, "000000012345&0", "7&2c4a1b3&0");
  // T answers the identify command with (1, 0); Q is no device at all.
  for (char letter : {'T', 'Q'}) {
    SCOPED_TRACE(letter);
    Mount(letter, MediaPath("7&2c4a1b3&0&RM"));
    EXPECT_EQ(UsbString(letter).result, 0);
    EXPECT_EQ(Parent(letter).result, 0);
  }
}

// The USB string comes from the device on either road.
TEST_F(RegistryRoad, UsbStringFromTheInquiryData) {
  EXPECT_EQ(UsbString('P').text, kUsbString);
  EXPECT_EQ(UsbString('S').text, kTwoWordUsbString);
  EXPECT_EQ(UsbString('T').result, 0);
  EXPECT_EQ(UsbString('Q').result, 0);
}

}  // namespace
