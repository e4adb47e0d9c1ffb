#include "records/line_source.h"

namespace ardentix::records {

std::unique_ptr<RecordSource> MakeLineSource(const std::string& url, std::string& error) {
  error = "this build has no line database support";
  return nullptr;
}

}  // namespace ardentix::records
