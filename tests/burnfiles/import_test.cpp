// Importing a package: the checksum test, the split into section files, the
// caption, and what a refused or failed import leaves behind.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <cstdlib>

#include "burnfiles/assemble.h"
#include "burnfiles/import.h"
#include "burnfiles/package.h"
#include "burnfiles/texts.h"
#include "burnfiles_fixture.h"
#include "core/faulty_platform.h"

namespace ardentix {
namespace {

using bftest::MakePackage;
using bftest::ReadFile;
using bftest::W;
using bftest::WriteFile;
namespace fs = std::filesystem;

class ImportTest : public ::testing::Test {
 protected:
  void SetUp() override {
    SetProgramDirectory(set, station.path());
    fs::create_directories(station / "BurnFile");
  }

  ImportResult ImportBytes(const std::string& bytes, const char* name = "pkg.vlr") {
    WriteFile(station / name, bytes);
    return ImportBurnPackage(set, station / name);
  }

  // Section files of an earlier import, to see whether they survive.
  void PutOldSections() {
    WriteFile(set.firmwareSectionPath, "old firmware");
    WriteFile(set.voiceSectionPath, "old voice");
    WriteFile(set.sysconfigSectionPath, "old sysconfig");
    WriteFile(set.assembledImagePath, "old image");
  }
  void ExpectOldSections() {
    EXPECT_EQ(ReadFile(set.firmwareSectionPath), "old firmware");
    EXPECT_EQ(ReadFile(set.voiceSectionPath), "old voice");
    EXPECT_EQ(ReadFile(set.sysconfigSectionPath), "old sysconfig");
    EXPECT_EQ(ReadFile(set.assembledImagePath), "old image");
    for (const auto& entry : fs::directory_iterator(station / "BurnFile"))
      EXPECT_EQ(entry.path().filename().string().find(".bin."), std::string::npos) << entry.path();
  }

  bftest::TempDir station;
  BurnFileSet set;
};

TEST_F(ImportTest, SplitsTheSectionsAtTheirBounds) {
  // firmwareEnd at byte 514 makes a 1,024-byte 1.bin; voice and sysconfig ends are not rounded.
  const std::string p = MakePackage(4096, {W(514), W(2001), W(2100), W(3001), W(64)});
  set.voiceReplaced = true;
  PutOldSections();
  const ImportResult r = ImportBytes(p);
  ASSERT_TRUE(r.ok) << r.message << " " << r.detail;
  EXPECT_EQ(r.message, "");
  EXPECT_EQ(ReadFile(set.firmwareSectionPath), p.substr(0, 1024));
  EXPECT_EQ(ReadFile(set.voiceSectionPath), p.substr(1024, 2000 - 1024));
  EXPECT_EQ(ReadFile(set.sysconfigSectionPath), p.substr(2560, 3000 - 2560));
  EXPECT_EQ(r.firmwareSectionSize, 1024u);
  EXPECT_EQ(r.voiceSectionSize, 976u);
  EXPECT_EQ(r.sysconfigSectionSize, 440u);
  EXPECT_FALSE(fs::exists(set.assembledImagePath));
  EXPECT_TRUE(set.packageLoaded);
  EXPECT_EQ(std::string(set.packageUserId.begin(), set.packageUserId.end()), std::string(bftest::kUserId, 20));
  EXPECT_EQ(set.flashPackagePath, station / "pkg.vlr");
  // The import leaves the replaced flags alone.
  EXPECT_TRUE(set.voiceReplaced);
  EXPECT_FALSE(set.sysconfigReplaced);
}

TEST_F(ImportTest, AbsentSectionsGiveEmptyFiles) {
  PutOldSections();
  ASSERT_TRUE(ImportBytes(MakePackage(3072, {W(1024), W(2000), 0, W(3000), W(64)})).ok);
  EXPECT_EQ(fs::file_size(set.voiceSectionPath), 976u);
  EXPECT_EQ(fs::file_size(set.sysconfigSectionPath), 0u);

  ASSERT_TRUE(ImportBytes(MakePackage(3072, {0, W(2000), W(2048), W(3000), W(64)})).ok);
  EXPECT_EQ(fs::file_size(set.firmwareSectionPath), 0u);
  EXPECT_EQ(fs::file_size(set.voiceSectionPath), 0u);
  EXPECT_EQ(fs::file_size(set.sysconfigSectionPath), 952u);
}

TEST_F(ImportTest, CaptionShowsTheFirmwareInfo) {
  const ImportResult r = ImportBytes(MakePackage(3072, bftest::TypicalWords(), "ABC"));
  ASSERT_TRUE(r.ok);
  EXPECT_EQ(r.firmwareInfo, "ABC");
  EXPECT_EQ(r.caption, "Ardentix RQ4820/B/(61700)(SPIBOOT) V4.5.0_ForCustomer  FirmwareInfo:ABC ");

  // No zero within 52 bytes: 52 characters. A text cut by the end of the file: what is there.
  const std::string long60(60, 'L');
  EXPECT_EQ(ImportBytes(MakePackage(3072, bftest::TypicalWords(), long60)).firmwareInfo, std::string(52, 'L'));
  bftest::HeaderWords atEnd = bftest::TypicalWords();
  atEnd.firmwareInfoAddress = W(3072 - 10);
  EXPECT_EQ(ImportBytes(MakePackage(3072, atEnd, long60)).firmwareInfo, std::string(10, 'L'));
}

TEST_F(ImportTest, ChecksumDecidesAndTheMarkerSkipsIt) {
  std::string p = MakePackage(3072, bftest::TypicalWords());
  ASSERT_TRUE(ImportBytes(p).ok);

  p[2500] = char(p[2500] + 1);
  const ImportResult bad = ImportBytes(p);
  EXPECT_FALSE(bad.ok);
  EXPECT_EQ(bad.message, "vlr file format error");
  EXPECT_FALSE(set.packageLoaded);

  bftest::Seal(p);
  EXPECT_TRUE(ImportBytes(p).ok);

  // 0x12345678 in the checksum field: any content passes.
  bftest::PutWord(p, 176, 0x12345678);
  p[10] = char(p[10] + 1);
  EXPECT_TRUE(ImportBytes(p).ok);
}

TEST_F(ImportTest, ShortPackageIsPaddedWithFFToSection1sEnd) {
  const std::string p = MakePackage(700, {W(700), W(1024), 0, 0, W(64)});
  const ImportResult r = ImportBytes(p);
  ASSERT_TRUE(r.ok) << r.detail;
  EXPECT_EQ(ReadFile(set.firmwareSectionPath), p + std::string(324, '\xFF'));
  EXPECT_EQ(fs::file_size(set.voiceSectionPath), 0u);
}

TEST_F(ImportTest, RefusedPackageTouchesNoSectionFile) {
  std::string truncated = MakePackage(3072, bftest::TypicalWords());
  truncated.resize(2500);
  std::string truncatedUnchecked = MakePackage(3072, bftest::TypicalWords(), "ABC", false);
  truncatedUnchecked.resize(2500);
  const struct {
    const char* name;
    std::string bytes;
  } cases[] = {
      {"empty file", ""},
      {"shorter than the header", MakePackage(204, {0, 0, 0, 0, W(0)}).substr(0, 203)},
      {"checksum mismatch", MakePackage(3072, bftest::TypicalWords()).replace(3000, 1, "?")},
      {"truncated, checksum fails", truncated},
      {"truncated, unchecked, sysconfig past the end", truncatedUnchecked},
      {"voiceEnd zero", MakePackage(3072, {W(1024), 0, 0, 0, W(64)})},
      {"section end before start", MakePackage(3072, {W(514), W(600), 0, 0, W(64)})},
      {"words near 4 Gi", MakePackage(3072, {0xFFFFFFFF, 0xFFFFFFFE, 0xFFFFFFFD, 0xFFFFFFFC, 0xFFFFFFFB})},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    PutOldSections();
    set.packageLoaded = true;
    const ImportResult r = ImportBytes(c.bytes);
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.message, "vlr file format error");
    EXPECT_FALSE(r.detail.empty());
    EXPECT_EQ(r.caption, "");
    EXPECT_FALSE(set.packageLoaded);
    EXPECT_EQ(set.flashPackagePath, station / "pkg.vlr");
    ExpectOldSections();
  }
}

TEST_F(ImportTest, UnopenablePathKeepsTheChosenPath) {
  std::vector<fs::path> paths{station / "missing.vlr", station / "BurnFile"};
#if !defined(_WIN32)
  ASSERT_EQ(::mkfifo((station / "fifo.vlr").c_str(), 0600), 0);  // must not wait for a writer
  paths.push_back(station / "fifo.vlr");
#endif
  for (const fs::path& chosen : paths) {
    SCOPED_TRACE(chosen);
    PutOldSections();
    set.packageLoaded = true;
    const ImportResult r = ImportBurnPackage(set, chosen);
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.message, "Fail to open file");
    EXPECT_EQ(set.flashPackagePath, chosen);
    EXPECT_FALSE(set.packageLoaded);
    ExpectOldSections();
  }
}

TEST_F(ImportTest, HugeFileIsRefusedWithoutReadingIt) {
  // Sparse: 5 GiB on paper, nothing on disk. Refused on its size alone.
  const fs::path huge = station / "huge.vlr";
  WriteFile(huge, MakePackage(3072, bftest::TypicalWords()));
  fs::resize_file(huge, (uint64_t(5) << 30));
  PutOldSections();
  const auto start = std::chrono::steady_clock::now();
  const ImportResult r = ImportBurnPackage(set, huge);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
  EXPECT_EQ(r.message, "vlr file format error");
  ExpectOldSections();
}

TEST_F(ImportTest, APackageBeyondTheFlashABurnReachesIsRefusedUnread) {
  // 20 MiB on paper (sparse), well-formed, its checksum not checked: nothing
  // but its size is wrong, and no burn could ever erase that much flash.
  const fs::path big = station / "big.vlr";
  WriteFile(big, MakePackage(3072, {W(1024), W(20u << 20), 0, 0, W(64)}, "ABC", false));
  fs::resize_file(big, 20u << 20);
  PutOldSections();
  const ImportResult r = ImportBurnPackage(set, big);
  EXPECT_FALSE(r.ok);
  EXPECT_EQ(r.message, "vlr file format error");
  EXPECT_NE(r.detail.find(std::to_string(kMaxFlashImageSize)), std::string::npos) << r.detail;
  ExpectOldSections();
}

// Nothing of the import needs hard links: a rename refused on the way (as a
// file system may) puts the old set back whole, 4.bin included.
TEST_F(ImportTest, ARefusedRenameLeavesTheOldSetWithoutHardLinks) {
  const std::string good = MakePackage(3072, bftest::TypicalWords());
  for (const char* refused : {"1.bin.new", "3.bin.new", "2.bin", "4.bin"}) {
    SCOPED_TRACE(refused);
    PutOldSections();
    ImportResult r;
    {
      test::FaultyPlatform faults;
      faults.allow = [refused](int, test::Step step, const fs::path& path) {
        return !(step == test::Step::Rename && path.filename() == refused);
      };
      r = ImportBytes(good);
    }
    EXPECT_FALSE(r.ok);
    EXPECT_NE(r.detail.find("injected failure"), std::string::npos) << r.detail;
    EXPECT_FALSE(set.packageLoaded);
    ExpectOldSections();
    EXPECT_FALSE(fs::exists(station / "BurnFile" / "replace.journal"));
  }
}

// The same on a real FAT file system, as on a USB stick, where the machine
// lets the test mount one.
TEST_F(ImportTest, OnFatTheOldSetStaysWholeAndTheNewOneArrives) {
  const fs::path image = station / "fat.img", mount = station / "fat";
  fs::create_directories(mount);
  const std::string make = "truncate -s 16M '" + image.string() + "' && mkfs.fat '" + image.string() +
                           "' >/dev/null 2>&1 && mount -t vfat -o loop '" + image.string() + "' '" +
                           mount.string() + "' >/dev/null 2>&1";
  if (std::system(make.c_str()) != 0) GTEST_SKIP() << "no FAT file system can be mounted here";
  struct Unmount {
    std::string command;
    ~Unmount() { [[maybe_unused]] const int rc = std::system(command.c_str()); }
  } unmount{"umount '" + mount.string() + "'"};

  BurnFileSet fat;
  SetProgramDirectory(fat, mount);
  fs::create_directories(SectionFolder(fat));
  WriteFile(fat.firmwareSectionPath, "old firmware");
  WriteFile(fat.voiceSectionPath, "old voice");
  WriteFile(fat.sysconfigSectionPath, "old sysconfig");
  const std::string good = MakePackage(3072, bftest::TypicalWords());
  WriteFile(mount / "pkg.vlr", good);
  {
    test::FaultyPlatform faults;
    faults.allow = [](int, test::Step step, const fs::path& path) {
      return !(step == test::Step::Rename && path.filename() == "3.bin.new");
    };
    EXPECT_FALSE(ImportBurnPackage(fat, mount / "pkg.vlr").ok);
  }
  EXPECT_EQ(ReadFile(fat.firmwareSectionPath), "old firmware");
  EXPECT_EQ(ReadFile(fat.voiceSectionPath), "old voice");
  EXPECT_EQ(ReadFile(fat.sysconfigSectionPath), "old sysconfig");
  const ImportResult r = ImportBurnPackage(fat, mount / "pkg.vlr");
  ASSERT_TRUE(r.ok) << r.detail;
  EXPECT_EQ(ReadFile(fat.firmwareSectionPath), good.substr(0, 1024));
  EXPECT_EQ(ReadFile(fat.sysconfigSectionPath), good.substr(2048, 952));
}

TEST_F(ImportTest, FailureWhileWritingLeavesTheOldSet) {
  const std::string good = MakePackage(3072, bftest::TypicalWords());
  {
    // 2.bin's new content cannot be written: 1.bin must not change alone.
    PutOldSections();
    fs::create_directories(station / "BurnFile" / "2.bin.new" / "x");
    const ImportResult r = ImportBytes(good);
    EXPECT_FALSE(r.ok);
    EXPECT_NE(r.message.find("section files"), std::string::npos) << r.message;
    EXPECT_FALSE(set.packageLoaded);
    EXPECT_EQ(set.packageUserId, PackageUserId{});
    fs::remove_all(station / "BurnFile" / "2.bin.new");
    ExpectOldSections();
    EXPECT_FALSE(fs::exists(station / "BurnFile" / "1.bin.new"));
  }
  {
    // The last rename fails (3.bin is a folder): 1.bin and 2.bin are put back.
    PutOldSections();
    fs::remove(set.sysconfigSectionPath);
    fs::create_directories(set.sysconfigSectionPath / "x");
    EXPECT_FALSE(ImportBytes(good).ok);
    EXPECT_EQ(ReadFile(set.firmwareSectionPath), "old firmware");
    EXPECT_EQ(ReadFile(set.voiceSectionPath), "old voice");
    EXPECT_EQ(ReadFile(set.assembledImagePath), "old image");
    fs::remove_all(set.sysconfigSectionPath);
  }
  {
    // A full disk (writes fail past 1,000 bytes): nothing changes.
    PutOldSections();
    WriteFile(station / "pkg.vlr", good);
    ImportResult r;
    {
      bftest::FileSizeLimit limit(1000);
      r = ImportBurnPackage(set, station / "pkg.vlr");
    }
    EXPECT_FALSE(r.ok);
    ExpectOldSections();
  }
  {
    // The section folder's name is taken by a file.
    fs::remove_all(station / "BurnFile");
    WriteFile(station / "BurnFile", "not a folder");
    const ImportResult r = ImportBytes(good);
    EXPECT_FALSE(r.ok);
    EXPECT_NE(r.message.find("Fail to create folder"), std::string::npos) << r.message;
    EXPECT_FALSE(set.packageLoaded);
  }
}

TEST_F(ImportTest, CreatesTheSectionFolder) {
  fs::remove_all(station / "BurnFile");
  ASSERT_TRUE(ImportBytes(MakePackage(3072, bftest::TypicalWords())).ok);
  EXPECT_EQ(fs::file_size(set.firmwareSectionPath), 1024u);
}

TEST_F(ImportTest, ImportingTheAssembledImageKeepsIt) {
  ASSERT_TRUE(ImportBytes(MakePackage(3072, bftest::TypicalWords())).ok);
  ASSERT_TRUE(AssembleFlashImage(set, set.assembledImagePath).ok);
  const ImportResult r = ImportBurnPackage(set, set.assembledImagePath);
  ASSERT_TRUE(r.ok) << r.detail;
  EXPECT_TRUE(fs::exists(set.assembledImagePath));
  EXPECT_EQ(set.flashPackagePath, set.assembledImagePath);
}

}  // namespace
}  // namespace ardentix
