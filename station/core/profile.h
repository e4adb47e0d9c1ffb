// Profile (INI) files with the behaviour of the Windows profile functions
// that the settings rely on, written so that a hand-edited file survives:
// - "[section]" lines open sections; "key=value" lines give values; lines
//   starting with ';' are comments. Section and key names match without
//   regard to ASCII case; blanks around names and values are ignored, and a
//   value in matching single or double quotes reads without them.
// - Only the first section of a name, and the first key of a name inside
//   it, counts (for reading and for writing).
// - Lines end in CR LF; LF-only lines read the same. Writing a key replaces
//   only its value and keeps every other byte of the file; a missing key or
//   section is added with CR LF line ends.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace ardentix {

// The usual decimal text-to-integer rule: leading white space skipped, an
// optional sign, then digits up to the first other character; 0 when no
// digit follows. Values beyond the 32-bit range saturate.
int32_t ParseLeadingInt(std::string_view text);

class ProfileText {
 public:
  ProfileText() = default;
  explicit ProfileText(std::string text) : text_(std::move(text)) {}

  const std::string& Text() const { return text_; }

  // The key's value, or nullopt when the section or the key is missing.
  std::optional<std::string> Find(std::string_view section, std::string_view key) const;

  // As GetPrivateProfileString: at most `maxChars` characters of the value,
  // or `fallback` when the key is missing.
  std::string GetString(std::string_view section, std::string_view key, std::string_view fallback,
                        size_t maxChars) const;

  // As GetPrivateProfileInt: ParseLeadingInt of the value (so 0 for a value
  // that is not a number, the empty value included), or `fallback` when the
  // key is missing.
  int32_t GetInt(std::string_view section, std::string_view key, int32_t fallback) const;

  // Sets the key's value, adding the key and section when missing. False
  // (text unchanged) when a name is empty or the names or value could not
  // be read back as written: line breaks anywhere, ']' in the section, '='
  // in the key, a key starting with '[' or ';'.
  bool Set(std::string_view section, std::string_view key, std::string_view value);

 private:
  std::string text_;
};

// Reads a profile file. A missing file reads as empty text (the Windows
// functions treat it as empty); nullopt, with `error`, when the file exists
// but cannot be read.
std::optional<ProfileText> ReadProfileFile(const std::filesystem::path& path, std::string* error = nullptr);

// Sets one key in a profile file, creating the file when missing, through
// WriteFileAtomically so a failed write leaves the old file. Does not
// serialise concurrent writers: callers that may race take their own lock.
bool WriteProfileString(const std::filesystem::path& path, std::string_view section, std::string_view key,
                        std::string_view value, std::string* error = nullptr);

}  // namespace ardentix
