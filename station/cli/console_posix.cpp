#include <unistd.h>

#include "cli/console.h"

namespace ardentix::cli {

std::vector<std::string> ProgramArguments(int argc, char** argv) {
  return argc > 1 ? std::vector<std::string>(argv + 1, argv + argc) : std::vector<std::string>{};
}

bool PrepareTerminalOutput() { return ::isatty(STDOUT_FILENO) == 1; }

}  // namespace ardentix::cli
