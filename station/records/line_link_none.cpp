#include "records/line_link.h"

namespace ardentix::records {

std::unique_ptr<LineLink> StartLineLink(RecordOutbox&, const std::string& url, Clock&, MessageSink*,
                                        std::string& error) {
  error = "This build of the station has no line database: records stay in the station's own file.";
  return nullptr;
}

}  // namespace ardentix::records
