// Reading simulator descriptions: a device count, JSON text or a JSON file.
// A description is taken whole or refused whole, with a message that names
// where the bad item sits, so that a typo never runs as a default.
#include <algorithm>
#include <cctype>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>
#include <nlohmann/json.hpp>
#include <set>

#include "config_internal.h"

namespace qmr::sim {

using nlohmann::json;

namespace {

constexpr int kMaxCountDevices = 22;  // E: to Z:
constexpr uint32_t kMaxFlashKB = 262144;
constexpr uint64_t kMaxSdSectors = 4294967296ull;  // 2 TiB, the most READ CAPACITY(10) can describe
constexpr int64_t kMaxLatencyUs = 60'000'000;

constexpr std::string_view kTargetNames[] = {
    "open",       "identify",    "inquiry",      "flash-id", "flash-status",  "flash-read", "flash-write",
    "sector-erase", "chip-erase", "sd-read", "sd-write", "read-capacity", "lock", "location",
};
constexpr std::string_view kActionNames[] = {"fail", "corrupt", "busy", "unplug", "stall"};

std::string JoinNames(const auto& names) {
  std::string s;
  for (std::string_view n : names) {
    if (!s.empty()) s += ", ";
    s += n;
  }
  return s;
}

// Edit distance, to point a typo at the key that was meant.
size_t Distance(std::string_view a, std::string_view b) {
  std::vector<size_t> row(b.size() + 1);
  for (size_t j = 0; j <= b.size(); ++j) row[j] = j;
  for (size_t i = 1; i <= a.size(); ++i) {
    size_t diagonal = row[0];
    row[0] = i;
    for (size_t j = 1; j <= b.size(); ++j) {
      const size_t up = row[j];
      const bool same = std::tolower(static_cast<unsigned char>(a[i - 1])) ==
                        std::tolower(static_cast<unsigned char>(b[j - 1]));
      row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (same ? 0 : 1)});
      diagonal = up;
    }
  }
  return row[b.size()];
}

std::string Show(const json& v) {
  std::string s = v.dump();
  if (s.size() > 40) s = s.substr(0, 37) + "...";
  return s;
}

std::string Quote(std::string_view s) { return "\"" + std::string(s) + "\""; }

// A name taken from the input (a key, a count, a fault name), quoted and cut
// as Show cuts values: a message points at the item, it does not repeat it.
std::string Cut(std::string_view s) { return s.size() > 40 ? std::string(s.substr(0, 37)) + "..." : std::string(s); }
std::string QuoteCut(std::string_view s) { return Quote(Cut(s)); }

// Messages end up on terminals and in message boxes: control characters and
// bytes beyond ASCII (possibly cut UTF-8) are shown as \xNN.
std::string Escaped(std::string_view s) {
  std::string out;
  for (unsigned char c : s) {
    if (c >= 0x20 && c < 0x7F) {
      out += char(c);
    } else {
      char hex[5];
      std::snprintf(hex, sizeof hex, "\\x%02X", c);
      out += hex;
    }
  }
  return out;
}

std::string Join(const std::string& path, std::string_view key) {
  return path.empty() ? std::string(key) : path + "." + std::string(key);
}

std::string Index(const std::string& path, size_t i) { return path + "[" + std::to_string(i) + "]"; }

// Collects the first error of one description.
class Reader {
 public:
  explicit Reader(std::string source, std::string base = "") : source_(std::move(source)), base_(std::move(base)) {}
  // The folder relative file names in the description start from.
  const std::string& base() const { return base_; }

  bool Fail(const std::string& path, const std::string& what) {
    if (error_.empty()) error_ = Escaped(source_ + ": " + (path.empty() ? "" : path + ": ") + what);
    return false;
  }
  const std::string& error() const { return error_; }

  bool Keys(const json& object, const std::string& path, std::initializer_list<std::string_view> allowed) {
    for (auto it = object.begin(); it != object.end(); ++it) {
      const std::string& key = it.key();
      if (std::find(allowed.begin(), allowed.end(), key) != allowed.end()) continue;
      std::string what = "unknown key " + QuoteCut(key);
      std::string_view best;
      size_t bestDistance = 3;
      for (std::string_view candidate : allowed) {
        const size_t d = Distance(key, candidate);
        if (d < bestDistance) bestDistance = d, best = candidate;
      }
      if (!best.empty())
        what += " (did you mean " + Quote(best) + "?)";
      else
        what += " (known keys: " + JoinNames(allowed) + ")";
      return Fail(Join(path, Cut(key)), what);
    }
    return true;
  }

  bool Object(const json& v, const std::string& path) {
    return v.is_object() || Fail(path, "expected an object, got " + Show(v));
  }

  bool Integer(const json& v, const std::string& path, int64_t min, int64_t max, int64_t& out) {
    if (!v.is_number_integer()) return Fail(path, "expected a whole number, got " + Show(v));
    if (v.is_number_unsigned() && v.get<uint64_t>() > uint64_t(INT64_MAX))
      return Fail(path, RangeText(min, max) + ", got " + Show(v));
    const int64_t n = v.get<int64_t>();
    if (n < min || n > max) return Fail(path, RangeText(min, max) + ", got " + Show(v));
    out = n;
    return true;
  }

  bool Rate(const json& v, const std::string& path, double& out) {
    if (!v.is_number() || v.get<double>() < 0)
      return Fail(path, "expected a rate of 0 (instant) or more MB/s, got " + Show(v));
    out = v.get<double>();
    return true;
  }

  bool String(const json& v, const std::string& path, std::string& out) {
    if (!v.is_string()) return Fail(path, "expected a string, got " + Show(v));
    out = v.get<std::string>();
    return true;
  }

  bool Letter(const json& v, const std::string& path, char& out) {
    std::string s;
    if (!v.is_string() || (s = v.get<std::string>()).size() != 1 || s[0] < 'A' || s[0] > 'Z')
      return Fail(path, "expected one drive letter \"A\" to \"Z\", got " + Show(v));
    out = s[0];
    return true;
  }

  bool Hex(const json& v, const std::string& path, uint8_t* out, size_t bytes) {
    const std::string what = "expected " + std::to_string(bytes * 2) + " hex digits, got " + Show(v);
    if (!v.is_string()) return Fail(path, what);
    const std::string s = v.get<std::string>();
    if (s.size() != bytes * 2) return Fail(path, what);
    for (size_t i = 0; i < bytes; ++i) {
      const auto r = std::from_chars(s.data() + 2 * i, s.data() + 2 * i + 2, out[i], 16);
      if (r.ec != std::errc() || r.ptr != s.data() + 2 * i + 2) return Fail(path, what);
    }
    return true;
  }

  bool Text(const json& v, const std::string& path, size_t maxLength, std::string& out) {
    if (!String(v, path, out)) return false;
    if (out.size() > maxLength)
      return Fail(path, "at most " + std::to_string(maxLength) + " characters, got " + Show(v));
    for (char c : out)
      if (c < 0x20 || c > 0x7E) return Fail(path, "only printable ASCII fits the INQUIRY data, got " + Show(v));
    return true;
  }

 private:
  static std::string RangeText(int64_t min, int64_t max) {
    if (max == INT64_MAX) return "expected " + std::to_string(min) + " or more";
    return "expected " + std::to_string(min) + " to " + std::to_string(max);
  }
  std::string source_;
  std::string base_;
  std::string error_;
};

bool ParseTiming(Reader& r, const json& v, const std::string& path, Timing& out) {
  if (v.is_string()) {
    const std::string s = v.get<std::string>();
    if (s == "zero") return out = Timing{}, true;
    if (s == "realistic") return out = Timing::Realistic(), true;
    return r.Fail(path, "expected \"zero\", \"realistic\" or an object, got " + Show(v));
  }
  if (!v.is_object()) return r.Fail(path, "expected \"zero\", \"realistic\" or an object, got " + Show(v));
  if (!r.Keys(v, path,
              {"commandLatencyUs", "sdReadMBps", "sdWriteMBps", "flashReadMBps", "flashWriteMBps", "eraseLatencyUs"}))
    return false;
  Timing t;
  int64_t n = 0;
  for (auto it = v.begin(); it != v.end(); ++it) {
    const std::string p = Join(path, it.key());
    const std::string& k = it.key();
    bool ok = true;
    if (k == "commandLatencyUs") {
      ok = r.Integer(*it, p, 0, kMaxLatencyUs, n);
      t.commandLatencyUs = uint32_t(n);
    } else if (k == "eraseLatencyUs") {
      ok = r.Integer(*it, p, 0, kMaxLatencyUs, n);
      t.eraseLatencyUs = uint32_t(n);
    } else if (k == "sdReadMBps") {
      ok = r.Rate(*it, p, t.sdReadMBps);
    } else if (k == "sdWriteMBps") {
      ok = r.Rate(*it, p, t.sdWriteMBps);
    } else if (k == "flashReadMBps") {
      ok = r.Rate(*it, p, t.flashReadMBps);
    } else if (k == "flashWriteMBps") {
      ok = r.Rate(*it, p, t.flashWriteMBps);
    }
    if (!ok) return false;
  }
  out = t;
  return true;
}

bool ParseFaultObject(Reader& r, const json& v, const std::string& path, FaultSpec& out) {
  if (!r.Object(v, path) || !r.Keys(v, path, {"on", "after", "action", "count", "ms"})) return false;
  if (!v.contains("on")) return r.Fail(path, "missing \"on\" (one of " + JoinNames(kTargetNames) + ")");
  FaultSpec f;
  std::string name;
  if (!r.String(v["on"], Join(path, "on"), name)) return false;
  auto target = std::find(std::begin(kTargetNames), std::end(kTargetNames), name);
  if (target == std::end(kTargetNames))
    return r.Fail(Join(path, "on"), "unknown command " + QuoteCut(name) + " (one of " + JoinNames(kTargetNames) + ")");
  f.on = FaultTarget(target - std::begin(kTargetNames));
  if (v.contains("action")) {
    if (!r.String(v["action"], Join(path, "action"), name)) return false;
    auto action = std::find(std::begin(kActionNames), std::end(kActionNames), name);
    if (action == std::end(kActionNames))
      return r.Fail(Join(path, "action"),
                    "unknown action " + QuoteCut(name) + " (one of " + JoinNames(kActionNames) + ")");
    f.action = FaultAction(action - std::begin(kActionNames));
  }
  if (f.action == FaultAction::Corrupt &&
      (f.on == FaultTarget::Open || f.on == FaultTarget::Lock || f.on == FaultTarget::Location))
    return r.Fail(Join(path, "action"),
                  "\"corrupt\" needs a command that moves data, not " + Quote(FaultTargetName(f.on)));
  // Opening and locking are the host's own steps: nothing there waits for
  // the device's answer.
  if (f.action == FaultAction::Stall && (f.on == FaultTarget::Open || f.on == FaultTarget::Lock))
    return r.Fail(Join(path, "action"), "\"stall\" needs a device command, not " + Quote(FaultTargetName(f.on)));
  int64_t n = 0;
  if (v.contains("ms")) {
    if (f.action != FaultAction::Stall) return r.Fail(Join(path, "ms"), "\"ms\" belongs to the \"stall\" action");
    if (!r.Integer(v["ms"], Join(path, "ms"), 0, INT32_MAX, n)) return false;
    f.ms = n;
  }
  if (v.contains("after")) {
    if (!r.Integer(v["after"], Join(path, "after"), 0, INT32_MAX, n)) return false;
    f.after = int(n);
  }
  if (v.contains("count")) {
    if (!r.Integer(v["count"], Join(path, "count"), -1, INT32_MAX, n)) return false;
    f.count = int(n);
  }
  out = f;
  return true;
}

bool InstanceIdChar(char c) {
  return std::isalnum(static_cast<unsigned char>(c)) || c == '&' || c == '_' || c == '-' || c == '.';
}

bool ParseDevice(Reader& r, const json& v, const std::string& path, int index, const Timing* shared,
                 DeviceConfig& out) {
  if (!r.Object(v, path)) return false;
  if (!r.Keys(v, path,
              {"letter", "luns", "vendor", "product", "revision", "identify", "flashId", "flashSizeKB", "serial",
               "userId", "sdSectors", "sd2Sectors", "lun1Letter", "eraseBusyPolls", "timing", "usbInstanceId",
               "plugAtMs", "unplugAtMs", "faults", "flashFile", "sdFile", "sd2File", "cardSpeed", "cardMBps"}))
    return false;
  if (!v.contains("letter")) return r.Fail(path, "missing \"letter\"");
  DeviceConfig d = DefaultDevice(index);
  d.letter = 0;
  if (shared) d.timing = *shared;
  int64_t n = 0;
  for (auto it = v.begin(); it != v.end(); ++it) {
    const std::string& k = it.key();
    const std::string p = Join(path, k);
    const json& x = *it;
    bool ok = true;
    if (k == "letter") {
      ok = r.Letter(x, p, d.letter);
    } else if (k == "luns") {
      ok = r.Integer(x, p, 1, 2, n);
      d.luns = int(n);
    } else if (k == "vendor") {
      ok = r.Text(x, p, 8, d.vendor);
    } else if (k == "product") {
      ok = r.Text(x, p, 16, d.product);
    } else if (k == "revision") {
      ok = r.Text(x, p, 4, d.revision);
    } else if (k == "identify") {
      if (!x.is_array() || x.size() != 2 || !x[0].is_number_unsigned() || !x[1].is_number_unsigned() ||
          x[0].get<uint64_t>() > 255 || x[1].get<uint64_t>() > 255)
        ok = r.Fail(p, "expected two numbers 0 to 255, got " + Show(x));
      else
        d.identify = {uint8_t(x[0].get<uint64_t>()), uint8_t(x[1].get<uint64_t>())};
    } else if (k == "flashId") {
      ok = r.Hex(x, p, d.flashId.data(), d.flashId.size());
    } else if (k == "flashSizeKB") {
      ok = r.Integer(x, p, 1, kMaxFlashKB, n);
      d.flashSizeKB = uint32_t(n);
    } else if (k == "serial") {
      if (x.is_null()) {
        d.serial.reset();
      } else if (!x.is_string() || x.get<std::string>().size() != 12 ||
                 !std::all_of(x.get_ref<const std::string&>().begin(), x.get_ref<const std::string&>().end(),
                              [](char c) { return c >= '0' && c <= '9'; })) {
        ok = r.Fail(p, "expected 12 decimal digits or null, got " + Show(x));
      } else {
        d.serial = x.get<std::string>();
      }
    } else if (k == "userId") {
      ok = r.Hex(x, p, d.userId.data(), d.userId.size());
    } else if (k == "sdSectors") {
      ok = r.Integer(x, p, 1, int64_t(kMaxSdSectors), n);
      d.sdSectors = uint64_t(n);
    } else if (k == "sd2Sectors") {
      ok = r.Integer(x, p, 1, int64_t(kMaxSdSectors), n);
      d.sd2Sectors = uint64_t(n);
    } else if (k == "lun1Letter") {
      if (x.is_null() || (x.is_string() && x.get<std::string>().empty()))
        d.lun1Letter = 0;
      else
        ok = r.Letter(x, p, d.lun1Letter);
    } else if (k == "eraseBusyPolls") {
      ok = r.Integer(x, p, 0, 1'000'000, n);
      d.eraseBusyPolls = int(n);
    } else if (k == "timing") {
      ok = ParseTiming(r, x, p, d.timing);
    } else if (k == "usbInstanceId") {
      if (!r.String(x, p, d.usbInstanceId)) return false;
      // 32 at most: with "&" and the unit digit the location string stays within 35 characters.
      if (d.usbInstanceId.empty() || d.usbInstanceId.size() > 32 ||
          !std::all_of(d.usbInstanceId.begin(), d.usbInstanceId.end(), InstanceIdChar))
        ok = r.Fail(p, "expected 1 to 32 letters, digits or & _ - ., got " + Show(x));
    } else if (k == "plugAtMs") {
      ok = r.Integer(x, p, -1, INT64_MAX, n);
      d.plugAtMs = n;
    } else if (k == "unplugAtMs") {
      ok = r.Integer(x, p, -1, INT64_MAX, n);
      d.unplugAtMs = n;
    } else if (k == "flashFile" || k == "sdFile" || k == "sd2File") {
      std::string file;
      if (!r.String(x, p, file)) return false;
      if (file.empty() || file.find('\0') != std::string::npos)
        return r.Fail(p, "expected the name of a file, got " + Show(x));
      std::filesystem::path path(file);
      if (path.is_relative() && !r.base().empty()) path = std::filesystem::path(r.base()) / path;
      (k == "flashFile" ? d.flashFile : k == "sdFile" ? d.sdFile : d.sd2File) = path.lexically_normal().string();
    } else if (k == "cardSpeed") {
      if (!x.is_number() || x.get<double>() < 0.01 || x.get<double>() > 100)
        ok = r.Fail(p, "expected a factor of 0.01 to 100, got " + Show(x));
      else
        d.cardSpeed = x.get<double>();
    } else if (k == "cardMBps") {
      ok = r.Rate(x, p, d.cardMBps);
    } else if (k == "faults") {
      if (!x.is_array()) return r.Fail(p, "expected a list of faults, got " + Show(x));
      d.faults.clear();
      for (size_t i = 0; i < x.size() && ok; ++i) {
        FaultSpec f;
        ok = ParseFaultObject(r, x[i], Index(p, i), f);
        d.faults.push_back(f);
      }
    }
    if (!ok) return false;
  }
  if (d.luns == 1 && d.lun1Letter != 0)
    return r.Fail(Join(path, "lun1Letter"), "set, but the device has one logical unit (\"luns\": 1)");
  if (d.luns == 1 && !d.sd2File.empty())
    return r.Fail(Join(path, "sd2File"), "set, but the device has one logical unit (\"luns\": 1)");
  out = std::move(d);
  return true;
}

// Whether two devices are never plugged at once: one is pulled before the
// other is plugged in (so that both may stand behind one port).
bool Apart(const DeviceConfig& a, const DeviceConfig& b) {
  const auto before = [](const DeviceConfig& first, const DeviceConfig& second) {
    return first.unplugAtMs >= 0 && second.plugAtMs > first.unplugAtMs;
  };
  return before(a, b) || before(b, a);
}

// Every letter once at a time, across both units of every device; two
// devices share a letter (one port) only when they are never plugged at once.
bool CheckLetters(Reader& r, SimConfig& config) {
  struct Use {
    size_t device;
    std::string where;
  };
  std::multimap<char, Use> used;
  auto take = [&](char letter, size_t device, const std::string& where) {
    auto [first, last] = used.equal_range(letter);
    for (auto it = first; it != last; ++it)
      if (it->second.device == device || !Apart(config.devices[it->second.device], config.devices[device]))
        return r.Fail(where, Quote(std::string(1, letter)) + " is already used by " + it->second.where +
                                 (it->second.device == device ? "" : " while both are plugged in"));
    used.emplace(letter, Use{device, where});
    return true;
  };
  for (size_t i = 0; i < config.devices.size(); ++i) {
    const DeviceConfig& d = config.devices[i];
    const std::string path = Index("devices", i);
    if (!take(d.letter, i, Join(path, "letter"))) return false;
    if (d.luns == 2 && d.lun1Letter != 0 && !take(d.lun1Letter, i, Join(path, "lun1Letter"))) return false;
  }
  const int stuck = AssignUnitLetters(config.devices);
  if (stuck >= 0)
    return r.Fail(Join(Index("devices", size_t(stuck)), "lun1Letter"),
                  "no free letter after " + Quote(std::string(1, config.devices[size_t(stuck)].letter)) +
                      " for logical unit 1; give one");
  // Two entries of one port may be the same USB instance (a unit without a
  // USB serial number shows its port's); others may not.
  std::map<std::string, size_t> ids;
  for (size_t i = 0; i < config.devices.size(); ++i) {
    auto [it, fresh] = ids.emplace(config.devices[i].usbInstanceId, i);
    const DeviceConfig& other = config.devices[it->second];
    if (!fresh && !(other.letter == config.devices[i].letter && Apart(other, config.devices[i])))
      return r.Fail(Join(Index("devices", i), "usbInstanceId"),
                    QuoteCut(it->first) + " is already used by " + Index("devices", it->second));
  }
  // One file holds one medium.
  std::map<std::string, std::string> files;
  for (size_t i = 0; i < config.devices.size(); ++i) {
    const DeviceConfig& d = config.devices[i];
    for (const auto& [key, file] : {std::pair<const char*, const std::string&>{"flashFile", d.flashFile},
                                    {"sdFile", d.sdFile},
                                    {"sd2File", d.sd2File}}) {
      if (file.empty()) continue;
      const std::string where = Join(Index("devices", i), key);
      std::error_code ec;
      const std::filesystem::path full = std::filesystem::absolute(file, ec);
      auto [it, fresh] = files.emplace((ec ? std::filesystem::path(file) : full).lexically_normal().string(), where);
      if (!fresh) return r.Fail(where, QuoteCut(file) + " is already used by " + it->second);
    }
  }
  return true;
}

// Duplicate keys would otherwise silently keep the last one.
struct DuplicateKeyWatch {
  std::vector<std::set<std::string>> open;
  std::string duplicate;
  bool operator()(int, json::parse_event_t event, json& parsed) {
    if (event == json::parse_event_t::object_start) {
      open.emplace_back();
    } else if (event == json::parse_event_t::object_end) {
      if (!open.empty()) open.pop_back();
    } else if (event == json::parse_event_t::key && !open.empty()) {
      if (!open.back().insert(parsed.get<std::string>()).second && duplicate.empty())
        duplicate = parsed.get<std::string>();
    }
    return true;
  }
};

bool ParseJsonText(Reader& r, const std::string& text, json& out) {
  DuplicateKeyWatch watch;
  try {
    out = json::parse(text, std::ref(watch), /*allow_exceptions=*/true, /*ignore_comments=*/true);
  } catch (const json::exception& e) {  // parse errors, and numbers beyond a double (out_of_range)
    std::string what = e.what();
    const size_t end = what.find("] ");
    if (what.rfind("[json.exception", 0) == 0 && end != std::string::npos) what = what.substr(end + 2);
    // The parser quotes the token it stopped in, which can be the rest of the text.
    constexpr size_t kMaxWhat = 240;
    what = Escaped(what);
    if (what.size() > kMaxWhat) what = what.substr(0, kMaxWhat - 3) + "...";
    return r.Fail("", "invalid JSON: " + what);
  }
  if (!watch.duplicate.empty()) return r.Fail("", "key " + QuoteCut(watch.duplicate) + " given twice in one object");
  return true;
}

bool ParseDocument(Reader& r, const std::string& text, SimConfig& out) {
  json doc;
  if (!ParseJsonText(r, text, doc)) return false;
  if (!doc.is_object()) return r.Fail("", "expected an object at the top, got " + Show(doc));
  if (!r.Keys(doc, "", {"timing", "devices", "location", "busMBps"})) return false;
  SimConfig config;
  if (doc.contains("location")) {
    const json& location = doc["location"];
    if (location == "system")
      config.systemLocation = true;
    else if (location != "simulated")
      return r.Fail("location", "expected \"simulated\" or \"system\", got " + Show(location));
  }
  std::optional<Timing> shared;
  if (doc.contains("timing")) {
    shared.emplace();
    if (!ParseTiming(r, doc["timing"], "timing", *shared)) return false;
    // A USB 2.0 hub moves about 35 MB/s in all, however many devices share it.
    if (doc["timing"] == "realistic") config.busMBps = 35;
  }
  if (doc.contains("busMBps") && !r.Rate(doc["busMBps"], "busMBps", config.busMBps)) return false;
  if (doc.contains("devices")) {
    const json& list = doc["devices"];
    if (!list.is_array()) return r.Fail("devices", "expected a list of devices, got " + Show(list));
    for (size_t i = 0; i < list.size(); ++i) {
      DeviceConfig d;
      if (!ParseDevice(r, list[i], Index("devices", i), int(i), shared ? &*shared : nullptr, d)) return false;
      config.devices.push_back(std::move(d));
    }
  }
  if (!CheckLetters(r, config)) return false;
  out = std::move(config);
  return true;
}

// Far more than any description of 26 devices takes; a path such as
// /dev/zero would otherwise be read until memory runs out.
constexpr size_t kMaxFileBytes = 4 * 1024 * 1024;

bool ReadFile(const std::string& path, std::string& text, std::string& why) {
  std::FILE* f = std::fopen(path.c_str(), "rb");
  if (f == nullptr) {
    why = std::strerror(errno);
    return false;
  }
  char chunk[65536];
  size_t n = 0;
  while ((n = std::fread(chunk, 1, sizeof chunk, f)) > 0) {
    text.append(chunk, n);
    if (text.size() > kMaxFileBytes) {
      std::fclose(f);
      why = "larger than " + std::to_string(kMaxFileBytes / (1024 * 1024)) + " MiB";
      return false;
    }
  }
  const bool failed = std::ferror(f) != 0;
  const int err = errno;
  std::fclose(f);
  if (failed) why = std::strerror(err);
  return !failed;
}

std::string Trim(const std::string& s) {
  const auto blank = [](unsigned char c) { return std::isspace(c) != 0; };
  auto first = std::find_if_not(s.begin(), s.end(), blank);
  auto last = std::find_if_not(s.rbegin(), s.rend(), blank).base();
  return first < last ? std::string(first, last) : std::string();
}

bool LooksLikeCount(const std::string& s) {
  const size_t start = (!s.empty() && (s[0] == '-' || s[0] == '+')) ? 1 : 0;
  return s.size() > start && std::all_of(s.begin() + long(start), s.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// splitmix64: distinct seeds give distinct first outputs.
uint64_t Mix(uint64_t x) {
  x += 0x9E3779B97F4A7C15ull;
  x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
  x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
  return x ^ (x >> 31);
}

}  // namespace

Timing Timing::Realistic() {
  Timing t;
  t.commandLatencyUs = 250;  // a USB 2.0 bulk-only round trip
  t.sdReadMBps = 20;
  t.sdWriteMBps = 12;
  t.flashReadMBps = 4;     // SPI NOR behind the controller
  t.flashWriteMBps = 0.6;  // page programming
  t.eraseLatencyUs = 3000;
  return t;
}

bool Timing::IsZero() const {
  return commandLatencyUs == 0 && sdReadMBps == 0 && sdWriteMBps == 0 && flashReadMBps == 0 && flashWriteMBps == 0 &&
         eraseLatencyUs == 0;
}

std::string_view FaultTargetName(FaultTarget target) {
  const auto i = size_t(target);
  return i < std::size(kTargetNames) ? kTargetNames[i] : "?";
}

std::string_view FaultActionName(FaultAction action) {
  const auto i = size_t(action);
  return i < std::size(kActionNames) ? kActionNames[i] : "?";
}

std::string DefaultInstanceId(int index) {
  char id[32];
  std::snprintf(id, sizeof id, "QMRSIM%06d", (482000 + index) % 1000000);
  return id;
}

int AssignUnitLetters(std::vector<DeviceConfig>& devices) {
  std::set<char> used;
  for (const DeviceConfig& d : devices) {
    used.insert(d.letter);
    if (d.luns == 2 && d.lun1Letter != 0) used.insert(d.lun1Letter);
  }
  int stuck = -1;
  for (size_t i = 0; i < devices.size(); ++i) {
    DeviceConfig& d = devices[i];
    if (d.luns != 2 || d.lun1Letter != 0) continue;
    for (char c = char(d.letter + 1); c >= 'A' && c <= 'Z'; ++c) {
      if (used.insert(c).second) {
        d.lun1Letter = c;
        break;
      }
    }
    if (d.lun1Letter == 0 && stuck < 0) stuck = int(i);
  }
  return stuck;
}

DeviceConfig DefaultDevice(int index) {
  DeviceConfig d;
  d.letter = index >= 0 && index <= 'Z' - 'E' ? char('E' + index) : 0;
  char serial[16];
  std::snprintf(serial, sizeof serial, "0000000%05d", (12345 + index) % 100000);
  d.serial = std::string(serial);
  uint64_t seed = uint64_t(index);
  for (size_t i = 0; i < d.userId.size(); i += 8) {
    seed = Mix(seed);
    for (size_t j = 0; j < 8 && i + j < d.userId.size(); ++j) d.userId[i + j] = uint8_t(seed >> (8 * j));
  }
  d.usbInstanceId = DefaultInstanceId(index);
  return d;
}

bool ParseSimSpec(const std::string& description, SimConfig& out, std::string& error) {
  const std::string text = Trim(description);
  if (text.empty()) {
    error = "simulator: nothing given (expected a device count, JSON text or the path of a JSON file)";
    return false;
  }
  if (LooksLikeCount(text)) {
    Reader r("simulator count " + QuoteCut(text));
    int n = -1;
    const char* begin = text.data() + (text[0] == '+' ? 1 : 0);
    const auto res = std::from_chars(begin, text.data() + text.size(), n);
    if (res.ec != std::errc() || n < 0 || n > kMaxCountDevices) {
      r.Fail("", "expected 0 to " + std::to_string(kMaxCountDevices) + " devices (E: to Z:)");
      error = r.error();
      return false;
    }
    SimConfig config;
    for (int i = 0; i < n; ++i) config.devices.push_back(DefaultDevice(i));
    out = std::move(config);
    return true;
  }
  if (text[0] == '{') {
    Reader r("simulator JSON");
    if (!ParseDocument(r, text, out)) return error = r.error(), false;
    return true;
  }
  Reader r("simulator file " + text, std::filesystem::path(text).parent_path().string());
  std::string content, why;
  if (!ReadFile(text, content, why)) {
    r.Fail("", "cannot be read (" + why + ")");
    error = r.error();
    return false;
  }
  if (!ParseDocument(r, content, out)) return error = r.error(), false;
  return true;
}

bool ParseFault(const std::string& text, FaultSpec& out, std::string& error) {
  Reader r("fault JSON");
  json v;
  if (!ParseJsonText(r, text, v) || !ParseFaultObject(r, v, "", out)) return error = r.error(), false;
  return true;
}

}  // namespace qmr::sim
