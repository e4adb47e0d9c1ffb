// ardentix: the burn station's window.
#include <iostream>
#include <string>
#include <vector>

#include "ui/burn_station_app.h"

int main(int argc, char** argv) {
  // Help and option mistakes are answered before any display is needed.
  const std::vector<std::string> args(argv + 1, argv + argc);
  ardentix::ui::StartOptions options;
  std::string problem;
  if (!ardentix::ParseStartOptions(args, options, problem, nullptr, true)) {
    std::cerr << "ardentix: " << problem << "\n" << ardentix::ui::kStartUsage;
    return 2;
  }
  if (options.help) {
    std::cout << ardentix::ui::kStartUsage;
    return 0;
  }
  ardentix::ui::BurnStationApp app(argc, argv);
  return app.Run();
}
