// What the system says about a drive, from the input: the registry's
// mounted-device paths, instance names and ParentIdPrefix values (the
// Windows road, over a fake registry), or a /sys tree whose serials, SCSI
// addresses and port folders come from the input (the Linux road). Either
// way the location string is bounded, ends in the unit digit, every
// registry key opened is closed again, and the drive letters stay sane.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "drivemap.h"
#include "drives/drive_letters.h"
#include "drives/usb_disks.h"
#include "fuzz_support.h"
#include "location/registry.h"
#include "location/sysfs_location.h"
#include "location/usb_string.h"

namespace {

namespace fuzz = ardentix::fuzz;
namespace loc = qmr::location;
using fuzz::Check;

// HKEY_LOCAL_MACHINE as the Win32 "A" functions show it: a name that does
// not fit, or data larger than the buffer, is refused.
class FakeRegistry final : public loc::Registry {
 public:
  struct KeyData {
    std::vector<std::string> subkeys;
    std::map<std::string, std::string> values;
  };
  std::map<std::string, KeyData> keys;
  int version = 0;
  int openKeys = 0;

  bool OpenKey(const char* path, Key* key) override {
    auto it = keys.find(path);
    if (it == keys.end()) return false;
    ++openKeys;
    *key = &it->second;
    return true;
  }
  bool EnumKey(Key key, uint32_t index, char* name, uint32_t nameChars) override {
    const auto& subkeys = static_cast<KeyData*>(key)->subkeys;
    if (index >= subkeys.size() || subkeys[index].size() + 1 > nameChars) return false;
    std::memcpy(name, subkeys[index].c_str(), subkeys[index].size() + 1);
    return true;
  }
  bool QueryValue(Key key, const char* valueName, uint8_t* buffer, uint32_t* size) override {
    const auto& values = static_cast<KeyData*>(key)->values;
    auto it = values.find(valueName);
    if (it == values.end() || it->second.size() > *size) return false;
    std::memcpy(buffer, it->second.data(), it->second.size());  // no terminator added
    *size = uint32_t(it->second.size());
    return true;
  }
  void CloseKey(Key) override { --openKeys; }
  int GetOsMajorVersion() override { return version; }
};

constexpr const char* kMounted = "SYSTEM\\MountedDevices\\";
constexpr const char* kUsbStor = "SYSTEM\\CurrentControlSet\\Enum\\USBSTOR\\";

std::string Utf16(const std::string& text) {
  std::string out;
  for (unsigned char c : text) out += char(c), out += '\0';
  return out;
}

// A cleared buffer: the text, at most max characters, and nothing after it.
size_t CheckText(const char* out, size_t size, size_t max) {
  const size_t n = strnlen(out, size);
  Check(n <= max);
  for (size_t i = n; i < size; ++i) Check(out[i] == 0);
  return n;
}

void RegistryRoad(FuzzedDataProvider& in) {
  FakeRegistry registry;
  registry.version = in.ConsumeIntegralInRange<int>(0, 10);
  const char letter = char('C' + in.ConsumeIntegralInRange<int>(0, 23));

  unsigned char inquiry[36];
  const auto inquiryBytes = in.ConsumeBytes<uint8_t>(36);
  std::memset(inquiry, ' ', sizeof inquiry);
  std::copy(inquiryBytes.begin(), inquiryBytes.end(), inquiry);
  const std::string usb = loc::FormatUsbString(inquiry);
  Check(usb.size() <= 48 && usb.rfind("DISK&VEN_", 0) == 0);
  const bool usbWorks = in.ConsumeBool();

  auto& mounted = registry.keys[kMounted];
  const std::string valueName = std::string("\\DosDevices\\") + letter + ":";
  if (!in.ConsumeBool()) {
    // Raw UTF-16 bytes, or a path of 8-bit text widened.
    const std::string path = in.ConsumeRandomLengthString(1200);
    mounted.values[valueName] = in.ConsumeBool() ? path : Utf16(path);
  }
  const std::string hardware = kUsbStor + (in.ConsumeBool() ? usb : in.ConsumeRandomLengthString(64));
  auto& hw = registry.keys[hardware];
  const int instances = in.ConsumeIntegralInRange<int>(0, 6);
  for (int i = 0; i < instances; ++i) {
    const std::string name = in.ConsumeRandomLengthString(300);
    hw.subkeys.push_back(name);
    if (in.ConsumeBool()) registry.keys[hardware + "\\" + name].values["ParentIdPrefix"] = in.ConsumeRandomLengthString(160);
    else if (in.ConsumeBool()) registry.keys[hardware + "\\" + name];
  }

  char piece[loc::kInstancePieceBytes];
  if (loc::ReadMountedInstance(registry, letter, piece)) {
    const size_t n = strnlen(piece, sizeof piece);
    Check(n > 0 && n < sizeof piece);
  }
  if (auto it = mounted.values.find(valueName); it != mounted.values.end()) {
    char text[40];
    const auto& raw = it->second;
    loc::Utf16ToNarrow(reinterpret_cast<const uint8_t*>(raw.data()), raw.size(), text, sizeof text);
    const size_t n = strnlen(text, sizeof text);
    Check(n < sizeof text);
    for (size_t i = 0; i < n; ++i) Check((unsigned char)text[i] < 0x80);
  }
  Check(registry.openKeys == 0);

  const loc::UsbStringSource source = [&](char, char* out) {
    if (!usbWorks) return 0;
    std::memcpy(out, usb.data(), usb.size());
    return 1;
  };
  char parent[64] = {};
  const int found = loc::RegistryParentString(registry, letter, parent, source);
  Check(found == 0 || found == 1);
  Check(registry.openKeys == 0);
  const size_t n = CheckText(parent, sizeof parent, loc::kMaxParentChars);
  if (found == 0) Check(n == 0);
  if (found && registry.version >= 6) Check(n > 0 && n <= 31);

  const int lun = loc::RegistryDeviceLun(registry, letter, usbWorks ? usb.c_str() : nullptr);
  Check(registry.openKeys == 0);
  if (registry.version >= 6) {
    Check(lun >= -1 && lun <= 9);
    if (found) Check(lun == (parent[n - 1] >= '0' && parent[n - 1] <= '9' ? parent[n - 1] - '0' : 0));
  } else {
    Check(lun >= -1 && lun <= 1);
  }
}

// A file or folder name from the input: not empty, no "/", not "." or "..".
std::string Name(FuzzedDataProvider& in, const std::string& fallback) {
  std::string s = in.ConsumeRandomLengthString(40);
  s.erase(std::remove(s.begin(), s.end(), '/'), s.end());
  s.erase(std::remove(s.begin(), s.end(), '\0'), s.end());
  if (s.empty() || s == "." || s == "..") return fallback;
  return s;
}

void SysfsRoad(FuzzedDataProvider& in, const std::filesystem::path& root) {
  namespace fs = std::filesystem;
  std::error_code ec;
  fs::remove_all(root, ec);
  fs::create_directories(root / "block");
  const int disks = in.ConsumeIntegralInRange<int>(0, 5);
  std::vector<std::string> names;
  for (int i = 0; i < disks; ++i) {
    const std::string disk = "sd" + std::string(1, char('a' + i));
    names.push_back(disk);
    // The kernel names ports "1-1.2"; the input picks the numbers.
    std::string port = std::to_string(in.ConsumeIntegralInRange<int>(0, 12)) + "-";
    const int depth = in.ConsumeIntegralInRange<int>(1, 4);
    for (int d = 0; d < depth; ++d)
      port += (d ? "." : "") + std::to_string(in.ConsumeIntegralInRange<unsigned>(0, in.ConsumeBool() ? 2000000 : 9));
    const fs::path usb = root / "devices" / ("usb" + std::to_string(i)) / port;
    const std::string hctl = in.ConsumeBool() ? "6:0:0:" + std::to_string(in.ConsumeIntegralInRange<int>(0, 12))
                                              : Name(in, "6:0:0:0");
    const fs::path scsi = usb / (port + ":1.0") / ("host" + std::to_string(i)) / "target" / hctl;
    fs::create_directories(scsi, ec);
    if (ec) continue;
    // Choices default to a well-formed USB disk: an input that runs out still gets far.
    if (!in.ConsumeBool()) std::ofstream(usb / "idVendor") << "1f3a\n";
    if (in.ConsumeBool()) std::ofstream(usb / "serial", std::ios::binary) << in.ConsumeRandomLengthString(300);
    fs::create_directories(root / "block" / disk);
    std::ofstream(root / "block" / disk / "removable", std::ios::binary)
        << (in.ConsumeBool() ? in.ConsumeRandomLengthString(4) : std::string("1\n"));
    switch (in.ConsumeIntegralInRange<int>(0, 3)) {
      case 0:
        fs::create_directory_symlink(scsi, root / "block" / disk / "device", ec);
        break;
      case 1:  // a link that leads out of the tree
        fs::create_directory_symlink("/", root / "block" / disk / "device", ec);
        break;
      case 2:  // a loop
        fs::create_directory_symlink(root / "block" / disk / "device", root / "block" / disk / "device", ec);
        break;
      default:  // dangling
        fs::create_directory_symlink(root / "nowhere", root / "block" / disk / "device", ec);
        break;
    }
  }

  std::set<std::string> identities;
  for (const std::string& disk : names) {
    qmr::drives::UsbDisk d;
    if (qmr::drives::DescribeUsbDisk(root.string(), disk, d)) {
      Check(d.name == disk && d.lun >= 0 && !d.portPath.empty() && identities.insert(d.identity).second);
    }
    const std::string parent = loc::SysfsParentString(root.string(), disk);
    if (parent.empty()) continue;
    Check(parent.size() <= loc::kMaxParentChars && parent.size() >= 3);
    Check(parent[parent.size() - 2] == '&' && parent.back() >= '0' && parent.back() <= '9');
    for (char c : parent) Check(c > ' ' && c <= '~');
  }

  const auto scanned = qmr::drives::ScanUsbDisks(root.string());
  Check(scanned.size() <= names.size());
  qmr::drives::DriveLetters letters(root.string());
  for (int round = 0; round < 2; ++round) {
    const bool useList = in.ConsumeBool();
    letters.Refresh(useList ? std::optional<std::string>(in.ConsumeRandomLengthString(120)) : std::nullopt);
    const uint32_t mask = letters.Mask();
    Check((mask >> 26) == 0);
    if (!useList) Check((mask & 3) == 0 && size_t(__builtin_popcount(mask)) <= scanned.size());
    std::set<std::string> nodes;
    for (char c = 'A'; c <= 'Z'; ++c) {
      const std::string node = letters.Node(c);
      Check(node.empty() == !(mask & (1u << (c - 'A'))));
      if (!useList && !node.empty()) Check(nodes.insert(node).second);
    }
    uint32_t arrived = 0, removed = 0;
    letters.TakeChanges(arrived, removed);
    Check(((arrived | removed) >> 26) == 0);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const std::filesystem::path root = fuzz::WorkDir("location") / "sys";
  FuzzedDataProvider in(data, size);
  if (in.ConsumeBool())
    RegistryRoad(in);
  else
    SysfsRoad(in, root);
  return 0;
}
