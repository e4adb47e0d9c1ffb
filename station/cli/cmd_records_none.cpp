// A build without production records (the Windows build has no SQLite).
#include <ostream>

#include "cli/cli.h"
#include "cli/run_records.h"

namespace ardentix::cli {

std::unique_ptr<RunRecords> StartRunRecords(Station&, Context&) { return nullptr; }

int RecordsCommand(const Args&, Context& ctx) {
  ctx.err << "ardentix-cli records: this build keeps no production records\n";
  return kExitFailed;
}

}  // namespace ardentix::cli
