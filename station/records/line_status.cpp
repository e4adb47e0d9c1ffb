#include "records/line_link.h"

namespace ardentix::records {

std::string LineSenderStatus::Describe() const {
  std::string text = "Line database: ";
  const std::string count = std::to_string(unsent) + (unsentAtLeast ? " or more" : "");
  switch (state) {
    case State::Starting: return text + "connecting.";
    case State::Sending: return text + "connected, sending " + count + " records.";
    case State::AllSent: return text + "connected, all records sent.";
    case State::Stopped: return text + "stopped.";
    case State::Waiting: break;
  }
  text += "waiting";
  if (unsent > 0) text += ", " + count + " records unsent";
  if (!lastError.empty()) text += ": " + lastError;
  else text += ".";
  return text;
}

}  // namespace ardentix::records
