// The command line as a whole: common options, the station folder, then one
// command.
#include <csignal>
#include <exception>
#include <iostream>
#include <new>
#include <string>

#include "cli/cli.h"
#include "cli/console.h"
#include "core/start_options.h"

namespace ardentix::cli {
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
    "  make-samples DIR               write a sample package and SD image\n"
    "  records [stats] [--since T] [--until T] [--serial S] [--outcome passed|failed] [--station N]\n"
    "          [--format table|csv|json] [--from URL]\n"
    "                                 the production records, or their yield and stage times\n";

int Run(const std::vector<std::string>& arguments, Clock* clock) {
  StartOptions options;
  std::vector<std::string> rest;
  std::string problem;
  if (!ParseStartOptions(arguments, options, problem, &rest)) {
    std::cerr << "ardentix-cli: " << problem << "\n" << kUsage;
    return kExitUsage;
  }
  if (options.help || (!rest.empty() && rest.front() == "help")) {
    std::cout << kUsage;
    return kExitOk;
  }
  if (rest.empty()) {
    std::cerr << kUsage;
    return kExitUsage;
  }
  const std::string command = rest.front();
  const Args args(rest.begin() + 1, rest.end());

  StationDirChoice dir;
  if (const int status = PrepareStart(options, dir, problem); status != 0) {
    std::cerr << "ardentix-cli: " << problem << "\n";
    return status == 2 ? kExitUsage : kExitFailed;
  }
  if (!dir.notice.empty()) std::cerr << "ardentix-cli: " << dir.notice << "\n";

  // Ctrl-C asks a long command to end cleanly (a burn finishes its devices).
  std::signal(SIGINT, [](int) { RequestStop(); });
  std::signal(SIGTERM, [](int) { RequestStop(); });

  Context ctx{dir.dir, std::cout, std::cerr, clock};
  ctx.interactive = PrepareTerminalOutput();
  if (command == "probe") return ProbeCommand(args, ctx);
  if (command == "package") return PackageCommand(args, ctx);
  if (command == "catalogue") return CatalogueCommand(args, ctx);
  if (command == "settings") return SettingsCommand(args, ctx);
  if (command == "devices") return DevicesCommand(args, ctx);
  if (command == "watch") return WatchCommand(args, ctx);
  if (command == "flash-ids") return FlashIdsCommand(args, ctx);
  if (command == "burn") return BurnCommand(args, ctx);
  if (command == "make-samples") return SamplesCommand(args, ctx);
  if (command == "records") return RecordsCommand(args, ctx);
  std::cerr << "ardentix-cli: unknown command \"" << command << "\"\n" << kUsage;
  return kExitUsage;
}

}  // namespace

int RunCommandLine(const std::vector<std::string>& arguments, Clock* clock) {
  // The operations report their own failures; this is the last guard, so
  // that running out of memory is a message and not an abort.
  try {
    return Run(arguments, clock);
  } catch (const std::bad_alloc&) {
    std::cerr << "ardentix-cli: not enough memory\n";
  } catch (const std::exception& e) {
    std::cerr << "ardentix-cli: " << e.what() << "\n";
  }
  return kExitFailed;
}

}  // namespace ardentix::cli
