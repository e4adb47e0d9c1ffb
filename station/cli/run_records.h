// The production records of the burn command's runs: a record per finished
// device into the station's records file. A build without records has none.
#pragma once

#include <memory>
#include <string>

#include "burn/burn_engine.h"
#include "cli/cli.h"

namespace ardentix::cli {

class RunRecords {
 public:
  virtual ~RunRecords() = default;
  virtual RunObserver* observer() = 0;
  // "Records: <file> (N written, M waiting)" for the end of the burn.
  virtual std::string Summary() = 0;
};

// Null in a build without records.
std::unique_ptr<RunRecords> StartRunRecords(Station& station, Context& ctx);

}  // namespace ardentix::cli
