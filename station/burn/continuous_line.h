// The continuous line: once START is pressed, every port runs its own cycle.
// A device that arrives and is identified is burned after a settle time,
// without another START; one that has ended waits to be swapped while the
// other ports go on. Stop ends the mode: no new device starts, the running
// ones finish. Everything a device goes through is the batch's own worker.
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "burn/burn_engine.h"
#include "core/background_queue.h"

namespace ardentix {

// A device is started this long after it was identified, so that one being
// pushed in is not started half-seated.
inline constexpr Milliseconds kSettleTime{2000};
inline constexpr Milliseconds kLineTick{100};
// Starts that would fall together are this far apart, as in a batch.
inline constexpr Milliseconds kLineStartSpacing{500};

// Where a port is in its cycle.
class ContinuousLine;

enum class CycleState : int32_t {
  Empty = 0,       // no device listed
  Waiting = 1,     // identified, settling or waiting for its start
  Burning = 2,
  DoneSwap = 3,    // passed: swap it
  FailedSwap = 4,  // failed: swap it
};

// "burning", "done - swap me", ... (string table).
std::string CycleStateText(CycleState state);

// What the line tells a front end about (the command line's live lines).
struct LineEvent {
  enum class Kind { Arrived, Started, Finished, Removed } kind = Kind::Arrived;
  char letter = 0;
  int64_t ms = 0;       // the station's clock when it happened
  DeviceReport report;  // Finished only
};

// Passed units per hour over the last hour (or over the time since the
// first START when that is shorter, at least a minute). Any thread.
class UnitRate {
 public:
  void Start(int64_t nowMs);
  void Note(int64_t nowMs);
  double PerHour(int64_t nowMs) const;

 private:
  mutable std::mutex mutex_;
  int64_t startMs_ = -1;
  mutable std::deque<int64_t> ends_;
};

class ContinuousLine {
 public:
  ContinuousLine(BurnEngine& engine, Station& station);
  ~ContinuousLine();  // waits for its workers and probes
  ContinuousLine(const ContinuousLine&) = delete;
  ContinuousLine& operator=(const ContinuousLine&) = delete;

  // Station's thread. Begin: the run's files are fixed and BurnRunning set.
  void Begin();
  void Stop();
  bool Active() const { return active_; }
  bool Stopping() const { return stopping_; }
  int Running() const;  // workers under way
  CycleState StateOf(char letter) const;
  // Every device finished since Begin, in the order they finished.
  const std::vector<DeviceReport>& Finished() const { return finished_; }
  void SetEventListener(std::function<void(const LineEvent&)> listener) { events_ = std::move(listener); }

  // Any thread: the waits of the destructor and the window's close.
  void JoinWorkers();
  // Worker thread: its device's report is final.
  void WorkerDone(const DeviceReport& report);

 private:
  struct Worker {
    char letter = 0;
    std::thread thread;
  };
  void OnTick();
  void OnArrivals(uint32_t mask);
  void OnRemovals(uint32_t mask);
  void Probe(uint32_t mask);
  void Finish(const DeviceReport& report);
  void StartDevice(const DeviceListEntry& entry, int64_t nowMs);
  bool WorkerOn(char letter) const;
  void EndIfDone();
  void Emit(LineEvent::Kind kind, char letter, int64_t ms, const DeviceReport* report = nullptr);

  BurnEngine& engine_;
  Station& station_;
  BackgroundQueue probes_;
  bool active_ = false;
  bool stopping_ = false;
  int64_t lastStartMs_ = INT64_MIN / 2;
  std::array<int64_t, 26> identifiedMs_{};  // per letter; 0 = before the line began
  uint32_t heldBack_ = 0;  // arrivals on letters whose last worker still runs
  std::vector<DeviceReport> finished_;
  std::function<void(const LineEvent&)> events_;
  std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);

  mutable std::mutex workerMutex_;
  std::list<Worker> workers_;
};

}  // namespace ardentix
