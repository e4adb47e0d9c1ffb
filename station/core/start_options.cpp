#include "core/start_options.h"

#include "QMR52916LIB_ext.h"
#include "core/file_set.h"

namespace ardentix {

bool ParseStartOptions(const std::vector<std::string>& args, StartOptions& options, std::string& problem,
                       std::vector<std::string>* rest, bool othersAllowed) {
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    auto value = [&](std::string& into) {
      if (i + 1 >= args.size()) {
        problem = a + " needs a value";
        return false;
      }
      into = args[++i];
      return true;
    };
    if (a == "--station-dir") {
      if (!value(options.stationDir)) return false;
    } else if (a.rfind("--station-dir=", 0) == 0) {
      options.stationDir = a.substr(14);
    } else if (a == "--simulate") {
      if (!value(options.simulate)) return false;
      options.simulateGiven = true;
    } else if (a.rfind("--simulate=", 0) == 0) {
      options.simulate = a.substr(11);
      options.simulateGiven = true;
    } else if (a == "--help" || a == "-h") {
      options.help = true;
    } else if (rest != nullptr) {
      rest->push_back(a);
    } else if (!othersAllowed || a.rfind("--", 0) == 0) {
      problem = "unknown argument \"" + a + "\"";
      return false;
    }
  }
  return true;
}

int PrepareStart(const StartOptions& options, StationDirChoice& dir, std::string& problem) {
  char error[512] = {};
  if (options.simulateGiven) {
    if (!QMR_SimConfigure(options.simulate.c_str(), error, sizeof error)) {
      problem = error;
      return 2;
    }
  } else if (QMR_GetSetupError(error, sizeof error)) {
    problem = error;
    return 2;
  }
  dir = ResolveStationDir(options.stationDir);
  if (!dir.error.empty()) {
    problem = dir.error;
    return 1;
  }
  // What a crash of an earlier run left half done is finished before anything
  // reads the folder; what cannot be put right is said with the notice.
  for (const std::string& p : RecoverInterruptedWrites(dir.dir))
    dir.notice += (dir.notice.empty() ? "" : "; ") + p;
  return 0;
}

}  // namespace ardentix
