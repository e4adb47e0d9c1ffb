// What the operator reads near START: this run's passed, failed and running
// devices, the day's yield, and whether the batch has finished and waits
// for the devices to be swapped. Fed on the station's thread with what the
// burn reports; both front ends can render it.
#pragma once

#include <cstdint>
#include <set>
#include <string>
#include <vector>

#include "core/slot_table.h"

namespace ardentix {

enum class BatchState {
  Idle,      // no run yet, or the finished batch has been taken away
  Running,   // from START until the run ends
  Finished,  // "batch finished: swap the devices"
};

// A device of the current (or last) run; outcome None while it burns.
struct RunDevice {
  char letter = 0;
  BurnOutcome outcome = BurnOutcome::None;
};

// Passed and failed devices of one local day.
struct DayTally {
  std::string date;  // "YYYY-MM-DD"
  int32_t passed = 0;
  int32_t failed = 0;
  bool operator==(const DayTally&) const = default;
};

class BatchBoard {
 public:
  // After every change: whether a run is on, the run's devices and the
  // letters listed now.
  void Observe(bool running, const std::vector<RunDevice>& run, const std::vector<char>& listed);
  // The station's pass and fail counters, to count the day's devices;
  // `today` is the local date. The first call only takes the counters as
  // they are. True when the day's tally changed.
  bool ObserveCounters(int32_t passCount, int32_t failCount, const std::string& today);

  BatchState state() const { return state_; }
  int passed() const { return passed_; }
  int failed() const { return failed_; }
  int running() const { return running_; }
  const DayTally& day() const { return day_; }
  // The tally kept from an earlier start of the same day.
  void SetDay(const DayTally& day) { day_ = day; }
  // True once for every batch that finished: the moment to sound the signal.
  bool TakeFinishedSignal();

 private:
  BatchState state_ = BatchState::Idle;
  int passed_ = 0, failed_ = 0, running_ = 0;
  std::set<char> toSwap_;  // the finished batch's letters still listed
  bool signal_ = false;
  DayTally day_;
  bool countersSeen_ = false;
  int32_t lastPass_ = 0, lastFail_ = 0;
};

// How a status row is coloured: by its device's outcome, neutral while it
// burns or before it ever did.
enum class RowTone { Neutral, Passed, Failed };
RowTone ToneOf(DeviceStatus status, BurnOutcome outcome);

// The day's yield as text: "96.3%" (one decimal, rounded), "" when the day
// has no device yet.
std::string YieldText(const DayTally& day);

// The lines the front ends show: "This run: passed 3, failed 1, running 0",
// "Yield of the day: 75.0% (3 of 4)" (or the text for no device yet), and
// the state line ("" when idle).
std::string RunSummaryText(const BatchBoard& board);
std::string DayYieldText(const DayTally& day);
std::string BatchStateText(const BatchBoard& board);

}  // namespace ardentix
