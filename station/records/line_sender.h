#pragma once
// Forwards the station's records to the line's database, in the order they
// were written, from a thread of its own: the burn only writes the local
// file (the outbox) and calls Wake(); nothing a caller does here waits for
// the network.
//
// A batch is marked sent only after the database has committed it. A reply
// lost on the way (or a failure to mark) sends the batch again, which the
// database takes without adding anything: the record id is its key. While the
// database cannot be reached, records wait in the outbox; the sender tries
// again after a pause that grows to a limit, and sends as soon as it is back.
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>

#include "core/clock.h"
#include "core/message_sink.h"
#include "records/line_db.h"
#include "records/line_link.h"
#include "records/record.h"

namespace ardentix::records {

struct LineSenderOptions {
  size_t BatchSize = 100;
  Milliseconds FirstRetry{1000};
  Milliseconds LongestRetry{30000};
  LineDbOptions Db;  // its Abort is the sender's own
};

class LineSender final : public LineLink {
 public:
  // The sink (optional) is told the first failure of each outage, from the
  // sender's thread (it must be safe to call from there); Status() has the
  // latest reason.
  LineSender(RecordOutbox& outbox, std::string url, Clock& clock, MessageSink* sink = nullptr,
             LineSenderOptions options = {});
  ~LineSender() override;
  LineSender(const LineSender&) = delete;
  LineSender& operator=(const LineSender&) = delete;

  void Start();
  // A record was written: send it now (a pause after a failure runs out first).
  void Wake() override;
  // Ends the thread: an attempt under way is given up within a fraction of
  // a second; what is not sent stays in the outbox for next time.
  void Stop() override;

  LineSenderStatus Status() const override;

 private:
  void Run();
  bool SendOnce();  // false after a failure
  void Fail(const std::string& error);
  void Pause(Milliseconds duration);
  void WaitForWake();

  RecordOutbox& outbox_;
  const std::string url_;
  Clock& clock_;
  MessageSink* sink_;
  LineSenderOptions options_;

  std::unique_ptr<LineDb> db_;  // the sender thread's only
  bool told_ = false;           // the sender thread's only

  mutable std::mutex mutex_;
  std::condition_variable wake_;
  bool woken_ = false;
  LineSenderStatus status_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

}  // namespace ardentix::records
