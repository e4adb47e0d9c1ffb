// Arbitrary bytes as the settings file: loading gives a 12-digit serial, and
// a counter write reads back while every other line stays as it was.
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <string_view>

#include "core/files.h"
#include "fuzz_support.h"
#include "core/settings.h"

namespace {

namespace fuzz = ardentix::fuzz;
using fuzz::Check;

bool IsSerial(const std::string& s) {
  if (s.size() != ardentix::kSerialDigits) return false;
  for (char c : s)
    if (c < '0' || c > '9') return false;
  return true;
}

// The bytes that differ between before and after lie inside one line of
// `before` (a value replaced) or nowhere (lines inserted).
bool OnlyOneLineChanged(std::string_view before, std::string_view after) {
  size_t prefix = 0;
  while (prefix < before.size() && prefix < after.size() && before[prefix] == after[prefix]) ++prefix;
  size_t suffix = 0;
  while (suffix < before.size() - prefix && suffix < after.size() - prefix &&
         before[before.size() - 1 - suffix] == after[after.size() - 1 - suffix])
    ++suffix;
  const std::string_view changed = before.substr(prefix, before.size() - prefix - suffix);
  return changed.find('\n') == std::string_view::npos;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const std::filesystem::path dir = fuzz::WorkDir("settings");
  const std::filesystem::path path = ardentix::SettingsPath(dir);
  const std::string before(reinterpret_cast<const char*>(data), size);
  Check(ardentix::WriteFileAtomically(path, before));

  const ardentix::Settings s = ardentix::LoadSettings(path);
  Check(IsSerial(s.StartSerial));
  Check(s.startSn.size() <= ardentix::kStartSnMaxChars);

  const bool passed = size % 2 == 0;
  const int32_t value = int32_t(uint32_t(size) * 2654435761u);
  Check(ardentix::SaveCounter(path, passed, value));
  const std::string after = ardentix::ReadWholeFile(path).value_or("");
  Check(OnlyOneLineChanged(before, after));

  const ardentix::Settings t = ardentix::LoadSettings(path);
  Check((passed ? t.PassCount : t.FailCount) == value);
  Check((passed ? t.FailCount : t.PassCount) == (passed ? s.FailCount : s.PassCount));
  Check(t.startSn == s.startSn && t.totalCountShown == s.totalCountShown && t.LockOnXp == s.LockOnXp &&
        t.WriteVerify == s.WriteVerify && t.SaveSdFile == s.SaveSdFile);
  return 0;
}
