// A small /sys in a temporary folder: SCSI disks of USB devices (and others)
// laid out as the kernel does, with the symlinks the code has to follow.
#pragma once

#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace ardentix::test {

class FakeSysfs {
 public:
  struct Disk {
    std::string name;           // "sdb"
    std::string port = "1-1";   // USB port path; "" for a disk that is not on USB
    int host = 6;               // SCSI host number: a re-plugged device gets a new one
    int lun = 0;
    std::string serial;         // "" writes no serial attribute
    bool removable = true;
    std::string dev = "8:16";   // major:minor of the disk
    std::vector<int> partitions;  // numbers; partition n gets minor + n
    // /sys/block/<name> as a real folder whose "device" link points into
    // /sys/devices, instead of a link to the disk's folder there.
    bool flatBlockDir = false;

    explicit Disk(std::string diskName) : name(std::move(diskName)) {}
    Disk& Port(std::string p) { return port = std::move(p), *this; }
    Disk& Host(int h) { return host = h, *this; }
    Disk& Lun(int l) { return lun = l, *this; }
    Disk& Serial(std::string s) { return serial = std::move(s), *this; }
    Disk& Fixed() { return removable = false, *this; }
    Disk& Dev(std::string d) { return dev = std::move(d), *this; }
    Disk& Partitions(std::vector<int> p) { return partitions = std::move(p), *this; }
    Disk& Flat() { return flatBlockDir = true, *this; }
  };

  FakeSysfs() {
    static std::atomic<int> counter{0};
    root_ = std::filesystem::temp_directory_path() /
            ("ardentix-sysfs-" + std::to_string(::getpid()) + "-" + std::to_string(counter++));
    std::filesystem::remove_all(root_);
    std::filesystem::create_directories(root_ / "block");
  }
  ~FakeSysfs() {
    std::error_code ec;
    std::filesystem::remove_all(root_, ec);
  }
  FakeSysfs(const FakeSysfs&) = delete;
  FakeSysfs& operator=(const FakeSysfs&) = delete;

  std::string root() const { return root_.string(); }

  // The SCSI device folder of a disk, relative to the root.
  static std::string ScsiPath(const Disk& d) {
    const std::string h = std::to_string(d.host);
    const std::string hctl = "host" + h + "/target" + h + ":0:0/" + h + ":0:0:" + std::to_string(d.lun);
    if (d.port.empty()) return "devices/pci0000:00/0000:00:17.0/ata1/" + hctl;
    return "devices/pci0000:00/0000:00:14.0/" + UsbChain(d.port) + "/" + d.port + ":1.0/" + hctl;
  }

  void Add(const Disk& d) {
    namespace fs = std::filesystem;
    const std::string scsi = ScsiPath(d);
    fs::create_directories(root_ / scsi);
    if (!d.port.empty()) {
      // Every USB device on the way (root hub, hubs, the device) has idVendor.
      std::string path = "devices/pci0000:00/0000:00:14.0";
      for (const auto& part : Split(UsbChain(d.port))) {
        path += "/" + part;
        Write(path + "/idVendor", "05e3");
      }
      if (!d.serial.empty()) Write(path + "/serial", d.serial);
    }
    std::string diskDir;
    if (d.flatBlockDir) {
      diskDir = "block/" + d.name;
      fs::create_directories(root_ / diskDir);
      fs::create_directory_symlink("../../" + scsi, root_ / diskDir / "device");
    } else {
      diskDir = scsi + "/block/" + d.name;
      fs::create_directories(root_ / diskDir);
      fs::create_directory_symlink("../../../" + Leaf(scsi), root_ / diskDir / "device");
      fs::create_directory_symlink("../" + diskDir, root_ / "block" / d.name);
    }
    Write(diskDir + "/removable", d.removable ? "1" : "0");
    Write(diskDir + "/dev", d.dev);
    const auto colon = d.dev.find(':');
    const int major = std::stoi(d.dev.substr(0, colon));
    const int minor = std::stoi(d.dev.substr(colon + 1));
    for (int n : d.partitions) {
      const std::string part = diskDir + "/" + d.name + std::to_string(n);
      Write(part + "/partition", std::to_string(n));
      Write(part + "/dev", std::to_string(major) + ":" + std::to_string(minor + n));
    }
  }

  // The disk leaves: its block entry and its SCSI device go.
  void Remove(const Disk& d) {
    std::error_code ec;
    std::filesystem::remove_all(root_ / "block" / d.name, ec);
    std::filesystem::remove_all(root_ / ScsiPath(d), ec);
  }

 private:
  // "1-1.2" -> "usb1/1-1/1-1.2"
  static std::string UsbChain(const std::string& port) {
    const std::string bus = port.substr(0, port.find('-'));
    std::string chain = "usb" + bus;
    std::string prefix;
    size_t start = 0;
    while (start <= port.size()) {
      const size_t dot = port.find('.', start);
      const size_t end = dot == std::string::npos ? port.size() : dot;
      chain += "/" + port.substr(0, end);
      if (dot == std::string::npos) break;
      start = dot + 1;
    }
    return chain;
  }
  static std::vector<std::string> Split(const std::string& path) {
    std::vector<std::string> parts;
    size_t start = 0;
    while (true) {
      const size_t slash = path.find('/', start);
      parts.push_back(path.substr(start, slash - start));
      if (slash == std::string::npos) return parts;
      start = slash + 1;
    }
  }
  static std::string Leaf(const std::string& path) { return path.substr(path.rfind('/') + 1); }
  void Write(const std::string& relative, const std::string& text) {
    std::filesystem::create_directories((root_ / relative).parent_path());
    std::ofstream(root_ / relative) << text << "\n";
  }

  std::filesystem::path root_;
};

}  // namespace ardentix::test
