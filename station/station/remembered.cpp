#include "station/remembered.h"

#include <algorithm>

#include "core/files.h"
#include "core/platform_files.h"
#include "core/profile.h"

namespace ardentix {
namespace {

namespace fs = std::filesystem;

constexpr const char* kChoices = "CHOICES";
constexpr const char* kToday = "TODAY";

bool IsFile(const fs::path& path) {
  std::error_code ec;
  return fs::is_regular_file(path, ec);
}

}  // namespace

fs::path RememberedPath(const fs::path& stationDir) { return stationDir / kRememberedFileName; }

RememberedChoices LoadRemembered(const fs::path& stationDir) {
  RememberedChoices c;
  const std::optional<ProfileText> file = ReadProfileFile(RememberedPath(stationDir));
  if (!file) return c;
  auto path = [&](const char* key) { return PathFromText(file->Find(kChoices, key).value_or("")); };
  auto flag = [&](const char* key, int32_t fallback) { return file->GetInt(kChoices, key, fallback) != 0 ? 1 : 0; };
  c.sd1Image = path("SD1 Image");
  c.sd2Image = path("SD2 Image");
  c.flashPackage = path("Flash Package");
  c.sd1Enabled = flag("SD1 Burn", c.sd1Enabled);
  c.sd2Enabled = flag("SD2 Burn", c.sd2Enabled);
  c.flashEnabled = flag("SPI Burn", c.flashEnabled);
  c.batchSignal = flag("Batch Signal", 1) != 0;
  c.continuous = flag("Continuous", 0) != 0;
  c.day.date = file->Find(kToday, "Date").value_or("");
  c.day.passed = std::max(0, file->GetInt(kToday, "Passed", 0));
  c.day.failed = std::max(0, file->GetInt(kToday, "Failed", 0));
  return c;
}

bool SaveRemembered(const fs::path& stationDir, const RememberedChoices& c, std::string* error) {
  const fs::path path = RememberedPath(stationDir);
  // Keeps whatever else a hand-edited file holds.
  ProfileText file = ReadProfileFile(path).value_or(ProfileText());
  bool ok = true;
  auto set = [&](const char* section, const char* key, const std::string& value) {
    ok = file.Set(section, key, value) && ok;
  };
  set(kChoices, "SD1 Image", PathText(c.sd1Image));
  set(kChoices, "SD2 Image", PathText(c.sd2Image));
  set(kChoices, "Flash Package", PathText(c.flashPackage));
  set(kChoices, "SD1 Burn", std::to_string(c.sd1Enabled));
  set(kChoices, "SD2 Burn", std::to_string(c.sd2Enabled));
  set(kChoices, "SPI Burn", std::to_string(c.flashEnabled));
  set(kChoices, "Batch Signal", c.batchSignal ? "1" : "0");
  set(kChoices, "Continuous", c.continuous ? "1" : "0");
  set(kToday, "Date", c.day.date);
  set(kToday, "Passed", std::to_string(c.day.passed));
  set(kToday, "Failed", std::to_string(c.day.failed));
  if (!ok) {
    // A name with a line break, or with a blank at its end, would
    // not read back as written.
    if (error != nullptr) *error = "a chosen file name cannot be kept in " + PathText(path);
    return false;
  }
  return WriteFileAtomically(path, file.Text(), error);
}

RestorePlan RestoreChoices(const RememberedChoices& c, BurnFileSet& files) {
  RestorePlan plan;
  auto restore = [&](const fs::path& remembered, fs::path* into) {
    if (remembered.empty()) return;
    if (!IsFile(remembered)) {
      plan.gone.push_back(remembered);
      return;
    }
    if (into != nullptr)
      *into = remembered;
    else
      plan.packageToImport = remembered;
  };
  restore(c.sd1Image, &files.sd1ImagePath);
  restore(c.sd2Image, &files.sd2ImagePath);
  restore(c.flashPackage, nullptr);
  return plan;
}

}  // namespace ardentix
