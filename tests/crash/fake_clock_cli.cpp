// ardentix-cli on a fake clock: the burn's fixed waits pass at once, so a
// test can run whole burns as separate processes and kill them anywhere.
#include "cli/cli.h"
#include "cli/console.h"
#include "core/clock.h"

int main(int argc, char** argv) {
  ardentix::FakeClock clock;
  return ardentix::cli::RunCommandLine(ardentix::cli::ProgramArguments(argc, argv), &clock);
}
