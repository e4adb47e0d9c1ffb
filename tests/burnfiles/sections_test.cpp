// Replacing a section, exporting, and recovering the userId for a new process.
#include <gtest/gtest.h>

#include "burnfiles/import.h"
#include "burnfiles/sections.h"
#include "burnfiles_fixture.h"

namespace ardentix {
namespace {

using bftest::MakePackage;
using bftest::ReadFile;
using bftest::W;
using bftest::WriteFile;
namespace fs = std::filesystem;

class SectionsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    SetProgramDirectory(set, station.path());
    WriteFile(station / "pkg.vlr", MakePackage(3072, bftest::TypicalWords()));
    const ImportResult r = ImportBurnPackage(set, station / "pkg.vlr");
    ASSERT_TRUE(r.ok) << r.detail;
  }

  bftest::TempDir station;
  BurnFileSet set;
};

TEST_F(SectionsTest, ReplacementCopiesTheFileAndRaisesItsFlag) {
  const std::string voice1 = bftest::Pattern(777, 9), voice2 = bftest::Pattern(10, 8), sys("\0\1\2odd", 6);
  WriteFile(station / "v1.bin", voice1);
  WriteFile(station / "v2.bin", voice2);
  WriteFile(station / "s.bin", sys);

  ReplaceResult r = ReplaceVoiceSection(set, station / "v1.bin");
  EXPECT_TRUE(r.ok);
  EXPECT_EQ(r.message, "replace ok");
  EXPECT_EQ(r.size, 777u);
  EXPECT_EQ(ReadFile(set.voiceSectionPath), voice1);
  EXPECT_TRUE(set.voiceReplaced);
  EXPECT_FALSE(set.sysconfigReplaced);

  ASSERT_TRUE(ReplaceVoiceSection(set, station / "v2.bin").ok);
  EXPECT_EQ(ReadFile(set.voiceSectionPath), voice2);

  ASSERT_TRUE(ReplaceSysconfigSection(set, station / "s.bin").ok);
  EXPECT_EQ(ReadFile(set.sysconfigSectionPath), sys);
  EXPECT_TRUE(set.sysconfigReplaced);
}

TEST_F(SectionsTest, FailedReplacementKeepsSectionAndFlag) {
  const std::string oldVoice = ReadFile(set.voiceSectionPath);
  const std::string oldSys = ReadFile(set.sysconfigSectionPath);
  WriteFile(station / "big.bin", bftest::Pattern(5000));
  const struct {
    const char* name;
    fs::path chosen;
    uint64_t fileSizeLimit;  // 0: none
    const char* message;
  } cases[] = {
      {"chosen file missing", station / "missing.bin", 0, "Fail to open file"},
      {"chosen path is a folder", station / "BurnFile", 0, "Fail to open file"},
      {"section file cannot be written", station / "big.bin", 1000, "Fail to write file"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    for (bool voice : {true, false}) {
      ReplaceResult r;
      {
        std::optional<bftest::FileSizeLimit> limit;
        if (c.fileSizeLimit != 0) limit.emplace(c.fileSizeLimit);
        r = voice ? ReplaceVoiceSection(set, c.chosen) : ReplaceSysconfigSection(set, c.chosen);
      }
      EXPECT_FALSE(r.ok);
      EXPECT_NE(r.message.find(c.message), std::string::npos) << r.message;
      EXPECT_NE(r.message.find("not replaced"), std::string::npos) << r.message;
    }
    EXPECT_EQ(ReadFile(set.voiceSectionPath), oldVoice);
    EXPECT_EQ(ReadFile(set.sysconfigSectionPath), oldSys);
    EXPECT_FALSE(set.voiceReplaced);
    EXPECT_FALSE(set.sysconfigReplaced);
  }
}

TEST_F(SectionsTest, AFileBeyondTheFlashABurnReachesIsRefusedUncopied) {
  const std::string oldVoice = ReadFile(set.voiceSectionPath);
  const fs::path huge = station / "huge.bin";
  WriteFile(huge, "voice");
  fs::resize_file(huge, uint64_t(3) << 30);  // sparse: 3 GiB on paper
  const ReplaceResult r = ReplaceVoiceSection(set, huge);
  EXPECT_FALSE(r.ok);
  EXPECT_NE(r.message.find("too big"), std::string::npos) << r.message;
  EXPECT_NE(r.message.find("not replaced"), std::string::npos) << r.message;
  EXPECT_EQ(ReadFile(set.voiceSectionPath), oldVoice);
  EXPECT_FALSE(set.voiceReplaced);
}

TEST_F(SectionsTest, ExportHoldsTheReplacedSectionsAndKeepsTheFlags) {
  const std::string voice = bftest::Pattern(1500, 4), sys = bftest::Pattern(333, 5);  // sysconfig of odd length
  WriteFile(station / "v.bin", voice);
  WriteFile(station / "s.bin", sys);
  ASSERT_TRUE(ReplaceVoiceSection(set, station / "v.bin").ok);
  ASSERT_TRUE(ReplaceSysconfigSection(set, station / "s.bin").ok);

  const fs::path exported = station / "exported.vlr";
  const AssembleResult r = ExportBurnPackage(set, exported);
  ASSERT_TRUE(r.ok) << r.message;
  EXPECT_EQ(r.message, "");
  EXPECT_EQ(set.flashPackagePath, exported);
  EXPECT_TRUE(set.voiceReplaced && set.sysconfigReplaced);

  ASSERT_TRUE(ImportBurnPackage(set, exported).ok);
  EXPECT_EQ(ReadFile(set.voiceSectionPath), voice);
  EXPECT_EQ(ReadFile(set.sysconfigSectionPath), sys.substr(0, 332));
  EXPECT_EQ(std::string(set.packageUserId.begin(), set.packageUserId.end()), std::string(bftest::kUserId, 20));
}

TEST_F(SectionsTest, UserIdIsRecoveredFrom1Bin) {
  BurnFileSet fresh;  // a new process: nothing imported
  SetProgramDirectory(fresh, station.path());
  std::string error;
  ASSERT_TRUE(RecoverPackageUserId(fresh, &error)) << error;
  EXPECT_EQ(fresh.packageUserId, set.packageUserId);

  WriteFile(fresh.firmwareSectionPath, std::string(203, 'x'));
  EXPECT_FALSE(RecoverPackageUserId(fresh, &error));
  EXPECT_NE(error.find("too short"), std::string::npos);
  fs::remove(fresh.firmwareSectionPath);
  EXPECT_FALSE(RecoverPackageUserId(fresh, &error));
}

}  // namespace
}  // namespace ardentix
