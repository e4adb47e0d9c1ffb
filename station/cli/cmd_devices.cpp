// devices, watch, flash-ids: what the station finds attached.
#include <ostream>
#include <set>
#include <string>

#include "catalogue/flash_id_report.h"
#include "cli/session.h"

namespace ardentix::cli {
namespace {

bool NoArguments(const Args& args, Context& ctx, const char* usage) {
  if (args.empty()) return true;
  ctx.err << "ardentix-cli: unexpected argument \"" << args.front() << "\"\nusage: " << usage << "\n";
  return false;
}

}  // namespace

int DevicesCommand(const Args& args, Context& ctx) {
  if (!NoArguments(args, ctx, "ardentix-cli devices [--simulate N|FILE] [--station-dir DIR]")) return kExitUsage;
  Session session(ctx);
  session.Start();
  Station& station = session.station();
  station.RefreshDeviceRows();
  for (int i = 0; i < station.rows().Count(); ++i) ctx.out << DeviceLine(station, i) << "\n";
  if (station.rows().Count() == 0) ctx.err << "ardentix-cli: no device found\n";
  return kExitOk;
}

int WatchCommand(const Args& args, Context& ctx) {
  int64_t limitMs = -1;
  for (size_t i = 0; i < args.size(); ++i) {
    if (args[i] == "--for" && i + 1 < args.size()) {
      try {
        size_t used = 0;
        const double seconds = std::stod(args[i + 1], &used);
        if (used != args[i + 1].size() || seconds < 0) throw std::invalid_argument("");
        limitMs = int64_t(seconds * 1000);
      } catch (const std::exception&) {
        ctx.err << "ardentix-cli watch: --for needs a number of seconds\n";
        return kExitUsage;
      }
      ++i;
    } else {
      ctx.err << "ardentix-cli watch: unexpected argument \"" << args[i] << "\"\n"
              << "usage: ardentix-cli watch [--for SECONDS] [--simulate N|FILE] [--station-dir DIR]\n";
      return kExitUsage;
    }
  }
  Session session(ctx);
  Station& station = session.station();
  std::set<char> shown;
  // Prints a line for every drive that joined or left the list.
  auto report = [&] {
    station.RefreshDeviceRows();
    std::set<char> now;
    for (int i = 0; i < station.slots().GetDeviceCount(); ++i) {
      const char letter = station.slots().GetListedLetter(i);
      now.insert(letter);
      if (!shown.count(letter)) ctx.out << "+ " << DeviceLine(station, i) << std::endl;
    }
    for (char letter : shown)
      if (!now.count(letter)) ctx.out << "- " << letter << ":" << std::endl;
    shown = std::move(now);
  };
  station.SetChangeListener(report);
  session.Start();
  session.RunUntil(nullptr, limitMs);
  station.SetChangeListener(nullptr);
  return kExitOk;
}

}  // namespace ardentix::cli

namespace ardentix::cli {

int FlashIdsCommand(const Args& args, Context& ctx) {
  if (!NoArguments(args, ctx, "ardentix-cli flash-ids [--simulate N|FILE] [--station-dir DIR]")) return kExitUsage;
  Session session(ctx);
  session.Start();
  const std::string report = FlashIdReport(session.station().rows());
  if (report.empty()) {
    ctx.err << "ardentix-cli: no device found\n";
    return kExitFailed;
  }
  ctx.out << report;
  return kExitOk;
}

}  // namespace ardentix::cli
