// ardentix-cli: the station without a window. Each command is a function that
// takes its arguments (after the command word, with the common options
// already removed) and returns the exit status: 0 success, 1 the operation
// failed (message on err), 2 usage.
#pragma once

#include <filesystem>
#include <iosfwd>
#include <string>
#include <vector>

namespace ardentix {
class Clock;
}

namespace ardentix::cli {

using ardentix::Clock;

constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;

struct Context {
  std::filesystem::path stationDir;  // resolved --station-dir / ARDENTIX_STATION_DIR / default
  std::ostream& out;
  std::ostream& err;
  Clock* clock = nullptr;  // null: the system clock (tests give a fake one)
  bool interactive = false;  // out is a terminal: redraw tables in place
};

using Args = std::vector<std::string>;

int ProbeCommand(const Args& args, Context& ctx);
int PackageCommand(const Args& args, Context& ctx);
int CatalogueCommand(const Args& args, Context& ctx);
int SettingsCommand(const Args& args, Context& ctx);
int DevicesCommand(const Args& args, Context& ctx);
int WatchCommand(const Args& args, Context& ctx);
int FlashIdsCommand(const Args& args, Context& ctx);
int BurnCommand(const Args& args, Context& ctx);
int SamplesCommand(const Args& args, Context& ctx);
int RecordsCommand(const Args& args, Context& ctx);

// The whole command line: the common options (--station-dir, --simulate),
// the start-up of the station folder, then the command the arguments name.
// Returns the exit status. `clock` as in Context (null: the system clock).
int RunCommandLine(const std::vector<std::string>& arguments, Clock* clock = nullptr);

// Asks a running command (watch, burn --loop) to end; safe from a signal handler.
void RequestStop();
bool StopRequested();

}  // namespace ardentix::cli
