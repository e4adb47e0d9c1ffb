#pragma once
// The station's link to the line's database, as the station, the window and
// the command line hold it: built on every platform, a real sender where the
// line part is built (line_sender.h), none elsewhere.
#include <cstdint>
#include <memory>
#include <string>

#include "core/clock.h"
#include "core/message_sink.h"
#include "records/record.h"

namespace ardentix::records {

// What the window and the command line show about the line.
struct LineSenderStatus {
  enum class State { Starting, Sending, AllSent, Waiting, Stopped };
  State state = State::Starting;
  bool connected = false;
  // Records known to wait in the outbox: the last batch taken, so at least
  // this many when unsentAtLeast (the batch was full).
  size_t unsent = 0;
  bool unsentAtLeast = false;
  uint64_t sent = 0;       // records this sender has had committed
  uint64_t failures = 0;   // failed attempts since the start
  std::string lastError;   // empty after a success

  // One line: "Line database: connected, all records sent." and so on.
  std::string Describe() const;
};

class LineLink {
 public:
  virtual ~LineLink() = default;
  // A record was written to the outbox.
  virtual void Wake() = 0;
  // Ends forwarding; what is not sent stays in the outbox.
  virtual void Stop() = 0;
  virtual LineSenderStatus Status() const = 0;
};

// Starts forwarding the outbox's records to the line's database at `url`.
// Null with a message for the operator when the address is not valid or
// this build has no line database. The outbox, clock and sink outlive it.
std::unique_ptr<LineLink> StartLineLink(RecordOutbox& outbox, const std::string& url, Clock& clock,
                                        MessageSink* sink, std::string& error);

}  // namespace ardentix::records
