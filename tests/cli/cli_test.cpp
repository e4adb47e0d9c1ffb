// The command line's station commands, run in-process on simulated devices
// with a fake clock: what they print and the exit status line automation
// relies on.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <sstream>

#include "cli_fixture.h"

namespace ardentix::testing {
namespace {

class CliTest : public CliFixture {
 protected:
  CliTest() : CliFixture("cli") {}
  std::string Samples() { return CliFixture::Samples({"--sd-kb", "256", "--voice-kb", "64"}); }
};

TEST_F(CliTest, DevicesListsTheRowsWithFlashIdClockAndNode) {
  EXPECT_EQ(Run(cli::DevicesCommand, "2", {}), 0);
  EXPECT_EQ(out_.str(),
            "1\tE(0) :\tThe device is ready....\t---\t001840EF\t80\tsim:E\n"
            "2\tF(0) :\tThe device is ready....\t---\t001840EF\t80\tsim:F\n");
  EXPECT_EQ(Run(cli::DevicesCommand, "1", {"extra"}), 2);
}

cli::Args Plus(cli::Args a, const cli::Args& more) {
  a.insert(a.end(), more.begin(), more.end());
  return a;
}

TEST_F(CliTest, BurnExitStatusTellsTheOutcome) {
  const std::string s = Samples();
  const cli::Args files = {"--sd1", s + "/sample.img", "--flash", s + "/sample.vlr"};
  struct Case {
    const char* name;
    std::string sim;
    cli::Args args;
    int status;
    std::string summary;
  } cases[] = {
      {"all pass", "2", files, 0, "Passed: 2  Failed: 0"},
      {"one fails",
       R"({"devices":[{"letter":"E","faults":[{"on":"sd-write"}]},{"letter":"F"}]})", files, 1,
       "Passed: 1  Failed: 1"},
      {"no device", "0", files, 2, ""},
      {"bad option", "1", {"--sd1"}, 2, ""},
      {"section without package", "1", {"--voice", s + "/sample.img"}, 2, ""},
      {"missing image", "1", {"--sd1", s + "/none.img"}, 1, ""},
      // The line: the devices there at START are burned; it stops after --for.
      {"line for a minute", "2", Plus(files, {"--continuous", "--for", "60"}), 0, "Passed: 2  Failed: 0"},
      {"line, one fails",
       R"({"devices":[{"letter":"E","faults":[{"on":"sd-write"}]},{"letter":"F"}]})",
       Plus(files, {"--continuous", "--for", "60"}), 1, "Passed: 1  Failed: 1"},
      {"line with no device", "0", Plus(files, {"--continuous", "--for", "5"}), 0, "Passed: 0  Failed: 0"},
      {"--for without the line", "1", Plus(files, {"--for", "5"}), 2, ""},
      {"line and loop", "1", Plus(files, {"--continuous", "--loop"}), 2, ""},
      {"no time", "1", Plus(files, {"--continuous", "--for", "0"}), 2, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(Run(cli::BurnCommand, c.sim, c.args), c.status) << err_.str();
    if (!c.summary.empty()) {
      EXPECT_NE(out_.str().find(c.summary), std::string::npos) << out_.str();
    }
  }
}

TEST_F(CliTest, BurnReportHoldsEachDevice) {
  const std::string s = Samples();
  const auto report = dir_ / "report.json";
  ASSERT_EQ(Run(cli::BurnCommand, "2", {"--flash", s + "/sample.vlr", "--json", report.string()}), 0);
  std::ifstream in(report);
  const auto json = nlohmann::json::parse(in);
  EXPECT_EQ(json["passed"], 2);
  ASSERT_EQ(json["devices"].size(), 2u);
  const auto& e = json["devices"][0];
  EXPECT_EQ(e["letter"], "E");
  EXPECT_EQ(e["lun"], 0);
  EXPECT_EQ(e["outcome"], "passed");
  EXPECT_EQ(e["stage"], "Download OK");
  EXPECT_EQ(e["result"], "Success!");
  EXPECT_EQ(e["serial"], "000000012345");
  EXPECT_EQ(e["flashId"], "001840EF");
  EXPECT_TRUE(e["stageSeconds"].contains("flash-erase"));
  EXPECT_NE(out_.str().find("FirmwareInfo: RQ4820 sample firmware 1.0"), std::string::npos);
}

}  // namespace
}  // namespace ardentix::testing
