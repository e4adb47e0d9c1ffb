#include "core/profile.h"

#include <exception>
#include <limits>
#include <system_error>

#include "core/files.h"

namespace ardentix {
namespace {

constexpr std::string_view kBom = "\xEF\xBB\xBF";  // some editors put one in front
constexpr std::string_view kNewLine = "\r\n";

bool IsSpace(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f'; }

std::string_view Trim(std::string_view s) {
  while (!s.empty() && IsSpace(s.front())) s.remove_prefix(1);
  while (!s.empty() && IsSpace(s.back())) s.remove_suffix(1);
  return s;
}

char Lower(char c) { return (c >= 'A' && c <= 'Z') ? char(c - 'A' + 'a') : c; }

bool EqualNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (Lower(a[i]) != Lower(b[i])) return false;
  return true;
}

std::string_view Unquote(std::string_view v) {
  if (v.size() >= 2 && (v.front() == '"' || v.front() == '\'') && v.back() == v.front())
    return v.substr(1, v.size() - 2);
  return v;
}

enum class Kind { Other, Section, Key };

// One line of the file, offsets into the whole text.
struct Line {
  size_t begin = 0;       // first byte of the content
  size_t end = 0;         // end of the content (before CR LF or LF)
  size_t next = 0;        // first byte of the next line
  Kind kind = Kind::Other;
  std::string_view name;  // section or key name, trimmed
  size_t valueBegin = 0;  // first non-blank byte after '=' (Key only)
  std::string_view value;  // trimmed value (Key only)
  bool terminated = false;  // ends in LF (a last line may not)
};

Line Classify(std::string_view text, size_t begin, size_t end, size_t next, bool terminated) {
  Line line;
  line.begin = begin;
  line.end = end;
  line.next = next;
  line.terminated = terminated;
  const std::string_view content = text.substr(begin, end - begin);
  size_t i = 0;
  while (i < content.size() && IsSpace(content[i])) ++i;
  if (i == content.size() || content[i] == ';') return line;
  if (content[i] == '[') {
    const size_t close = content.rfind(']');
    if (close == std::string_view::npos) return line;  // not a header; ignored
    line.kind = Kind::Section;
    line.name = Trim(content.substr(i + 1, close - i - 1));
    return line;
  }
  const size_t eq = content.find('=', i);
  if (eq == std::string_view::npos) return line;
  line.kind = Kind::Key;
  line.name = Trim(content.substr(i, eq - i));
  size_t v = eq + 1;
  while (v < content.size() && IsSpace(content[v])) ++v;
  line.valueBegin = begin + v;
  line.value = Trim(content.substr(v));
  return line;
}

// Calls f(line) for every line until it returns false.
template <typename F>
void ForEachLine(std::string_view text, F f) {
  size_t pos = text.substr(0, kBom.size()) == kBom ? kBom.size() : 0;
  while (pos < text.size()) {
    const size_t nl = text.find('\n', pos);
    const size_t next = nl == std::string_view::npos ? text.size() : nl + 1;
    size_t end = nl == std::string_view::npos ? text.size() : nl;
    if (end > pos && text[end - 1] == '\r') --end;
    if (!f(Classify(text, pos, end, next, nl != std::string_view::npos))) return;
    pos = next;
  }
}

// What completes an unterminated last line: LF after a stray CR, else CR LF.
std::string_view EndOfLastLine(std::string_view text) { return text.back() == '\r' ? "\n" : kNewLine; }

bool HasLineBreak(std::string_view s) { return s.find_first_of("\r\n") != std::string_view::npos; }

}  // namespace

int32_t ParseLeadingInt(std::string_view text) {
  size_t i = 0;
  while (i < text.size() && (IsSpace(text[i]) || text[i] == '\n')) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  constexpr int64_t kMax = std::numeric_limits<int32_t>::max();
  const int64_t limit = negative ? kMax + 1 : kMax;
  int64_t value = 0;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
    value = value * 10 + (text[i] - '0');
    if (value >= limit) {
      value = limit;  // saturate; the remaining digits cannot bring it back
      break;
    }
  }
  return int32_t(negative ? -value : value);
}

std::optional<std::string> ProfileText::Find(std::string_view section, std::string_view key) const {
  std::optional<std::string> found;
  bool inSection = false;
  bool sectionSeen = false;
  ForEachLine(text_, [&](const Line& line) {
    if (line.kind == Kind::Section) {
      if (inSection) return false;  // only the first section of that name counts
      inSection = !sectionSeen && EqualNoCase(line.name, section);
      sectionSeen = inSection;
    } else if (line.kind == Kind::Key && inSection && EqualNoCase(line.name, key)) {
      found = std::string(Unquote(line.value));
      return false;
    }
    return true;
  });
  return found;
}

std::string ProfileText::GetString(std::string_view section, std::string_view key, std::string_view fallback,
                                   size_t maxChars) const {
  const std::optional<std::string> v = Find(section, key);
  if (!v) return std::string(fallback.substr(0, maxChars));
  return v->substr(0, maxChars);
}

int32_t ProfileText::GetInt(std::string_view section, std::string_view key, int32_t fallback) const {
  const std::optional<std::string> v = Find(section, key);
  return v ? ParseLeadingInt(*v) : fallback;
}

bool ProfileText::Set(std::string_view section, std::string_view key, std::string_view value) {
  // Refuse what would not read back as written.
  if (section.empty() || key.empty()) return false;
  if (Trim(section) != section || Trim(key) != key || Trim(value) != value) return false;
  if (HasLineBreak(section) || HasLineBreak(key) || HasLineBreak(value)) return false;
  if (section.find(']') != std::string_view::npos) return false;
  if (key.find('=') != std::string_view::npos || key.front() == '[' || key.front() == ';') return false;
  if (Unquote(value) != value) return false;

  bool inSection = false;
  bool sectionSeen = false;
  size_t insertAt = 0;
  bool insertAfterUnterminated = false;
  std::optional<Line> target;
  ForEachLine(text_, [&](const Line& line) {
    if (line.kind == Kind::Section) {
      if (inSection) return false;
      if (!sectionSeen && EqualNoCase(line.name, section)) {
        inSection = sectionSeen = true;
        insertAt = line.next;
        insertAfterUnterminated = !line.terminated;
      }
    } else if (line.kind == Kind::Key && inSection) {
      if (EqualNoCase(line.name, key)) {
        target = line;
        return false;
      }
      insertAt = line.next;  // a new key goes after the section's last key
      insertAfterUnterminated = !line.terminated;
    }
    return true;
  });

  if (target) {
    text_.replace(target->valueBegin, target->end - target->valueBegin, value);
    return true;
  }
  std::string add;
  if (sectionSeen) {
    if (insertAfterUnterminated) add += EndOfLastLine(std::string_view(text_).substr(0, insertAt));
    add.append(key).append("=").append(value).append(kNewLine);
    text_.insert(insertAt, add);
    return true;
  }
  if (!text_.empty() && text_.back() != '\n') add += EndOfLastLine(text_);
  add.append("[").append(section).append("]").append(kNewLine);
  add.append(key).append("=").append(value).append(kNewLine);
  text_ += add;
  return true;
}

std::optional<ProfileText> ReadProfileFile(const std::filesystem::path& path, std::string* error) {
  std::error_code ec;
  const auto type = std::filesystem::status(path, ec).type();
  if (type == std::filesystem::file_type::not_found) return ProfileText{};
  if (type == std::filesystem::file_type::directory) {
    if (error != nullptr) *error = "cannot read " + PathText(path) + ": it is a folder";
    return std::nullopt;
  }
  try {
    if (std::optional<std::string> text = ReadWholeFile(path, error, kMaxTextFileSize)) return ProfileText(std::move(*text));
  } catch (const std::exception& e) {  // no memory for the text
    if (error != nullptr) *error = "cannot read " + PathText(path) + ": " + e.what();
  }
  return std::nullopt;
}

bool WriteProfileString(const std::filesystem::path& path, std::string_view section, std::string_view key,
                        std::string_view value, std::string* error) {
  std::optional<ProfileText> profile = ReadProfileFile(path, error);
  if (!profile) return false;
  const std::string before = profile->Text();
  if (!profile->Set(section, key, value)) {
    if (error != nullptr)
      *error = "cannot write [" + std::string(section) + "] " + std::string(key) + " = \"" + std::string(value) +
               "\": not representable in a profile file";
    return false;
  }
  if (profile->Text() == before) return true;  // same value: spare the disk a rewrite
  return WriteFileAtomically(path, profile->Text(), error);
}

}  // namespace ardentix
