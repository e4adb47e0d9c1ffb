#include "station/batch_board.h"

#include <algorithm>
#include <cstdio>

#include "core/strings.h"

namespace ardentix {

void BatchBoard::Observe(bool running, const std::vector<RunDevice>& run, const std::vector<char>& listed) {
  passed_ = failed_ = running_ = 0;
  for (const RunDevice& d : run) {
    if (d.outcome == BurnOutcome::Passed)
      ++passed_;
    else if (d.outcome == BurnOutcome::Failed)
      ++failed_;
    else if (running)
      ++running_;
  }
  if (running) {
    state_ = BatchState::Running;
    toSwap_.clear();
    return;
  }
  if (state_ == BatchState::Running) {
    // The run has ended. A run that burned nothing (no ready device, or a
    // failed lock test) is no batch to swap.
    toSwap_.clear();
    for (const RunDevice& d : run) toSwap_.insert(d.letter);
    state_ = toSwap_.empty() ? BatchState::Idle : BatchState::Finished;
    signal_ = state_ == BatchState::Finished;
  }
  if (state_ == BatchState::Finished) {
    // A device that leaves is swapped, even if another is plugged in under
    // its letter later.
    for (auto it = toSwap_.begin(); it != toSwap_.end();)
      it = std::find(listed.begin(), listed.end(), *it) == listed.end() ? toSwap_.erase(it) : std::next(it);
    if (toSwap_.empty()) state_ = BatchState::Idle;
  }
}

bool BatchBoard::ObserveCounters(int32_t passCount, int32_t failCount, const std::string& today) {
  bool changed = false;
  if (day_.date != today) {
    changed = day_.passed != 0 || day_.failed != 0 || !day_.date.empty();
    day_ = DayTally{today, 0, 0};
  }
  if (countersSeen_) {
    // The counters only grow while the station runs; a step back (the
    // file edited meanwhile) counts nothing.
    const int32_t passStep = std::max(0, passCount - lastPass_);
    const int32_t failStep = std::max(0, failCount - lastFail_);
    day_.passed += passStep;
    day_.failed += failStep;
    changed = changed || passStep != 0 || failStep != 0;
  }
  countersSeen_ = true;
  lastPass_ = passCount;
  lastFail_ = failCount;
  return changed;
}

bool BatchBoard::TakeFinishedSignal() {
  const bool signal = signal_;
  signal_ = false;
  return signal;
}

RowTone ToneOf(DeviceStatus status, BurnOutcome outcome) {
  if (status == DeviceStatus::Burning) return RowTone::Neutral;
  if (outcome == BurnOutcome::Passed) return RowTone::Passed;
  if (outcome == BurnOutcome::Failed) return RowTone::Failed;
  return RowTone::Neutral;
}

std::string YieldText(const DayTally& day) {
  const int64_t total = int64_t(day.passed) + day.failed;
  if (total <= 0) return {};
  char text[32];
  std::snprintf(text, sizeof text, "%.1f%%", 100.0 * double(day.passed) / double(total));
  return text;
}

std::string RunSummaryText(const BatchBoard& board) {
  return FormatText(StringText(3060),
                    {std::to_string(board.passed()), std::to_string(board.failed()), std::to_string(board.running())});
}

std::string DayYieldText(const DayTally& day) {
  const std::string yield = YieldText(day);
  if (yield.empty()) return StringText(3062);
  return FormatText(StringText(3061),
                    {yield, std::to_string(day.passed), std::to_string(int64_t(day.passed) + day.failed)});
}

std::string BatchStateText(const BatchBoard& board) {
  switch (board.state()) {
    case BatchState::Running:
      return StringText(3064);
    case BatchState::Finished:
      return StringText(3063);
    case BatchState::Idle:
      break;
  }
  return {};
}

}  // namespace ardentix
