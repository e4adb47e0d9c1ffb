// Arbitrary bytes as a simulator description (what QMR52916_SIMULATE holds):
// either a refusal with a short, printable message, or a configuration whose
// every field lies in its range and whose bus answers the family's commands.
#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>

#include "fuzz_support.h"
#include "sim/sim.h"

namespace {

namespace fuzz = ardentix::fuzz;
namespace sim = qmr::sim;
using fuzz::Check;

// The longest message a refusal may give: it names a place and shows a cut
// value, never the whole input.
constexpr size_t kMaxErrorChars = 600;

bool Printable(const std::string& s) {
  return std::none_of(s.begin(), s.end(), [](char c) { return (unsigned char)c < 0x20 || c == 0x7F; });
}

bool IsLetter(char c) { return c >= 'A' && c <= 'Z'; }

bool InquiryText(const std::string& s, size_t max) {
  return s.size() <= max && std::all_of(s.begin(), s.end(), [](char c) { return c >= 0x20 && c <= 0x7E; });
}

std::string Trimmed(const std::string& s) {
  size_t a = 0, b = s.size();
  while (a < b && std::isspace((unsigned char)s[a])) ++a;
  while (b > a && std::isspace((unsigned char)s[b - 1])) --b;
  return s.substr(a, b - a);
}

// Text that the parser takes as itself (a count or JSON) rather than as the
// name of a file; anything else goes through a file, so that the input never
// names a file of this machine.
bool ReadAsText(const std::string& s) {
  const std::string t = Trimmed(s);
  return t.empty() || t[0] == '{' || std::all_of(t.begin(), t.end(), [](char c) {
           return (c >= '0' && c <= '9') || c == '+' || c == '-';
         });
}

void CheckConfig(const sim::SimConfig& config) {
  std::set<char> letters;
  std::set<std::string> ids;
  Check(config.devices.size() <= 26);
  for (const sim::DeviceConfig& d : config.devices) {
    Check(IsLetter(d.letter) && letters.insert(d.letter).second);
    Check(d.luns == 1 || d.luns == 2);
    if (d.luns == 2)
      Check(IsLetter(d.lun1Letter) && letters.insert(d.lun1Letter).second);
    else
      Check(d.lun1Letter == 0);
    Check(InquiryText(d.vendor, 8) && InquiryText(d.product, 16) && InquiryText(d.revision, 4));
    Check(d.flashSizeKB >= 1 && d.flashSizeKB <= 262144);
    Check(d.sdSectors >= 1 && d.sdSectors <= 4294967296ull && d.sd2Sectors >= 1 && d.sd2Sectors <= 4294967296ull);
    if (d.serial) Check(d.serial->size() == 12 && std::all_of(d.serial->begin(), d.serial->end(), ::isdigit));
    // With "&" and the unit digit the location string stays within 35 characters.
    Check(!d.usbInstanceId.empty() && d.usbInstanceId.size() <= 32 && ids.insert(d.usbInstanceId).second);
    Check(d.eraseBusyPolls >= 0 && d.plugAtMs >= -1 && d.unplugAtMs >= -1);
    for (const sim::FaultSpec& f : d.faults) Check(f.after >= 0 && f.count >= -1);
  }
}

// The commands the station sends, on every letter of every device.
void DriveBus(const sim::SimConfig& parsed) {
  sim::SimConfig config = parsed;
  for (sim::DeviceConfig& d : config.devices) {
    d.timing = sim::Timing{};  // latencies would only cost time
    // Never files named by random input.
    d.flashFile.clear();
    d.sdFile.clear();
    d.sd2File.clear();
  }
  sim::Bus bus(config);
  for (const auto& device : bus.Devices()) {
    for (int lun = 0; lun < device->config().luns; ++lun) {
      const char letter = device->LetterOf(lun);
      int found = -1;
      // A letter shared by the devices of one port belongs to one of them.
      const auto owner = bus.Owner(letter, &found);
      Check(owner != nullptr && owner->LetterOf(found) == letter);
      if (!device->Open(lun)) continue;
      uint8_t buffer[4096];
      const uint8_t identify[16] = {0xF6};
      device->Execute(lun, identify, sim::Direction::In, buffer, 2);
      const uint8_t inquiry[16] = {0x12, 0, 0, 0, 0, 0, 0, 0, 0x01};
      device->Execute(lun, inquiry, sim::Direction::In, buffer, 36);
      const uint8_t capacity[16] = {0x25, 0, 0, 0, 0, 0, 0, 0, 0x01};
      device->Execute(lun, capacity, sim::Direction::In, buffer, 8);
      const uint8_t flashId[16] = {0xF6, 0x09, 0x01};
      device->Execute(lun, flashId, sim::Direction::In, buffer, 4);
      const uint8_t block0[16] = {0xF6, 0x05, 0x06, 0, 0, 0, 0, 0, 8};
      device->Execute(lun, block0, sim::Direction::In, buffer, 4096);
      const uint8_t erase[16] = {0xF6, 0x15, 0x06, 0, 0, 0, 16};
      device->Execute(lun, erase, sim::Direction::None, nullptr, 0);
      const uint8_t status[16] = {0xF6, 0x01};
      device->Execute(lun, status, sim::Direction::In, buffer, 2);
      const uint8_t readSd[16] = {0x28, 0, 0, 0, 0, 0, 0, 0, 8};
      device->Execute(lun, readSd, sim::Direction::In, buffer, 4096);
      device->Lock(lun);
    }
  }
  const uint32_t mask = bus.DriveMask();
  for (char c = 'A'; c <= 'Z'; ++c)
    if (mask & (1u << (c - 'A'))) Check(bus.Find(c, nullptr) != nullptr);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const std::filesystem::path file = fuzz::WorkDir("sim-config") / "sim.json";
  std::string description(reinterpret_cast<const char*>(data), size);
  if (!ReadAsText(description)) {
    std::ofstream(file, std::ios::binary | std::ios::trunc) << description;
    description = file.string();
  }
  // The same text as one fault, as QMR_SimAddFault takes it.
  sim::FaultSpec fault;
  std::string faultError;
  if (sim::ParseFault(std::string(reinterpret_cast<const char*>(data), size), fault, faultError))
    Check(faultError.empty() && fault.after >= 0 && fault.count >= -1);
  else
    Check(!faultError.empty() && faultError.size() <= kMaxErrorChars && Printable(faultError));

  sim::SimConfig config;
  std::string error;
  if (!sim::ParseSimSpec(description, config, error)) {
    Check(!error.empty() && error.size() <= kMaxErrorChars + file.string().size());
    Check(Printable(error));
    return 0;
  }
  Check(error.empty());
  CheckConfig(config);
  DriveBus(config);
  return 0;
}
