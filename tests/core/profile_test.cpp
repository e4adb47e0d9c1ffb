#include "core/profile.h"

#include <gtest/gtest.h>

#include <climits>
#include <optional>
#include <string>

#include "core/files.h"
#include "core/temp_dir.h"

namespace ardentix {
namespace {

TEST(ParseLeadingInt, FollowsTheDecimalTextRule) {
  const struct {
    const char* text;
    int32_t value;
  } cases[] = {
      {"42", 42},
      {"  42", 42},
      {"\t\r\n 7", 7},
      {"102abc", 102},
      {"-5", -5},
      {"+7", 7},
      {"0x10", 0},
      {"abc", 0},
      {"", 0},
      {"-", 0},
      {"+ 3", 0},
      {"--3", 0},
      {"3 4", 3},
      {"2147483647", INT32_MAX},
      {"2147483648", INT32_MAX},
      {"99999999999999999999", INT32_MAX},
      {"-2147483648", INT32_MIN},
      {"-99999999999999999999", INT32_MIN},
      {"000000000000012", 12},
  };
  for (const auto& c : cases) EXPECT_EQ(ParseLeadingInt(c.text), c.value) << '"' << c.text << '"';
}

TEST(ProfileText, FindsValuesTheWayTheProfileFunctionsDo) {
  const struct {
    const char* what;
    std::string text;
    const char* section;
    const char* key;
    std::optional<std::string> value;
  } cases[] = {
      {"plain CR LF", "[SETUP]\r\nMP Count=3\r\n", "SETUP", "MP Count", "3"},
      {"LF only", "[SETUP]\nMP Count=3\n", "SETUP", "MP Count", "3"},
      {"no final line end", "[SETUP]\r\nMP Count=3", "SETUP", "MP Count", "3"},
      {"names in other case", "[setup]\r\nmp COUNT=3\r\n", "SETUP", "MP Count", "3"},
      {"blanks around names and value", "  [ SETUP ]  \r\n  MP Count  =  3  \r\n", "SETUP", "MP Count", "3"},
      {"inner blanks of the value kept", "[S]\r\nk= a  b \r\n", "S", "k", "a  b"},
      {"double quotes dropped", "[S]\r\nk=\" x \"\r\n", "S", "k", " x "},
      {"single quotes dropped", "[S]\r\nk='x'\r\n", "S", "k", "x"},
      {"unmatched quote kept", "[S]\r\nk=\"x\r\n", "S", "k", "\"x"},
      {"empty value", "[S]\r\nk=\r\n", "S", "k", ""},
      {"value holding '='", "[S]\r\nk=a=b\r\n", "S", "k", "a=b"},
      {"first of two keys", "[S]\r\nk=1\r\nk=2\r\n", "S", "k", "1"},
      {"comment line ignored", "[S]\r\n;k=1\r\nk=2\r\n", "S", "k", "2"},
      {"line without '=' ignored", "[S]\r\nk\r\nk=2\r\n", "S", "k", "2"},
      {"key in another section", "[S]\r\na=1\r\n[T]\r\nk=2\r\n", "S", "k", std::nullopt},
      {"key before any section", "k=1\r\n[S]\r\n", "S", "k", std::nullopt},
      {"only the first section of a name", "[S]\r\na=1\r\n[T]\r\n[s]\r\nk=2\r\n", "S", "k", std::nullopt},
      {"header without ']' is no header", "[S]\r\n[T\r\nk=1\r\n", "S", "k", "1"},
      {"missing section", "[S]\r\nk=1\r\n", "X", "k", std::nullopt},
      {"empty text", "", "S", "k", std::nullopt},
      {"byte order mark", "\xEF\xBB\xBF[S]\r\nk=1\r\n", "S", "k", "1"},
  };
  for (const auto& c : cases) EXPECT_EQ(ProfileText(c.text).Find(c.section, c.key), c.value) << c.what;
}

TEST(ProfileText, GetStringAndGetIntApplyLimitsAndDefaults) {
  const ProfileText p("[S]\r\nsn=12345678901234567\r\nn=42abc\r\nword=abc\r\nempty=\r\n");
  EXPECT_EQ(p.GetString("S", "sn", "0", 13), "1234567890123");
  EXPECT_EQ(p.GetString("S", "missing", "0", 13), "0");
  EXPECT_EQ(p.GetString("S", "empty", "0", 13), "");
  EXPECT_EQ(p.GetInt("S", "n", 7), 42);
  EXPECT_EQ(p.GetInt("S", "word", 7), 0);
  EXPECT_EQ(p.GetInt("S", "empty", 7), 0);  // present, so not the default
  EXPECT_EQ(p.GetInt("S", "missing", 7), 7);
  EXPECT_EQ(p.GetInt("X", "n", 7), 7);
}

TEST(ProfileText, SetChangesOnlyTheValueBytes) {
  const struct {
    const char* what;
    std::string before;
    const char* section;
    const char* key;
    const char* value;
    std::string after;
  } cases[] = {
      {"value replaced in place, spacing and comments kept",
       "; counters\r\n[OID MP]\r\nPass Count = 5   \r\nFail Count=1\r\n", "OID MP", "Pass Count", "6",
       "; counters\r\n[OID MP]\r\nPass Count = 6\r\nFail Count=1\r\n"},
      {"names matched in other case keep their spelling", "[oid mp]\r\npass count=5\r\n", "OID MP", "Pass Count", "6",
       "[oid mp]\r\npass count=6\r\n"},
      {"LF-only lines stay LF", "[S]\nk=1\nother=2\n", "S", "k", "10", "[S]\nk=10\nother=2\n"},
      {"empty value filled", "[S]\r\nk=\r\n", "S", "k", "3", "[S]\r\nk=3\r\n"},
      {"quoted value replaced whole", "[S]\r\nk=\"1\"\r\n", "S", "k", "2", "[S]\r\nk=2\r\n"},
      {"last line without line end", "[S]\r\nk=1", "S", "k", "2", "[S]\r\nk=2"},
      {"new key after the section's last key", "[S]\r\na=1\r\n\r\n; next\r\n[T]\r\nb=2\r\n", "S", "k", "9",
       "[S]\r\na=1\r\nk=9\r\n\r\n; next\r\n[T]\r\nb=2\r\n"},
      {"new key right after a section header", "[S]\r\n[T]\r\n", "S", "k", "9", "[S]\r\nk=9\r\n[T]\r\n"},
      {"new key after an unterminated last line", "[S]\r\na=1", "S", "k", "9", "[S]\r\na=1\r\nk=9\r\n"},
      {"new key after a last line ending in CR", "[S]\r\na=1\r", "S", "k", "9", "[S]\r\na=1\r\nk=9\r\n"},
      {"new section at the end", "[S]\r\na=1\r\n", "T", "k", "9", "[S]\r\na=1\r\n[T]\r\nk=9\r\n"},
      {"new section after an unterminated line", "[S]\r\na=1", "T", "k", "9", "[S]\r\na=1\r\n[T]\r\nk=9\r\n"},
      {"new section after a last line ending in CR", "[S]\r", "T", "k", "9", "[S]\r\n[T]\r\nk=9\r\n"},
      {"empty text", "", "OID MP", "Pass Count", "1", "[OID MP]\r\nPass Count=1\r\n"},
      {"only the first of two sections", "[S]\r\na=1\r\n[S]\r\nk=1\r\n", "S", "k", "2",
       "[S]\r\na=1\r\nk=2\r\n[S]\r\nk=1\r\n"},
      {"first of two keys", "[S]\r\nk=1\r\nk=1\r\n", "S", "k", "2", "[S]\r\nk=2\r\nk=1\r\n"},
      {"byte order mark kept", "\xEF\xBB\xBF[S]\r\nk=1\r\n", "S", "k", "2", "\xEF\xBB\xBF[S]\r\nk=2\r\n"},
      {"negative number", "[S]\r\nk=1\r\n", "S", "k", "-7", "[S]\r\nk=-7\r\n"},
  };
  for (const auto& c : cases) {
    ProfileText p(c.before);
    EXPECT_TRUE(p.Set(c.section, c.key, c.value)) << c.what;
    EXPECT_EQ(p.Text(), c.after) << c.what;
    EXPECT_EQ(p.Find(c.section, c.key), c.value) << c.what;
  }
}

TEST(ProfileText, SetRefusesWhatWouldNotReadBack) {
  const struct {
    const char* section;
    const char* key;
    const char* value;
  } cases[] = {
      {"", "k", "1"},     {"S", "", "1"},      {"S]", "k", "1"},    {"S\n", "k", "1"},  {"S", "k=", "1"},
      {"S", "[k", "1"},   {"S", ";k", "1"},    {"S", "k\r", "1"},   {"S", "k", "1\r\n"}, {"S", " k", "1"},
      {" S", "k", "1"},   {"S", "k", " 1"},    {"S", "k", "1\t"},   {"S", "k", "\"1\""},
  };
  const std::string before = "[S]\r\nk=0\r\n";
  for (const auto& c : cases) {
    ProfileText p(before);
    EXPECT_FALSE(p.Set(c.section, c.key, c.value)) << '[' << c.section << "] " << c.key << '=' << c.value;
    EXPECT_EQ(p.Text(), before);
  }
}

TEST(ProfileFile, WritingCreatesTheFileAndKeepsOtherBytes) {
  test::TempDir dir;
  const auto path = dir / "x.ini";
  EXPECT_EQ(ReadProfileFile(path)->Text(), "");  // missing reads as empty

  ASSERT_TRUE(WriteProfileString(path, "OID MP", "Pass Count", "1"));
  EXPECT_EQ(ReadWholeFile(path), "[OID MP]\r\nPass Count=1\r\n");

  const std::string edited = "; by hand\n[SETUP]\nStart SN=ABC45\n[OID MP]\nPass Count=1\n";
  ASSERT_TRUE(WriteFileAtomically(path, edited));
  ASSERT_TRUE(WriteProfileString(path, "oid mp", "PASS COUNT", "2"));
  EXPECT_EQ(ReadWholeFile(path), "; by hand\n[SETUP]\nStart SN=ABC45\n[OID MP]\nPass Count=2\n");
}

TEST(ProfileFile, AnUnreadableFileIsNotOverwritten) {
  test::TempDir dir;
  const auto path = dir / "x.ini";
  std::filesystem::create_directory(path);  // exists, cannot be read as a file
  std::string error;
  EXPECT_FALSE(ReadProfileFile(path, &error).has_value());
  EXPECT_NE(error, "");
  EXPECT_FALSE(WriteProfileString(path, "S", "k", "1"));
  EXPECT_TRUE(std::filesystem::is_directory(path));
}

}  // namespace
}  // namespace ardentix
