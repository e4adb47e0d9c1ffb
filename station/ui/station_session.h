// The objects one station runs on, made in dependency order and torn down in
// reverse: the Qt dispatcher, the clock, the host with its volume
// notifications posted into the station, the station and its burn engine.
#pragma once

#include <filesystem>
#include <memory>

#include "burn/burn_engine.h"
#include "core/clock.h"
#include "station/station.h"
#include "host/host.h"
#if ARDENTIX_HAVE_RECORDS
#include "records/burn_recorder.h"
#endif
#include "ui/qt_dispatcher.h"

namespace ardentix::ui {

class StationSession {
 public:
  // `messages` must outlive the session.
  StationSession(std::filesystem::path stationDir, std::unique_ptr<Clock> clock, std::unique_ptr<Host> host,
                 MessageSink& messages);
  // Stops the notifications, then waits for the run's threads.
  ~StationSession();
  StationSession(const StationSession&) = delete;
  StationSession& operator=(const StationSession&) = delete;

  // Volume notifications start reaching the station (before its start-up
  // scan, so that nothing plugged in meanwhile is missed).
  void StartWatching();

  QtDispatcher& dispatcher() { return dispatcher_; }
  Clock& clock() { return *clock_; }
  Host& host() { return *host_; }
  Station& station() { return station_; }
  BurnEngine& engine() { return engine_; }
#if ARDENTIX_HAVE_RECORDS
  records::BurnRecorder& recorder() { return recorder_; }
#endif

 private:
  QtDispatcher dispatcher_;
  std::unique_ptr<Clock> clock_;
  std::unique_ptr<Host> host_;
  Station station_;
#if ARDENTIX_HAVE_RECORDS
  // Before the engine: its workers report to the recorder until the engine is gone.
  records::BurnRecorder recorder_;
#endif
  BurnEngine engine_;
};

}  // namespace ardentix::ui
