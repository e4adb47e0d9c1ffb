#include "drives/usb_disks.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <optional>

namespace qmr::drives {
namespace {

namespace fs = std::filesystem;

std::string ReadAttribute(const fs::path& file) {
  std::ifstream in(file);
  std::string text;
  std::getline(in, text);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t' || text.back() == '\r')) text.pop_back();
  return text;
}

// "H:C:T:L" of a SCSI device directory; -1 when the name is not one.
int LunOf(const std::string& hctl) {
  int colons = 0;
  for (char c : hctl) {
    if (c == ':')
      ++colons;
    else if (c < '0' || c > '9')
      return -1;
  }
  const size_t at = hctl.rfind(':');
  if (colons != 3 || at + 1 >= hctl.size() || hctl.size() - at > 6) return -1;
  return std::stoi(hctl.substr(at + 1));
}

// "1-1.10" -> {1, 1, 10}; nullopt for anything that is not a port path.
std::optional<std::vector<unsigned long>> PortNumbers(const std::string& path) {
  std::vector<unsigned long> numbers;
  unsigned long n = 0;
  bool digits = false;
  for (char c : path) {
    if (c >= '0' && c <= '9') {
      if (n > 1'000'000) return std::nullopt;
      n = n * 10 + unsigned(c - '0');
      digits = true;
    } else if ((c == '-' || c == '.') && digits) {
      numbers.push_back(n);
      n = 0;
      digits = false;
    } else {
      return std::nullopt;
    }
  }
  if (!digits) return std::nullopt;
  numbers.push_back(n);
  return numbers;
}

bool IsUnder(const fs::path& path, const fs::path& root) {
  auto p = path.begin();
  for (auto r = root.begin(); r != root.end(); ++r, ++p)
    if (p == path.end() || *p != *r) return false;
  return true;
}

}  // namespace

std::string DiskName(const std::string& node) { return fs::path(node).filename().string(); }

bool DescribeUsbDisk(const std::string& sysfsRoot, const std::string& name, UsbDisk& out) {
  std::error_code ec;
  const fs::path root = fs::canonical(sysfsRoot, ec);
  if (ec || name.empty()) return false;
  const fs::path disk = root / "block" / name;
  // /sys/block/sdb/device leads to the SCSI device ".../1-1.2:1.0/host6/target6:0:0/6:0:0:0".
  const fs::path scsi = fs::canonical(disk / "device", ec);
  if (ec) return false;
  const int lun = LunOf(scsi.filename().string());
  if (lun < 0) return false;
  // The nearest ancestor with idVendor is the USB device; its interfaces have none.
  for (fs::path p = scsi.parent_path(); IsUnder(p, root) && p != root; p = p.parent_path()) {
    if (!fs::exists(p / "idVendor", ec)) continue;
    out.name = name;
    out.identity = scsi.string();
    out.portPath = p.filename().string();
    out.serial = ReadAttribute(p / "serial");
    out.lun = lun;
    out.removable = ReadAttribute(disk / "removable") == "1";
    return true;
  }
  return false;
}

std::vector<UsbDisk> ScanUsbDisks(const std::string& sysfsRoot) {
  std::vector<UsbDisk> disks;
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator(fs::path(sysfsRoot) / "block", ec)) {
    const std::string name = entry.path().filename().string();
    if (name.rfind("sd", 0) != 0) continue;
    UsbDisk disk;
    if (DescribeUsbDisk(sysfsRoot, name, disk) && disk.removable) disks.push_back(std::move(disk));
  }
  std::sort(disks.begin(), disks.end(), [](const UsbDisk& a, const UsbDisk& b) {
    if (a.portPath != b.portPath) return PortPathLess(a.portPath, b.portPath);
    if (a.lun != b.lun) return a.lun < b.lun;
    return a.name < b.name;
  });
  return disks;
}

bool PortPathLess(const std::string& a, const std::string& b) {
  const auto x = PortNumbers(a);
  const auto y = PortNumbers(b);
  if (x && y && *x != *y) return *x < *y;
  if (x.has_value() != y.has_value()) return x.has_value();  // real port paths first
  return a < b;
}

}  // namespace qmr::drives
