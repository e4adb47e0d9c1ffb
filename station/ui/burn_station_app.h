// The program: its options (as the command line's: --station-dir and
// --simulate), the simulator, the station folder, then the main window's
// modal run; the program ends when the window closes.
#pragma once

#include <QApplication>
#include <string>
#include <vector>

#include "core/start_options.h"

namespace ardentix::ui {

using ardentix::ParseStartOptions;
using ardentix::PrepareStart;
using ardentix::StartOptions;

inline constexpr const char* kStartUsage = "usage: ardentix [--station-dir DIR] [--simulate N|FILE]\n";

class BurnStationApp final : public QApplication {
  Q_OBJECT
 public:
  BurnStationApp(int& argc, char** argv);
  // 0 after a normal run; 2 for a usage or simulator configuration problem,
  // 1 when no station folder can be used.
  int Run();
};

}  // namespace ardentix::ui
