#pragma once
// The line's shared database as a record source (`records --from URL`).
// A build without the line database gives null and says so.
#include <memory>
#include <string>

#include "records/record.h"

namespace ardentix::records {

std::unique_ptr<RecordSource> MakeLineSource(const std::string& url, std::string& error);

// Forwards the outbox's unsent records to the line's database, in order, on
// a thread of its own, until destroyed. Null with `error` when it cannot
// start (no support in this build, an address that is not one).
class LineSender {
 public:
  virtual ~LineSender() = default;
};
std::unique_ptr<LineSender> StartLineSender(const std::string& url, RecordOutbox& outbox, std::string& error);

}  // namespace ardentix::records
