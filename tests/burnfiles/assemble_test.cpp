// Assembling a flash image from the section files, and importing it back.
#include <gtest/gtest.h>

#include "burnfiles/assemble.h"
#include "burnfiles/import.h"
#include "burnfiles_fixture.h"

namespace ardentix {
namespace {

using bftest::GetWord;
using bftest::ReadFile;
using bftest::W;
using bftest::WriteFile;
namespace fs = std::filesystem;

// A firmware section of `size` bytes whose firmware info address points at byte 64.
std::string Firmware(size_t size) {
  std::string s = bftest::Pattern(size, 1);
  bftest::PutWord(s, 180, W(64));
  return s;
}

class AssembleTest : public ::testing::Test {
 protected:
  void SetUp() override {
    SetProgramDirectory(set, station.path());
    fs::create_directories(station / "BurnFile");
    for (size_t i = 0; i < kUserIdSize; ++i) set.packageUserId[i] = uint8_t(0xA0 + i);
  }
  void PutSections(const std::string& s1, const std::string& s2, const std::string& s3) {
    WriteFile(set.firmwareSectionPath, s1);
    WriteFile(set.voiceSectionPath, s2);
    WriteFile(set.sysconfigSectionPath, s3);
  }
  std::string Assemble() {
    const AssembleResult r = AssembleFlashImage(set, out);
    EXPECT_TRUE(r.ok) << r.message << ": " << r.detail;
    EXPECT_EQ(set.flashPackagePath, out);
    return r.ok ? ReadFile(out) : std::string();
  }

  bftest::TempDir station;
  BurnFileSet set;
  fs::path out = station / "out.vlr";
};

TEST_F(AssembleTest, LaysOutSectionsHeaderAndPadding) {
  const std::string s1 = Firmware(700), s2 = bftest::Pattern(1000, 2), s3 = bftest::Pattern(300, 3);
  PutSections(s1, s2, s3);
  const std::string image = Assemble();
  ASSERT_EQ(image.size(), 1024u + 1024u + 300u);

  EXPECT_EQ(GetWord(image, 160), 0x400200u);  // R1 = 1,024
  EXPECT_EQ(GetWord(image, 164), W(1024 + 1000));
  EXPECT_EQ(GetWord(image, 168), W(2048));
  EXPECT_EQ(GetWord(image, 172), W(2048 + 300));
  EXPECT_EQ(GetWord(image, 176), bftest::SumWithoutChecksumField(image));
  EXPECT_EQ(GetWord(image, 180), W(64));
  EXPECT_EQ(image.substr(184, 20), std::string(set.packageUserId.begin(), set.packageUserId.end()));

  // Everything of 1.bin outside 160..203 passes unchanged, then 0xFF up to R1.
  EXPECT_EQ(image.substr(0, 160), s1.substr(0, 160));
  EXPECT_EQ(image.substr(180, 4), s1.substr(180, 4));
  EXPECT_EQ(image.substr(204, 700 - 204), s1.substr(204));
  EXPECT_EQ(image.substr(700, 324), std::string(324, '\xFF'));
  // Section 2, then the fill pattern from section position 1,000 (1,000 mod 8 = 0).
  EXPECT_EQ(image.substr(1024, 1000), s2);
  const std::string pattern("\xFF\xFF\xFF\xFF\0\0\0\0", 8);
  EXPECT_EQ(image.substr(2024, 24), pattern + pattern + pattern);
  EXPECT_EQ(image.substr(2048), s3);
}

TEST_F(AssembleTest, HeaderWordsForEmptyAndOddSections) {
  struct Case {
    const char* name;
    size_t l2, l3;
    uint32_t voiceEnd, sysconfigStart, sysconfigEnd;  // with R1 = 512
  };
  const Case cases[] = {
      {"empty voice takes no space", 0, 100, W(512), W(512), W(612)},
      {"empty sysconfig", 100, 0, W(612), W(1024), W(1024)},
      {"both empty", 0, 0, W(512), W(512), W(512)},
      {"odd lengths store the end rounded down", 101, 33, W(612), W(1024), W(1056)},
      {"voice of exactly 512", 512, 1, W(1024), W(1024), W(1024)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    PutSections(Firmware(512), bftest::Pattern(c.l2), bftest::Pattern(c.l3));
    const std::string image = Assemble();
    ASSERT_EQ(image.size(), 512 + (c.l2 + 511) / 512 * 512 + c.l3);
    EXPECT_EQ(GetWord(image, 160), W(512));
    EXPECT_EQ(GetWord(image, 164), c.voiceEnd);
    EXPECT_EQ(GetWord(image, 168), c.sysconfigStart);
    EXPECT_EQ(GetWord(image, 172), c.sysconfigEnd);
  }
}

TEST_F(AssembleTest, ZeroUserIdWhenNothingWasImported) {
  set.packageUserId = {};
  PutSections(Firmware(512), "", "");
  EXPECT_EQ(Assemble().substr(184, 20), std::string(20, '\0'));
}

TEST_F(AssembleTest, ImportGivesTheSectionsBack) {
  struct Case {
    size_t l1, l2, l3;
  };
  for (const Case& c : {Case{512, 0, 0}, Case{700, 1000, 300}, Case{204, 513, 1023}, Case{1024, 1, 1},
                        Case{5000, 4097, 4096}}) {
    SCOPED_TRACE(testing::Message() << c.l1 << "/" << c.l2 << "/" << c.l3);
    const std::string s1 = Firmware(c.l1), s2 = bftest::Pattern(c.l2, 5), s3 = bftest::Pattern(c.l3, 6);
    PutSections(s1, s2, s3);
    const std::string image = Assemble();

    set.packageUserId = {};
    const ImportResult r = ImportBurnPackage(set, out);
    ASSERT_TRUE(r.ok) << r.detail;
    // 1.bin comes back padded to R1 with the header as assembled; an odd
    // section 2 or 3 one byte shorter.
    const size_t r1 = (c.l1 + 511) / 512 * 512;
    EXPECT_EQ(ReadFile(set.firmwareSectionPath), image.substr(0, r1));
    EXPECT_EQ(ReadFile(set.firmwareSectionPath).substr(0, c.l1).substr(204), s1.substr(204));
    EXPECT_EQ(ReadFile(set.voiceSectionPath), s2.substr(0, c.l2 & ~size_t(1)));
    EXPECT_EQ(ReadFile(set.sysconfigSectionPath), s3.substr(0, c.l3 & ~size_t(1)));
    EXPECT_EQ(set.packageUserId[0], 0xA0);

    // Assembling what the import gave back yields the same image when the lengths were even.
    if (c.l2 % 2 == 0 && c.l3 % 2 == 0) {
      EXPECT_EQ(Assemble(), image);
    }
  }
}

TEST_F(AssembleTest, RefusesWhatCannotMakeAnImportablePackage) {
  std::string infoOutside = Firmware(512);
  bftest::PutWord(infoOutside, 180, W(4096));
  const struct {
    const char* name;
    std::optional<std::string> s1, s2, s3;
    const char* message;
  } cases[] = {
      {"1.bin missing", std::nullopt, "v", "s", "Fail to open file"},
      {"2.bin missing", Firmware(512), std::nullopt, "s", "Fail to open file"},
      {"3.bin missing", Firmware(512), "v", std::nullopt, "Fail to open file"},
      {"1.bin empty", "", "v", "s", "too short"},
      {"1.bin shorter than the header", Firmware(512).substr(0, 203), "v", "s", "too short"},
      {"firmware info outside the image", infoOutside, "", "", "firmware info"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    using Entry = std::pair<const std::optional<std::string>*, fs::path>;
    for (const auto& [content, path] : {Entry{&c.s1, set.firmwareSectionPath}, Entry{&c.s2, set.voiceSectionPath},
                                        Entry{&c.s3, set.sysconfigSectionPath}}) {
      fs::remove(path);
      if (*content) WriteFile(path, **content);
    }
    WriteFile(out, "old export");
    set.flashPackagePath = "/old/package.vlr";
    const AssembleResult r = AssembleFlashImage(set, out);
    EXPECT_FALSE(r.ok);
    EXPECT_NE(r.message.find(c.message), std::string::npos) << r.message;
    EXPECT_EQ(ReadFile(out), "old export");
    EXPECT_EQ(set.flashPackagePath, "/old/package.vlr");
  }
}

TEST_F(AssembleTest, WriteFailureLeavesTheOldOutput) {
  PutSections(Firmware(512), bftest::Pattern(2000), "");
  WriteFile(out, "old export");
  set.flashPackagePath = "/old/package.vlr";
  AssembleResult full;
  {
    bftest::FileSizeLimit limit(1000);  // the image is 2,560 bytes
    full = AssembleFlashImage(set, out);
  }
  EXPECT_FALSE(full.ok);
  EXPECT_NE(full.message.find("Fail to create file"), std::string::npos) << full.message;
  EXPECT_EQ(ReadFile(out), "old export");
  EXPECT_EQ(set.flashPackagePath, "/old/package.vlr");

  const AssembleResult noFolder = AssembleFlashImage(set, station / "no-such-folder" / "x.vlr");
  EXPECT_FALSE(noFolder.ok);
  EXPECT_EQ(set.flashPackagePath, "/old/package.vlr");
}

TEST_F(AssembleTest, StartAssemblesOnlyAfterAReplacement) {
  PutSections(Firmware(512), "v", "s");
  set.flashPackagePath = "/imported.vlr";
  AssembleResult r = AssembleReplacedSections(set);
  EXPECT_TRUE(r.ok);
  EXPECT_FALSE(r.assembled);
  EXPECT_FALSE(fs::exists(set.assembledImagePath));
  EXPECT_EQ(set.flashPackagePath, "/imported.vlr");

  // A failed assembly keeps the flags: the burn must not go on with the old image.
  set.sysconfigReplaced = true;
  fs::remove(set.voiceSectionPath);
  r = AssembleReplacedSections(set);
  EXPECT_FALSE(r.ok);
  EXPECT_TRUE(set.sysconfigReplaced);
  EXPECT_EQ(set.flashPackagePath, "/imported.vlr");

  WriteFile(set.voiceSectionPath, "v");
  r = AssembleReplacedSections(set);
  EXPECT_TRUE(r.ok && r.assembled);
  EXPECT_FALSE(set.voiceReplaced || set.sysconfigReplaced);
  EXPECT_EQ(set.flashPackagePath, set.assembledImagePath);
  EXPECT_EQ(fs::file_size(set.assembledImagePath), 512u + 512u + 1u);
}

}  // namespace
}  // namespace ardentix
