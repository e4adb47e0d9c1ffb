// probe: open drives and print what each reports about itself.
#include <cstdio>
#include <iomanip>
#include <nlohmann/json.hpp>
#include <optional>
#include <ostream>
#include <string>

#include "QMR52916LIB_ext.h"
#include "cli/cli.h"
#include "core/device_handle.h"

namespace ardentix::cli {
namespace {

struct ProbeResult {
  char letter = 0;
  bool opened = false;
  bool identifyPassed = false;
  std::optional<std::string> vendor, product, revision, flashId;
  std::optional<std::string> parent;  // the USB device and logical unit behind the letter
  std::optional<unsigned long long> sectors;
};

std::string Field(const unsigned char* p, size_t n) {
  std::string s(reinterpret_cast<const char*>(p), n);
  const size_t nul = s.find('\0');
  if (nul != std::string::npos) s.resize(nul);
  while (!s.empty() && s.back() == ' ') s.pop_back();
  return s;
}

ProbeResult Probe(char letter) {
  ProbeResult r;
  r.letter = letter;
  DeviceHandle device = DeviceHandle::Open(letter);
  r.identifyPassed = device.valid();
  if (!r.identifyPassed) device = DeviceHandle::OpenPlain(letter);
  if (!device) return r;
  void* h = device.get();
  r.opened = true;
  char parent[36] = {};
  if (TVQ_GetDeviceParentString(letter, parent)) r.parent = Field(reinterpret_cast<unsigned char*>(parent), 35);

  unsigned char inquiry[36] = {};
  if (USB_Inquiry(h, inquiry)) {
    r.vendor = Field(inquiry + 8, 8);
    r.product = Field(inquiry + 16, 16);
    r.revision = Field(inquiry + 32, 4);
  }
  unsigned char id[4] = {};
  if (TVQ_GetFlashID(h, id)) {
    char text[9];
    std::snprintf(text, sizeof text, "%02X%02X%02X%02X", id[0], id[1], id[2], id[3]);
    r.flashId = text;
  }
  // READ CAPACITY gives the last block's address; 0 also means failure.
  const unsigned long last = USB_ReadCapacity(h);
  if (last != 0) r.sectors = static_cast<unsigned long long>(last) + 1;
  return r;
}

template <typename T>
nlohmann::json OrNull(const std::optional<T>& v) {
  return v ? nlohmann::json(*v) : nlohmann::json(nullptr);
}

std::string OrDash(const std::optional<std::string>& v) { return v ? *v : "-"; }

}  // namespace

int ProbeCommand(const Args& args, Context& ctx) {
  bool json = false;
  std::string letters;
  for (const std::string& a : args) {
    if (a == "--json") {
      json = true;
    } else if (a.size() == 1 || (a.size() == 2 && a[1] == ':')) {
      char l = a[0];
      if (l >= 'a' && l <= 'z') l = char(l - 'a' + 'A');
      if (l < 'A' || l > 'Z') {
        ctx.err << "ardentix-cli probe: \"" << a << "\" is not a drive letter\n";
        return kExitUsage;
      }
      letters += l;
    } else {
      ctx.err << "ardentix-cli probe: unexpected argument \"" << a << "\"\n"
              << "usage: ardentix-cli probe [LETTER...] [--json] [--simulate N|FILE]\n";
      return kExitUsage;
    }
  }
  const bool explicitLetters = !letters.empty();
  if (!explicitLetters)
    for (char l = 'C'; l <= 'Z'; ++l) letters += l;

  std::vector<ProbeResult> results;
  bool anyMissing = false;
  for (char l : letters) {
    ProbeResult r = Probe(l);
    if (!r.opened) {
      if (!explicitLetters) continue;
      anyMissing = true;
    }
    results.push_back(r);
  }

  if (json) {
    nlohmann::json list = nlohmann::json::array();
    for (const auto& r : results) {
      list.push_back({{"letter", std::string(1, r.letter)},
                      {"opened", r.opened},
                      {"identify", r.identifyPassed},
                      {"vendor", OrNull(r.vendor)},
                      {"product", OrNull(r.product)},
                      {"revision", OrNull(r.revision)},
                      {"flashId", OrNull(r.flashId)},
                      {"sectors", OrNull(r.sectors)},
                      {"parent", OrNull(r.parent)}});
    }
    ctx.out << list.dump(2) << "\n";
  } else if (!results.empty()) {
    ctx.out << std::left << std::setw(7) << "Drive" << std::setw(10) << "Identify" << std::setw(10) << "Vendor"
            << std::setw(18) << "Product" << std::setw(6) << "Rev" << std::setw(10) << "Flash id"
            << std::setw(11) << "Sectors"
            << "Parent\n";
    for (const auto& r : results) {
      const std::string drive = std::string(1, r.letter) + ":";
      if (!r.opened) {
        ctx.out << std::setw(7) << drive << "cannot be opened\n";
        continue;
      }
      ctx.out << std::setw(7) << drive << std::setw(10) << (r.identifyPassed ? "pass" : "fail") << std::setw(10)
              << OrDash(r.vendor) << std::setw(18) << OrDash(r.product) << std::setw(6) << OrDash(r.revision)
              << std::setw(10) << OrDash(r.flashId) << std::setw(11)
              << (r.sectors ? std::to_string(*r.sectors) : "-") << OrDash(r.parent) << "\n";
    }
  }
  if (results.empty()) {
    ctx.err << "ardentix-cli probe: no drive could be opened\n";
    return kExitFailed;
  }
  return anyMissing ? kExitFailed : kExitOk;
}

}  // namespace ardentix::cli
