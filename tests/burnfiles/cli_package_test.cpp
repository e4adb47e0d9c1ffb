// The package command of ardentix-cli, through its command function.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <sstream>

#include "burnfiles/package.h"
#include "burnfiles_fixture.h"
#include "cli/cli.h"

namespace ardentix::cli {
namespace {

using bftest::MakePackage;
using bftest::ReadFile;
using bftest::W;
using bftest::WriteFile;
using ::testing::HasSubstr;
namespace fs = std::filesystem;

class PackageCommandTest : public ::testing::Test {
 protected:
  int Run(const Args& args) {
    out.str("");
    err.str("");
    Context ctx{station.path(), out, err};
    return PackageCommand(args, ctx);
  }
  fs::path Put(const char* name, const std::string& bytes) {
    WriteFile(files / name, bytes);
    return files / name;
  }

  bftest::TempDir station, files;
  std::ostringstream out, err;
};

TEST_F(PackageCommandTest, InfoShowsHeaderChecksumAndSections) {
  const fs::path p = Put("p.vlr", MakePackage(3072, {W(514), W(2000), W(2048), W(3000), W(64)}, "ABC"));
  ASSERT_EQ(Run({"info", p.string()}), kExitOk) << err.str();
  const std::string text = out.str();
  EXPECT_THAT(text, HasSubstr("@160 firmwareEnd          0x00400101  byte 514"));
  EXPECT_THAT(text, HasSubstr("@172 sysconfigEnd         0x004005DC  byte 3000"));
  EXPECT_THAT(text, HasSubstr("@184 userId               55 53 45 52"));
  EXPECT_THAT(text, HasSubstr("FirmwareInfo: ABC\n"));
  EXPECT_THAT(text, HasSubstr("Checksum: holds"));
  EXPECT_THAT(text, HasSubstr("firmware   bytes 0..1024 (1024 bytes)"));
  EXPECT_THAT(text, HasSubstr("voice      bytes 1024..2000 (976 bytes)"));
  EXPECT_THAT(text, HasSubstr("sysconfig  bytes 2048..3000 (952 bytes)"));
  EXPECT_FALSE(fs::exists(station / "BurnFile"));  // info changes nothing

  const fs::path unchecked = Put("u.vlr", MakePackage(3072, {W(1024), W(2000), 0, 0, W(64)}, "X", false));
  ASSERT_EQ(Run({"info", unchecked.string()}), kExitOk);
  EXPECT_THAT(out.str(), HasSubstr("Checksum: not checked (0x12345678)"));
  EXPECT_THAT(out.str(), HasSubstr("sysconfig  absent"));

  std::string bad = MakePackage(3072, bftest::TypicalWords());
  bad[3000] ^= 1;
  EXPECT_EQ(Run({"info", Put("bad.vlr", bad).string()}), kExitFailed);
  EXPECT_THAT(out.str(), HasSubstr("Checksum: does not hold"));
  EXPECT_THAT(err.str(), HasSubstr("vlr file format error"));

  EXPECT_EQ(Run({"info", Put("wild.vlr", MakePackage(3072, {W(1024), 0x10, 0, 0, W(64)})).string()}), kExitFailed);
  EXPECT_THAT(out.str(), HasSubstr("0x00000010  below 0x00400000"));
  EXPECT_THAT(err.str(), HasSubstr("vlr file format error: voiceEnd 0x00000010 is below"));

  EXPECT_EQ(Run({"info", (files / "missing.vlr").string()}), kExitFailed);
  EXPECT_THAT(err.str(), HasSubstr("Fail to open file"));
}

TEST_F(PackageCommandTest, ImportWritesTheSectionFiles) {
  const fs::path p = Put("p.vlr", MakePackage(3072, bftest::TypicalWords(), "FW-1.2"));
  ASSERT_EQ(Run({"import", p.string()}), kExitOk) << err.str();
  EXPECT_THAT(out.str(), HasSubstr("FirmwareInfo: FW-1.2\n"));
  EXPECT_THAT(out.str(), HasSubstr("1.bin  1024 bytes"));
  EXPECT_THAT(out.str(), HasSubstr("2.bin  976 bytes"));
  EXPECT_THAT(out.str(), HasSubstr("3.bin  952 bytes"));
  EXPECT_EQ(fs::file_size(station / "BurnFile" / "1.bin"), 1024u);

  EXPECT_EQ(Run({"import", Put("bad.vlr", "short").string()}), kExitFailed);
  EXPECT_THAT(err.str(), HasSubstr("vlr file format error"));
  EXPECT_EQ(fs::file_size(station / "BurnFile" / "1.bin"), 1024u);
}

TEST_F(PackageCommandTest, ExportReplacesSectionsAndAssembles) {
  const fs::path p = Put("p.vlr", MakePackage(3072, bftest::TypicalWords()));
  const std::string voice = bftest::Pattern(600, 3), sys = bftest::Pattern(100, 4);
  const fs::path v = Put("v.bin", voice), s = Put("s.bin", sys);
  const fs::path outFile = files / "out.vlr";

  ASSERT_EQ(Run({"export", outFile.string(), "--from", p.string(), "--voice", v.string()}), kExitOk) << err.str();
  EXPECT_THAT(out.str(), HasSubstr("voice: replace ok (600 bytes)"));
  EXPECT_THAT(out.str(), HasSubstr("Exported " + outFile.string() + " (3000 bytes)"));
  const std::string image = ReadFile(outFile);
  EXPECT_EQ(image.substr(1024, 600), voice);
  EXPECT_EQ(image.substr(184, 20), std::string(bftest::kUserId, 20));

  // A later process without --from: the station's sections, the userId from 1.bin.
  ASSERT_EQ(Run({"export", outFile.string(), "--sysconfig", s.string()}), kExitOk) << err.str();
  const std::string again = ReadFile(outFile);
  EXPECT_EQ(again.substr(184, 20), std::string(bftest::kUserId, 20));
  EXPECT_EQ(again.substr(1024, 600), voice);
  EXPECT_EQ(again.substr(2048), sys);

  // A bad --sysconfig file stops the export before the voice is replaced.
  const std::string voiceBefore = ReadFile(station / "BurnFile" / "2.bin");
  EXPECT_EQ(Run({"export", outFile.string(), "--voice", Put("v2.bin", "new").string(), "--sysconfig",
                 (files / "missing.bin").string()}),
            kExitFailed);
  EXPECT_THAT(err.str(), HasSubstr("Fail to open file"));
  EXPECT_EQ(ReadFile(station / "BurnFile" / "2.bin"), voiceBefore);
}

TEST_F(PackageCommandTest, ExportWithoutAnImportedPackageFails) {
  EXPECT_EQ(Run({"export", (files / "out.vlr").string()}), kExitFailed);
  EXPECT_THAT(err.str(), HasSubstr("--from"));
  EXPECT_FALSE(fs::exists(files / "out.vlr"));
}

TEST_F(PackageCommandTest, UsageErrors) {
  const Args cases[] = {
      {},
      {"frobnicate"},
      {"info"},
      {"info", "a", "b"},
      {"import"},
      {"export"},
      {"export", "a", "b"},
      {"export", "out", "--voice"},
      {"export", "out", "--voice", "a", "--voice", "b"},
      {"export", "out", "--bogus", "x"},
  };
  for (const Args& args : cases) {
    SCOPED_TRACE(::testing::PrintToString(args));
    EXPECT_EQ(Run(args), kExitUsage);
    EXPECT_THAT(err.str(), HasSubstr("usage: ardentix-cli package"));
  }
}

}  // namespace
}  // namespace ardentix::cli
