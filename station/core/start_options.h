// What every front end does before its station starts: the common options
// (--station-dir, --simulate), the simulator, the station folder.
#pragma once

#include <string>
#include <vector>

#include "core/station_dir.h"

namespace ardentix {

struct StartOptions {
  std::string stationDir;
  std::string simulate;
  bool simulateGiven = false;
  bool help = false;  // --help or -h
};

// Takes --station-dir and --simulate ("--opt value" or "--opt=value") and
// --help out of the arguments. Other arguments go to `rest` when it is
// given; without it they are refused, except, with `othersAllowed`, those
// not starting with "--" (a toolkit's own, such as "-platform xcb").
// false and `problem` when the arguments are not understood.
bool ParseStartOptions(const std::vector<std::string>& args, StartOptions& options, std::string& problem,
                       std::vector<std::string>* rest = nullptr, bool othersAllowed = false);

// The simulator as the options or the environment configure it, then the
// station folder, in which writes a crash interrupted are finished
// (RecoverInterruptedWrites; what it cannot put right joins dir.notice). 0 to go on; else the exit status (2 for the simulator or
// a library setup it cannot use, 1 for the folder) and `problem`.
int PrepareStart(const StartOptions& options, StationDirChoice& dir, std::string& problem);

}  // namespace ardentix
