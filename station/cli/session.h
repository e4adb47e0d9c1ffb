// A station for one command: the clock, the event loop on this thread, the
// host, and the Station, with messages printed instead of shown.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "cli/cli.h"
#include "core/clock.h"
#include "core/event_loop.h"
#include "station/station.h"
#include "host/host.h"

namespace ardentix::cli {

class PrintedMessages final : public MessageSink {
 public:
  explicit PrintedMessages(std::ostream& err) : err_(err) {}
  void ShowMessage(const std::string& text, const std::string& caption) override;
  bool AskOkCancel(const std::string& text, const std::string& caption) override;
  std::vector<std::string> shown;

 private:
  std::ostream& err_;
};

class Session {
 public:
  explicit Session(Context& ctx);
  ~Session();
  // Watches for volume changes and runs the station's start-up (the first scan).
  void Start();

  Clock& clock() { return *clock_; }
  EventLoop& loop() { return loop_; }
  Host& host() { return *host_; }
  Station& station() { return *station_; }
  PrintedMessages& messages() { return messages_; }

  // Runs the loop until `done` holds, a stop is requested, or `limitMs` (of
  // the session's clock) has passed; -1 = no limit.
  void RunUntil(const std::function<bool()>& done, int64_t limitMs = -1);

 private:
  SystemClock systemClock_;
  Clock* clock_;
  EventLoop loop_;
  std::unique_ptr<Host> host_;
  PrintedMessages messages_;
  std::unique_ptr<Station> station_;
};

// The texts of one listed drive: the four columns, then flash id, clock, node.
std::string DeviceLine(Station& station, int position);

}  // namespace ardentix::cli
