// ardentix-cli entry.
#include "cli/cli.h"
#include "cli/console.h"

int main(int argc, char** argv) {
  return ardentix::cli::RunCommandLine(ardentix::cli::ProgramArguments(argc, argv));
}
