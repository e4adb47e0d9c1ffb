#include "station/remembered.h"

#include <gtest/gtest.h>

#include "core/files.h"
#include "core/settings.h"
#include "station_fixture.h"

namespace ardentix {
namespace {

namespace fs = std::filesystem;

class Remembered : public ::testing::Test {
 protected:
  void SetUp() override { dir_ = testing::MakeTempDir("remembered"); }
  void TearDown() override { fs::remove_all(dir_); }
  fs::path dir_;
};

TEST_F(Remembered, NoFileGivesTheWindowsStartValues) {
  EXPECT_EQ(LoadRemembered(dir_), RememberedChoices{});
  const RememberedChoices none;
  EXPECT_EQ(none.flashEnabled, 1);
  EXPECT_EQ(none.sd1Enabled, 0);
  EXPECT_TRUE(none.batchSignal);
}

TEST_F(Remembered, ChoicesComeBackAsTheyWereAndTheSettingsFileIsNotTouched) {
  RememberedChoices c;
  c.sd1Image = dir_ / "blanks inside.img";
  c.sd2Image = dir_ / "a=b;c [x] \"q\".img";
  c.flashPackage = dir_ / "固件" / "pkg.vlr";
  c.sd1Enabled = 1;
  c.sd2Enabled = 1;
  c.flashEnabled = 0;
  c.batchSignal = false;
  c.day = {"2024-05-06", 26, 1};
  ASSERT_TRUE(SaveRemembered(dir_, c));
  EXPECT_EQ(LoadRemembered(dir_), c);
  EXPECT_FALSE(fs::exists(SettingsPath(dir_)));

  // Saved again over a hand-edited file: its other lines stay.
  const std::string edited = *ReadWholeFile(RememberedPath(dir_)) + "; kept\r\n[OTHER]\r\nKey=1\r\n";
  ASSERT_TRUE(WriteFileAtomically(RememberedPath(dir_), edited));
  c.sd1Enabled = 0;
  ASSERT_TRUE(SaveRemembered(dir_, c));
  EXPECT_EQ(LoadRemembered(dir_), c);
  EXPECT_NE(ReadWholeFile(RememberedPath(dir_))->find("[OTHER]\r\nKey=1"), std::string::npos);
}

TEST_F(Remembered, ANameThatCannotBeKeptLeavesTheOldFile) {
  RememberedChoices c;
  c.sd1Image = dir_ / "old.img";
  ASSERT_TRUE(SaveRemembered(dir_, c));
  for (const char* name : {"line\nbreak.img", "blank at the end.img "}) {
    c.sd2Image = fs::path("/") / name;
    std::string error;
    EXPECT_FALSE(SaveRemembered(dir_, c, &error)) << name;
    EXPECT_NE(error, "");
    EXPECT_EQ(LoadRemembered(dir_).sd2Image, fs::path()) << name;
  }
}

TEST_F(Remembered, OddValuesReadAsTheStartValues) {
  ASSERT_TRUE(WriteFileAtomically(RememberedPath(dir_),
                                  "[CHOICES]\r\nSPI Burn=x\r\nSD1 Burn=7\r\nBatch Signal=\r\n[TODAY]\r\nPassed=-4\r\n"));
  const RememberedChoices c = LoadRemembered(dir_);
  EXPECT_EQ(c.flashEnabled, 0);  // not a number reads as 0, as the settings do
  EXPECT_EQ(c.sd1Enabled, 1);
  EXPECT_FALSE(c.batchSignal);
  EXPECT_EQ(c.day.passed, 0);
}

TEST_F(Remembered, OnlyFilesThatStillExistAreChosenAgain) {
  testing::WriteText(dir_ / "card.img", "x");
  testing::WriteText(dir_ / "fw.vlr", "x");
  RememberedChoices c;
  c.sd1Image = dir_ / "card.img";
  c.sd2Image = dir_ / "gone.img";
  c.flashPackage = dir_ / "fw.vlr";
  BurnFileSet files;
  RestorePlan plan = RestoreChoices(c, files);
  EXPECT_EQ(files.sd1ImagePath, dir_ / "card.img");
  EXPECT_EQ(files.sd2ImagePath, fs::path());
  EXPECT_EQ(files.flashPackagePath, fs::path());  // the import sets it
  EXPECT_EQ(plan.packageToImport, dir_ / "fw.vlr");
  EXPECT_EQ(plan.gone, std::vector<fs::path>{dir_ / "gone.img"});

  // A folder is no file; nothing remembered restores nothing.
  c = RememberedChoices{};
  c.flashPackage = dir_;
  BurnFileSet empty;
  plan = RestoreChoices(c, empty);
  EXPECT_EQ(plan.packageToImport, fs::path());
  EXPECT_EQ(plan.gone, std::vector<fs::path>{dir_});
}

}  // namespace
}  // namespace ardentix
