#pragma once
// The line's shared database as a record source (`records --from URL`).
// A build without the line database gives null and says so.
#include <memory>
#include <string>

#include "records/record.h"

namespace ardentix::records {

std::unique_ptr<RecordSource> MakeLineSource(const std::string& url, std::string& error);

}  // namespace ardentix::records
