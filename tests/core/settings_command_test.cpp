#include <gtest/gtest.h>

#include <sstream>
#include <string>

#include "cli/cli.h"
#include "core/files.h"
#include "core/settings.h"
#include "core/temp_dir.h"

namespace ardentix::cli {
namespace {

struct Outcome {
  int status;
  std::string out, err;
};

Outcome Settings(const std::filesystem::path& dir, const Args& args = {}) {
  std::ostringstream out, err;
  Context ctx{dir, out, err};
  const int status = SettingsCommand(args, ctx);
  return {status, out.str(), err.str()};
}

TEST(SettingsCommand, ShowsEveryValueUnderTheFilesKeyNames) {
  test::TempDir dir;
  ASSERT_TRUE(WriteFileAtomically(SettingsPath(dir.path()),
                                  "[SETUP]\r\nStart SN=ABC45\r\nMP Count=1\r\nXP Lock=0\r\nWrite Verify=1\r\n"
                                  "Save SD File=1\r\n[OID MP]\r\nPass Count=2\r\nFail Count=1\r\n"));
  const Outcome r = Settings(dir.path());
  EXPECT_EQ(r.status, kExitOk);
  EXPECT_EQ(r.out,
            "Start SN: ABC45\nMP Count: 1\nXP Lock: 0\nWrite Verify: 1\nSave SD File: 1\nPass Count: 2\n"
            "Fail Count: 1\nStartSerial: 000450000003\n");
  EXPECT_EQ(r.err, "");
}

TEST(SettingsCommand, AMissingFileShowsTheDefaultsWithANote) {
  test::TempDir dir;
  const Outcome r = Settings(dir.path());
  EXPECT_EQ(r.status, kExitOk);
  EXPECT_EQ(r.out,
            "Start SN: 0\nMP Count: 0\nXP Lock: 1\nWrite Verify: 0\nSave SD File: 0\nPass Count: 0\n"
            "Fail Count: 0\nStartSerial: 000000000000\n");
  EXPECT_NE(r.err.find("does not exist"), std::string::npos);
  EXPECT_FALSE(std::filesystem::exists(SettingsPath(dir.path())));
}

TEST(SettingsCommand, RefusesArgumentsAndUnreadableFiles) {
  test::TempDir dir;
  EXPECT_EQ(Settings(dir.path(), {"extra"}).status, kExitUsage);
  std::filesystem::create_directory(SettingsPath(dir.path()));
  const Outcome r = Settings(dir.path());
  EXPECT_EQ(r.status, kExitFailed);
  EXPECT_NE(r.err.find("cannot read"), std::string::npos);
}

}  // namespace
}  // namespace ardentix::cli
