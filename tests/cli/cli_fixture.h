// The command line's commands run in-process on simulated devices with a
// fake clock, in a station folder of their own.
#pragma once

#include <gtest/gtest.h>

#include <sstream>
#include <string>

#include "cli/cli.h"
#include "core/clock.h"
#include "station/station_fixture.h"

namespace ardentix::testing {

class CliFixture : public ::testing::Test {
 protected:
  explicit CliFixture(std::string tag) : tag_(std::move(tag)) {}
  void SetUp() override {
    dir_ = MakeTempDir(tag_);
    WriteText(dir_ / "SpiList.ini", kCatalogue);
  }
  void TearDown() override {
    QMR_SimConfigure(nullptr, nullptr, 0);
    std::filesystem::remove_all(dir_);
  }
  // Runs a command on the given simulated devices; returns its exit status.
  int Run(int (*command)(const cli::Args&, cli::Context&), const std::string& sim, const cli::Args& args) {
    char error[256] = {};
    EXPECT_EQ(QMR_SimConfigure(sim.c_str(), error, sizeof error), 1) << error;
    out_.str("");
    err_.str("");
    cli::Context ctx{dir_, out_, err_, &clock_};
    return command(args, ctx);
  }
  // The sample burn files under dir_/s; returns that folder.
  std::string Samples(const cli::Args& sizes) {
    std::ostringstream out, err;
    cli::Context ctx{dir_, out, err, &clock_};
    cli::Args args{(dir_ / "s").string()};
    args.insert(args.end(), sizes.begin(), sizes.end());
    EXPECT_EQ(cli::SamplesCommand(args, ctx), 0);
    return (dir_ / "s").string();
  }

  std::string tag_;
  std::filesystem::path dir_;
  FakeClock clock_;
  std::ostringstream out_, err_;
};

}  // namespace ardentix::testing
