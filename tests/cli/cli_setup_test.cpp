// ardentix-cli started with a simulator setup the device library cannot
// use: every command ends with status 2 and the library's reason, before it
// touches a device or the station folder.
#include <gtest/gtest.h>

#include <cstdlib>

#include "cli/child_program.h"
#include "core/temp_dir.h"

namespace ardentix {
namespace {

TEST(CliWithABrokenSimulatorSetup, EndsWithStatus2AndTheReason) {
  test::TempDir dir;
  ::setenv("QMR52916_SIMULATE", R"({"devices":[{"letter":"E","luns":3}]})", 1);
  const struct {
    const char* name;
    std::vector<std::string> args;
  } cases[] = {
      {"devices", {"devices"}},
      {"probe", {"probe", "E"}},
      {"settings, which needs no device", {"settings"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<std::string> args = c.args;
    args.push_back("--station-dir=" + (dir / "station").string());
    const test::ChildEnd end = test::RunProgram(ARDENTIX_CLI, args, dir / "run");
    EXPECT_EQ(end.signal, 0) << end.err;
    EXPECT_EQ(end.exitCode, 2) << end.err;
    EXPECT_NE(end.err.find("ardentix-cli: "), std::string::npos) << end.err;
    EXPECT_NE(end.err.find("luns"), std::string::npos) << end.err;  // the bad item
    EXPECT_EQ(end.out, "");
  }
  ::unsetenv("QMR52916_SIMULATE");
}

}  // namespace
}  // namespace ardentix
