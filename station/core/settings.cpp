#include "core/settings.h"

#include <mutex>

#include "core/files.h"
#include "core/platform_files.h"
#include "core/profile.h"

namespace ardentix {
namespace {

int DigitValue(char c) { return (c >= '0' && c <= '9') ? c - '0' : 0; }

// Exclusive lock on a lock file, held for the object's life.
class FileLock {
 public:
  explicit FileLock(const std::filesystem::path& path) {
    std::string reason;
    handle_ = Platform().LockExclusive(path, reason);
    if (handle_ == kNoFile) error_ = "cannot lock " + PathText(path) + ": " + reason;
  }
  ~FileLock() {
    std::string ignored;
    if (handle_ != kNoFile) Platform().Close(handle_, ignored);  // closing releases the lock
  }
  FileLock(const FileLock&) = delete;
  FileLock& operator=(const FileLock&) = delete;

  bool held() const { return handle_ != kNoFile; }
  const std::string& error() const { return error_; }

 private:
  FileHandle handle_ = kNoFile;
  std::string error_;
};

// One upward step; `step` > 0, wide enough for the magnitude of INT32_MIN.
void StepUp(std::string& digits, int64_t step) {
  for (size_t i = digits.size(); i-- > 0;) {
    const int64_t v = DigitValue(digits[i]) + step;
    if (v <= 9) {
      digits[i] = char('0' + v);
      return;
    }
    digits[i] = '0';
  }
}

// `times` upward steps at once. Each position counts the increments that
// reach it: from digit d the first overflow comes after t0 = (9-d)/step + 1
// of them and then every p = 9/step + 1 (the digit cycles 0, step, 2*step..);
// every overflow is one increment for the position to its left.
void StepUpTimes(std::string& digits, int64_t step, int64_t times) {
  int64_t reaching = times;
  for (size_t i = digits.size(); i-- > 0 && reaching > 0;) {
    const int64_t d = DigitValue(digits[i]);
    const int64_t t0 = (9 - d) / step + 1;
    if (reaching < t0) {
      digits[i] = char('0' + d + reaching * step);
      return;
    }
    const int64_t period = 9 / step + 1;
    const int64_t after = reaching - t0;
    digits[i] = char('0' + (after % period) * step);
    reaching = 1 + after / period;
  }
}

// A downward walk is the upward walk on the nines' complement: d - k >= 0
// exactly when (9-d) + k <= 9, and an underflow's 9 is the complement's 0.
void Complement(std::string& digits) {
  for (char& c : digits) c = char('0' + 9 - DigitValue(c));
}

}  // namespace

std::filesystem::path SettingsPath(const std::filesystem::path& stationDir) {
  return stationDir / kSettingsFileName;
}

std::string SerialFromStartSn(std::string_view startSn) {
  std::string serial(kSerialDigits, '0');
  for (size_t i = 0; i < kSerialDigits && i < startSn.size(); ++i)
    if (startSn[i] >= '0' && startSn[i] <= '9') serial[i] = startSn[i];
  return serial;
}

void AdvanceSerial(std::string& serial, int32_t step) { AdvanceSerialTimes(serial, step, 1); }

void AdvanceSerialTimes(std::string& serial, int32_t step, int64_t times) {
  if (times <= 0 || step == 0) return;
  // Non-digits count as 0; normalise them first so both directions agree.
  for (char& c : serial) c = char('0' + DigitValue(c));
  // A single step walks the digits literally; counts use the per-digit sums.
  auto up = [&](int64_t k) { times == 1 ? StepUp(serial, k) : StepUpTimes(serial, k, times); };
  if (step > 0) {
    up(step);
    return;
  }
  Complement(serial);
  up(-int64_t(step));
  Complement(serial);
}

Settings LoadSettings(const std::filesystem::path& path, std::string* readError) {
  Settings s;
  std::string why;
  const std::optional<ProfileText> read = ReadProfileFile(path, &why);
  if (readError != nullptr) *readError = read ? std::string() : why;
  const ProfileText profile = read.value_or(ProfileText{});
  s.startSn = profile.GetString(kSetupSection, kStartSnKey, "0", kStartSnMaxChars);
  s.totalCountShown = profile.GetInt(kSetupSection, kMpCountKey, 0);
  s.LockOnXp = profile.GetInt(kSetupSection, kXpLockKey, 1);
  s.WriteVerify = profile.GetInt(kSetupSection, kWriteVerifyKey, 0);
  s.SaveSdFile = profile.GetInt(kSetupSection, kSaveSdFileKey, 0);
  s.PassCount = profile.GetInt(kCounterSection, kPassCountKey, 0);
  s.FailCount = profile.GetInt(kCounterSection, kFailCountKey, 0);

  // Every device already counted has used one serial number.
  s.StartSerial = SerialFromStartSn(s.startSn);
  AdvanceSerialTimes(s.StartSerial, s.totalCountShown, int64_t(s.PassCount) + int64_t(s.FailCount));
  return s;
}

bool SaveCounter(const std::filesystem::path& path, bool passed, int32_t value, std::string* error) {
  // Two workers finishing together must not both read the old file and
  // each write back only its own counter.
  static std::mutex inProcess;
  std::lock_guard guard(inProcess);
  // Beside the file itself: stations sharing one settings file through links
  // must share its lock too.
  std::filesystem::path lockPath = ResolveLinks(path);
  lockPath += ".lock";
  FileLock acrossProcesses(lockPath);
  if (!acrossProcesses.held()) {
    if (error != nullptr) *error = acrossProcesses.error();
    return false;
  }
  return WriteProfileString(path, kCounterSection, passed ? kPassCountKey : kFailCountKey, std::to_string(value),
                            error);
}

}  // namespace ardentix
