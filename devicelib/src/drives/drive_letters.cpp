#include "drives/drive_letters.h"

#include <set>

#include "drivemap.h"
#include "drives/usb_disks.h"

namespace qmr::drives {
namespace {

constexpr int kFirstLetter = 'C' - 'A';  // A: and B: are never given out

int IndexOf(char letter) { return letter >= 'A' && letter <= 'Z' ? letter - 'A' : -1; }

std::string PortKey(const UsbDisk& disk) { return disk.portPath + ":" + std::to_string(disk.lun); }

}  // namespace

DriveLetters::DriveLetters(std::string sysfsRoot) : root_(std::move(sysfsRoot)) {}

void DriveLetters::Refresh(const std::optional<std::string>& overrideList) {
  std::lock_guard lock(mutex_);
  const auto before = shown_;
  if (overrideList) {
    ApplyOverride(*overrideList);
  } else {
    ApplyScan();
    shown_ = usb_;
  }
  NoteChanges(before);
}

void DriveLetters::ApplyScan() {
  const auto disks = ScanUsbDisks(root_);  // in port order
  std::set<std::string> present;
  for (const auto& d : disks) present.insert(d.identity);
  for (auto& slot : usb_)
    if (!slot.identity.empty() && !present.count(slot.identity)) slot = Slot{};

  for (const auto& d : disks) {
    Slot* kept = nullptr;
    for (auto& slot : usb_)
      if (slot.identity == d.identity) kept = &slot;
    if (kept) {
      kept->node = "/dev/" + d.name;
      continue;
    }
    int chosen = -1;
    const std::string key = PortKey(d);
    const auto previous = portLetters_.find(key);
    if (previous != portLetters_.end() && usb_[size_t(previous->second)].identity.empty()) chosen = previous->second;
    // A new port takes a letter no other port has held: a letter that has
    // just gone free stays with its port, so that another device cannot
    // take it over before the station has seen the first one leave (it
    // would pass for the device that left). Only when none is left does a
    // held letter go to another port.
    for (int pass = 0; pass < 2 && chosen < 0; ++pass)
      for (int i = kFirstLetter; chosen < 0 && i < 26; ++i)
        if (usb_[size_t(i)].identity.empty() && (pass == 1 || !HeldByAnotherPort(i, key))) chosen = i;
    if (chosen < 0) continue;  // all letters taken: it gets one when another leaves
    usb_[size_t(chosen)] = Slot{d.identity, "/dev/" + d.name};
    portLetters_[PortKey(d)] = chosen;
  }
}

bool DriveLetters::HeldByAnotherPort(int letter, const std::string& key) const {
  for (const auto& [port, held] : portLetters_)
    if (held == letter && port != key) return true;
  return false;
}

void DriveLetters::ApplyOverride(const std::string& list) {
  shown_ = {};
  for (const auto& [letter, node] : ParseDriveList(list)) {
    const int i = IndexOf(letter);
    if (i >= 0 && !node.empty()) shown_[size_t(i)] = Slot{"=" + node, node};
  }
}

void DriveLetters::NoteChanges(const std::array<Slot, 26>& before) {
  for (size_t i = 0; i < 26; ++i) {
    if (before[i].identity == shown_[i].identity) continue;
    if (!before[i].identity.empty()) removed_ |= 1u << i;
    if (!shown_[i].identity.empty()) arrived_ |= 1u << i;
  }
}

uint32_t DriveLetters::Mask() {
  std::lock_guard lock(mutex_);
  uint32_t mask = 0;
  for (size_t i = 0; i < 26; ++i)
    if (!shown_[i].identity.empty()) mask |= 1u << i;
  return mask;
}

std::string DriveLetters::Node(char letter) {
  std::lock_guard lock(mutex_);
  const int i = IndexOf(letter);
  return i < 0 ? std::string() : shown_[size_t(i)].node;
}

void DriveLetters::TakeChanges(uint32_t& arrived, uint32_t& removed) {
  std::lock_guard lock(mutex_);
  arrived = arrived_;
  removed = removed_;
  arrived_ = removed_ = 0;
}

}  // namespace qmr::drives
