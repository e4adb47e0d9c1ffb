// The registry walk of both Windows roads, against a fake registry that
// keeps the Win32 rules that matter: case-insensitive names, buffers that
// refuse what does not fit, keys that must be closed.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "location/registry.h"

namespace qmr::location {
namespace {

struct CaseLess {
  bool operator()(const std::string& a, const std::string& b) const {
    return std::lexicographical_compare(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
      return std::tolower(static_cast<unsigned char>(x)) < std::tolower(static_cast<unsigned char>(y));
    });
  }
};

class FakeRegistry final : public Registry {
 public:
  int version = 10;

  void SetValue(const std::string& key, const std::string& name, std::vector<uint8_t> data) {
    Add(key);
    keys_[Trim(key)].values[name] = std::move(data);
  }
  void SetText(const std::string& key, const std::string& name, const std::string& text) {
    SetValue(key, name, std::vector<uint8_t>(text.begin(), text.end() + 1));
  }
  void Add(const std::string& key) {
    const std::string k = Trim(key);
    if (keys_.count(k)) return;
    keys_[k];
    const auto slash = k.rfind('\\');
    if (slash == std::string::npos) return;
    Add(k.substr(0, slash));
    keys_[k.substr(0, slash)].subkeys.push_back(k.substr(slash + 1));
  }
  int OpenKeys() const { return int(open_.size()); }

  bool OpenKey(const char* path, Key* key) override {
    const auto it = keys_.find(Trim(path));
    if (it == keys_.end()) return false;
    open_.push_back(&it->second);
    *key = &it->second;
    return true;
  }
  bool EnumKey(Key key, uint32_t index, char* name, uint32_t nameChars) override {
    const auto& subkeys = Node(key).subkeys;
    if (index >= subkeys.size() || subkeys[index].size() + 1 > nameChars) return false;
    std::memcpy(name, subkeys[index].c_str(), subkeys[index].size() + 1);
    return true;
  }
  bool QueryValue(Key key, const char* valueName, uint8_t* buffer, uint32_t* size) override {
    const auto& values = Node(key).values;
    const auto it = values.find(valueName);
    if (it == values.end() || it->second.size() > *size) return false;
    std::copy(it->second.begin(), it->second.end(), buffer);
    *size = uint32_t(it->second.size());
    return true;
  }
  void CloseKey(Key key) override {
    const auto it = std::find(open_.begin(), open_.end(), key);
    ASSERT_NE(it, open_.end()) << "closing a key that is not open";
    open_.erase(it);
  }
  int GetOsMajorVersion() override { return version; }

 private:
  struct KeyNode {
    std::map<std::string, std::vector<uint8_t>, CaseLess> values;
    std::vector<std::string> subkeys;
  };
  static std::string Trim(std::string path) {
    while (!path.empty() && path.back() == '\\') path.pop_back();
    return path;
  }
  KeyNode& Node(Key key) { return *static_cast<KeyNode*>(key); }
  std::map<std::string, KeyNode, CaseLess> keys_;
  std::vector<void*> open_;
};

std::vector<uint8_t> Utf16(const std::u16string& text) {
  std::vector<uint8_t> bytes;
  for (char16_t c : text) {
    bytes.push_back(uint8_t(c & 0xFF));
    bytes.push_back(uint8_t(c >> 8));
  }
  return bytes;
}

std::u16string Widen(const std::string& text) { return std::u16string(text.begin(), text.end()); }

constexpr const char* kMounted = "SYSTEM\\MountedDevices";
constexpr const char* kUsbString = "DISK&VEN_Generic&PROD_RQ4820_Disk&REV_1.00";
// How Windows spells the same hardware key; the registry ignores case.
constexpr const char* kHardwareKey =
    "SYSTEM\\CurrentControlSet\\Enum\\USBSTOR\\Disk&Ven_Generic&Prod_RQ4820_Disk&Rev_1.00";
constexpr const char* kVolumeGuid = "{53f56307-b6bf-11d0-94f2-00a0c91efb8b}";

void Mount(FakeRegistry& r, char letter, const std::u16string& path) {
  r.SetValue(kMounted, std::string("\\DosDevices\\") + letter + ":", Utf16(path));
}

std::u16string UsbVolume(const std::string& instance) {
  return Widen("\\??\\USBSTOR#Disk&Ven_Generic&Prod_RQ4820_Disk&Rev_1.00#" + instance + "#" + kVolumeGuid);
}

// The parent string as the station reads it: 36 zeroed bytes.
struct Answer {
  int result;
  std::string text;
};
Answer Parent(FakeRegistry& r, char letter, const UsbStringSource& usb = nullptr) {
  char out[36] = {};
  const int result = RegistryParentString(r, letter, out, usb);
  EXPECT_EQ(r.OpenKeys(), 0) << "a key was left open";
  return {result, std::string(out, strnlen(out, sizeof out))};
}

TEST(MountedInstance, PieceBetweenTheLastTwoHashes) {
  struct Case {
    const char* name;
    std::u16string path;
    bool ok;
    std::string piece;
  } cases[] = {
      {"usb volume", UsbVolume("000000012345&0"), true, "000000012345&0"},
      {"exactly one hash: the whole text", u"abc#def", true, "abc#def"},
      {"no hash: the whole text", u"STORAGE", true, "STORAGE"},
      {"adjacent last hashes", Widen("\\??\\USBSTOR#Disk##") + Widen(kVolumeGuid), false, ""},
      {"empty value", u"", false, ""},
      {"31 characters fit", Widen("a#" + std::string(31, 'x') + "#b"), true, std::string(31, 'x')},
      {"32 characters are refused, not cut", Widen("a#" + std::string(32, 'x') + "#b"), false, ""},
      {"non-ASCII becomes ?", u"a#S\u00e9r\u4e2d&0#b", true, "S?r?&0"},
      {"a surrogate pair is one character", u"a#X\U0001F600Y&0#b", true, "X?Y&0"},
      {"a NUL unit ends the text", std::u16string(u"a#IN&1#b\0#more#x", 16), true, "IN&1"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    FakeRegistry r;
    Mount(r, 'E', c.path);
    char piece[kInstancePieceBytes] = {};
    EXPECT_EQ(ReadMountedInstance(r, 'E', piece), c.ok);
    if (c.ok) {
      EXPECT_EQ(std::string(piece), c.piece);
    }
    EXPECT_EQ(r.OpenKeys(), 0);
  }
}

TEST(MountedInstance, FailsWithoutAUsableEntry) {
  FakeRegistry none;
  char piece[kInstancePieceBytes];
  EXPECT_FALSE(ReadMountedInstance(none, 'E', piece)) << "no MountedDevices key";

  FakeRegistry other;
  Mount(other, 'F', UsbVolume("000000012345&0"));
  EXPECT_FALSE(ReadMountedInstance(other, 'E', piece)) << "no entry for the letter";

  FakeRegistry large;  // more than the 1024-byte value buffer
  Mount(large, 'E', Widen("a#b#" + std::string(520, 'c')));
  EXPECT_FALSE(ReadMountedInstance(large, 'E', piece));
  EXPECT_EQ(large.OpenKeys(), 0);
}

TEST(Utf16Conversion, StopsAtTheBufferAndOddBytes) {
  const auto bytes = Utf16(u"ABCDEF");
  char out[4];
  Utf16ToNarrow(bytes.data(), bytes.size(), out, sizeof out);
  EXPECT_STREQ(out, "ABC");
  char all[16];
  Utf16ToNarrow(bytes.data(), 5, all, sizeof all);  // the half unit at the end is dropped
  EXPECT_STREQ(all, "AB");
}

// Version 6 and later: the piece is the storage device's instance id.
TEST(RegistryLocation, FromVersion6ThePieceIsTheAnswer) {
  FakeRegistry r;
  r.version = 6;
  Mount(r, 'E', UsbVolume("000000012345&0"));
  Mount(r, 'F', UsbVolume("000000012345&1"));
  Mount(r, 'G', UsbVolume("0000000ABCDE&X"));
  int usbAsked = 0;
  const UsbStringSource usb = [&](char, char*) { return ++usbAsked, 0; };

  EXPECT_EQ(Parent(r, 'E', usb).text, "000000012345&0");
  const Answer f = Parent(r, 'F', usb);
  EXPECT_EQ(f.result, 1);
  EXPECT_EQ(f.text.back() - '0', 1) << "the station reads unit 1 from the last character";
  EXPECT_EQ(usbAsked, 0) << "this road never opens the device";

  EXPECT_EQ(RegistryDeviceLun(r, 'E', nullptr), 0);
  EXPECT_EQ(RegistryDeviceLun(r, 'F', nullptr), 1);
  EXPECT_EQ(RegistryDeviceLun(r, 'G', nullptr), 0) << "a last character that is no digit reads as 0";
  EXPECT_EQ(RegistryDeviceLun(r, 'H', nullptr), -1);
  EXPECT_EQ(Parent(r, 'H', usb).result, 0);
  EXPECT_EQ(r.OpenKeys(), 0);
}

TEST(RegistryLocation, OutputIsNotTerminated) {
  FakeRegistry r;
  Mount(r, 'E', UsbVolume("000000012345&0"));
  char out[36];
  std::memset(out, 'X', sizeof out);
  ASSERT_EQ(RegistryParentString(r, 'E', out, nullptr), 1);
  EXPECT_EQ(std::string(out, 15), "000000012345&0X");
}

// Before version 6 the piece is the removable-media id; the storage
// instance is the one whose ParentIdPrefix begins it.
class OldRoad : public ::testing::Test {
 protected:
  void SetUp() override {
    r.version = 5;
    Mount(r, 'E', Widen("\\??\\STORAGE#RemovableMedia#7&2a3b4c5d&0&RM#{53f5630d-b6bf-11d0-94f2-00a0c91efb8b}"));
    Instance("0123456789AB&0", "7&11111111&0");
    r.Add(std::string(kHardwareKey) + "\\NoPrefix&0");
    Instance("000000012345&0", "7&2a3b4c5d&0");
    Instance("999999999999&0", "7&2a3b4c5d&0");  // a later match is never reached
  }
  void Instance(const std::string& name, const std::string& prefix) {
    r.SetText(std::string(kHardwareKey) + "\\" + name, "ParentIdPrefix", prefix);
  }
  UsbStringSource Usb(const char* text) {
    return [text, this](char letter, char* out) {
      asked.push_back(letter);
      if (text == nullptr) return 0;
      std::memcpy(out, text, std::strlen(text));
      return 1;
    };
  }
  FakeRegistry r;
  std::string asked;
};

TEST_F(OldRoad, FindsTheInstanceByItsParentIdPrefix) {
  const Answer a = Parent(r, 'E', Usb(kUsbString));
  EXPECT_EQ(a.result, 1);
  EXPECT_EQ(a.text, "000000012345&0");
  EXPECT_EQ(asked, "E");
}

TEST_F(OldRoad, VersionQueryFailureTakesThisRoad) {
  r.version = 0;
  EXPECT_EQ(Parent(r, 'E', Usb(kUsbString)).text, "000000012345&0");
}

TEST_F(OldRoad, Failures) {
  EXPECT_EQ(Parent(r, 'E', Usb(nullptr)).result, 0) << "no USB string (identify or INQUIRY failed)";
  EXPECT_EQ(Parent(r, 'E', Usb("DISK&VEN_Other&PROD_X&REV_1")).result, 0) << "no hardware key";

  Mount(r, 'F', u"\\??\\STORAGE#RemovableMedia#8&99&0&RM#x");
  const Answer none = Parent(r, 'F', Usb(kUsbString));
  EXPECT_EQ(none.result, 1) << "a hardware key without a matching instance still succeeds";
  EXPECT_EQ(none.text, "") << "and leaves the output untouched";
}

TEST_F(OldRoad, SkipsInstancesItCannotUse) {
  FakeRegistry fresh;
  fresh.version = 5;
  Mount(fresh, 'E', u"a#7&2a3b4c5d&0&RM#b");
  const std::string key = kHardwareKey;
  // A prefix larger than its 128-byte buffer cannot be read; the walk goes on.
  fresh.SetText(key + "\\Huge&0", "ParentIdPrefix", "7&2a3b4c5d&0" + std::string(130, 'z'));
  fresh.SetText(key + "\\000000012345&0", "ParentIdPrefix", "7&2a3b4c5d&0");
  EXPECT_EQ(Parent(fresh, 'E', Usb(kUsbString)).text, "000000012345&0");

  FakeRegistry tooLong;
  tooLong.version = 5;
  Mount(tooLong, 'E', u"a#7&2a3b4c5d&0&RM#b");
  tooLong.SetText(key + "\\" + std::string(34, '1') + "&0", "ParentIdPrefix", "7&2a3b4c5d&0");
  EXPECT_EQ(Parent(tooLong, 'E', Usb(kUsbString)).result, 0) << "36 characters do not fit the caller's buffer";
}

TEST_F(OldRoad, LogicalUnitFromTheInstanceName) {
  struct Case {
    const char* name;
    std::string instance;
    int lun;
  } cases[] = {
      {"14 characters ending in 1", "000000012345&1", 1},
      {"14 characters ending in 0", "000000012345&0", 0},
      {"13 characters: 0 whatever the digit", "00000001234&1", 0},
      {"ending in 2 reads as 0", "000000012345&2", 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    FakeRegistry fresh;
    fresh.version = 5;
    Mount(fresh, 'E', u"a#7&2a3b4c5d&0&RM#b");
    fresh.SetText(std::string(kHardwareKey) + "\\" + c.instance, "ParentIdPrefix", "7&2a3b4c5d&0");
    EXPECT_EQ(RegistryDeviceLun(fresh, 'E', kUsbString), c.lun);
    EXPECT_EQ(fresh.OpenKeys(), 0);
  }
  EXPECT_EQ(RegistryDeviceLun(r, 'E', nullptr), -1) << "this road needs the caller's USB string";
  EXPECT_EQ(RegistryDeviceLun(r, 'E', "DISK&VEN_Other&PROD_X&REV_1"), -1) << "no hardware key";
  Mount(r, 'F', u"a#8&99&0&RM#b");
  EXPECT_EQ(RegistryDeviceLun(r, 'F', kUsbString), -1) << "no matching instance";
  EXPECT_EQ(RegistryDeviceLun(r, 'Q', kUsbString), -1) << "no mounted entry";
}

}  // namespace
}  // namespace qmr::location
