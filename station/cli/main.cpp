// ardentix-cli entry: common options, then one command.
#include <unistd.h>

#include <csignal>
#include <cstring>
#include <iostream>
#include <string>

#include "QMR52916LIB_ext.h"
#include "cli/cli.h"
#include "core/station_dir.h"

namespace {

constexpr const char* kUsage =
    "usage: ardentix-cli COMMAND [ARGS...] [--station-dir DIR] [--simulate N|FILE]\n"
    "commands:\n"
    "  probe [LETTER...] [--json]     identify drives and print what they report\n"
    "  package info|import|export     flash package tools\n"
    "  catalogue list|add|remove      SPI flash catalogue\n"
    "  settings                       show the settings file's values\n"
    "  devices                        scan once and list the station's rows\n"
    "  watch [--for SECONDS]          list drives as they arrive and leave\n"
    "  flash-ids                      the flash id report of the listed devices\n"
    "  burn [--sd1 IMG] [--sd2 IMG] [--flash VLR [--voice F] [--sysconfig F]] [--json F] [--loop]\n"
    "                                 burn every ready device\n"
    "  make-samples DIR               write a sample package and SD image\n";

struct Common {
  std::string stationDir;
  std::string simulate;
  bool simulateGiven = false;
  ardentix::cli::Args rest;
};

// Takes the options every command accepts out of the argument list.
bool SplitCommon(int argc, char** argv, Common& c, std::string& problem) {
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    auto value = [&](std::string& into) {
      if (i + 1 >= argc) {
        problem = a + " needs a value";
        return false;
      }
      into = argv[++i];
      return true;
    };
    if (a == "--station-dir") {
      if (!value(c.stationDir)) return false;
    } else if (a.rfind("--station-dir=", 0) == 0) {
      c.stationDir = a.substr(14);
    } else if (a == "--simulate") {
      if (!value(c.simulate)) return false;
      c.simulateGiven = true;
    } else if (a.rfind("--simulate=", 0) == 0) {
      c.simulate = a.substr(11);
      c.simulateGiven = true;
    } else {
      c.rest.push_back(a);
    }
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  using namespace ardentix::cli;
  Common common;
  std::string problem;
  if (!SplitCommon(argc, argv, common, problem) || common.rest.empty()) {
    if (!problem.empty()) std::cerr << "ardentix-cli: " << problem << "\n";
    std::cerr << kUsage;
    return kExitUsage;
  }
  const std::string command = common.rest.front();
  const Args args(common.rest.begin() + 1, common.rest.end());
  if (command == "help" || command == "--help" || command == "-h") {
    std::cout << kUsage;
    return kExitOk;
  }

  char error[512] = {};
  if (common.simulateGiven) {
    if (!QMR_SimConfigure(common.simulate.c_str(), error, sizeof error)) {
      std::cerr << "ardentix-cli: " << error << "\n";
      return kExitUsage;
    }
  } else if (QMR_SimStatus(error, sizeof error) < 0) {
    std::cerr << "ardentix-cli: " << error << "\n";
    return kExitUsage;
  }

  const ardentix::StationDirChoice dir = ardentix::ResolveStationDir(common.stationDir);
  if (!dir.error.empty()) {
    std::cerr << "ardentix-cli: " << dir.error << "\n";
    return kExitFailed;
  }
  if (!dir.notice.empty()) std::cerr << "ardentix-cli: " << dir.notice << "\n";

  // Ctrl-C asks a long command to end cleanly (a burn finishes its devices).
  std::signal(SIGINT, [](int) { RequestStop(); });
  std::signal(SIGTERM, [](int) { RequestStop(); });

  Context ctx{dir.dir, std::cout, std::cerr};
  ctx.interactive = ::isatty(STDOUT_FILENO) == 1;
  if (command == "probe") return ProbeCommand(args, ctx);
  if (command == "package") return PackageCommand(args, ctx);
  if (command == "catalogue") return CatalogueCommand(args, ctx);
  if (command == "settings") return SettingsCommand(args, ctx);
  if (command == "devices") return DevicesCommand(args, ctx);
  if (command == "watch") return WatchCommand(args, ctx);
  if (command == "flash-ids") return FlashIdsCommand(args, ctx);
  if (command == "burn") return BurnCommand(args, ctx);
  if (command == "make-samples") return SamplesCommand(args, ctx);
  std::cerr << "ardentix-cli: unknown command \"" << command << "\"\n" << kUsage;
  return kExitUsage;
}
