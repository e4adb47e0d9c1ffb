// The settings file "RQ4820Ardentix.ini" in the station folder: a few burn
// options read once at start-up, and the two production counters, written
// back each time a device passes or fails.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>

namespace ardentix {

inline constexpr const char* kSettingsFileName = "RQ4820Ardentix.ini";
inline constexpr const char* kSetupSection = "SETUP";
inline constexpr const char* kCounterSection = "OID MP";
inline constexpr const char* kStartSnKey = "Start SN";
inline constexpr const char* kMpCountKey = "MP Count";
inline constexpr const char* kXpLockKey = "XP Lock";
inline constexpr const char* kWriteVerifyKey = "Write Verify";
inline constexpr const char* kSaveSdFileKey = "Save SD File";
inline constexpr const char* kPassCountKey = "Pass Count";
inline constexpr const char* kFailCountKey = "Fail Count";

inline constexpr size_t kStartSnMaxChars = 13;  // what the Windows read with a 14-byte buffer returns
inline constexpr size_t kSerialDigits = 12;

// Every value of the file (defaults when the file or a key is missing) and
// the serial number derived from them.
struct Settings {
  std::string startSn = "0";    // "Start SN" as read, at most 13 characters
  int32_t totalCountShown = 0;  // "MP Count": serial step per counted device
  int32_t LockOnXp = 1;         // "XP Lock"
  int32_t WriteVerify = 0;      // "Write Verify"
  int32_t SaveSdFile = 0;       // "Save SD File"
  int32_t PassCount = 0;        // "Pass Count"
  int32_t FailCount = 0;        // "Fail Count"
  std::string StartSerial = std::string(kSerialDigits, '0');  // serial of the next device, 12 digits
};

std::filesystem::path SettingsPath(const std::filesystem::path& stationDir);

// Reads the file; a missing or unreadable file or key gives the defaults.
// Never creates the file. `readError` (if given) says why a file that exists
// could not be read ("" when it was read or is missing): the counters must
// then not be written back, as they would replace the real counts.
Settings LoadSettings(const std::filesystem::path& path, std::string* readError = nullptr);

// Writes value as "%d" to "Pass Count" (passed) or "Fail Count" in section
// "OID MP", keeping the rest of the file byte for byte. Safe to call from
// several burn workers and several processes at once: writers are
// serialised in-process by a mutex and across processes by an exclusive
// lock on "<file>.lock" beside the file (the one a link leads to; the file
// itself is replaced by rename, so it cannot carry the lock). The file is
// rewritten atomically: a crash or a full disk leaves the old file. False, with `error`, when nothing was
// written; the caller's in-memory counter stays the truth either way.
bool SaveCounter(const std::filesystem::path& path, bool passed, int32_t value, std::string* error = nullptr);

// The first 12 characters of a "Start SN" value with every non-digit (and
// each missing character) turned into '0': always 12 digits.
std::string SerialFromStartSn(std::string_view startSn);

// Advances a serial of decimal digits in place by `step` ("MP Count"):
// from the last digit, digit + step; if it fits in 0..9 it is written and
// the walk stops, else the digit becomes 0 and the next digit to the left
// gets step added again (not 1). An overflow of the first digit is dropped.
// Step 1 is an ordinary increment, step 0 changes nothing, and any step of
// 10 or more turns every digit to 0.
//
// A negative step mirrors this: digit + step (a decrease); if it is 0 or
// more it is written and the walk stops, else the digit becomes 9 and the
// next digit to the left is decreased by the step again; an underflow of
// the first digit is dropped. Step -1 is thus an ordinary decrement with
// borrow (000000000000 becomes 999999999999) and undoes step 1. No digit
// ever leaves 0..9. A character that is not a digit counts as 0.
void AdvanceSerial(std::string& serial, int32_t step);

// AdvanceSerial applied `times` times (nothing for times <= 0), computed
// per digit rather than by looping, so counters in the billions load at once.
void AdvanceSerialTimes(std::string& serial, int32_t step, int64_t times);

}  // namespace ardentix
