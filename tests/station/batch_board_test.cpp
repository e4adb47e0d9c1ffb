#include "station/batch_board.h"

#include <gtest/gtest.h>

namespace ardentix {
namespace {

constexpr auto kNone = BurnOutcome::None;
constexpr auto kPassed = BurnOutcome::Passed;
constexpr auto kFailed = BurnOutcome::Failed;

// One observation and what the board shows after it.
struct Step {
  const char* what;
  bool running;
  std::vector<RunDevice> run;
  std::vector<char> listed;
  BatchState state;
  int passed, failed, running_;
  bool signal;
};

TEST(BatchBoard, ABatchRunsFinishesOnceAndIsSwapped) {
  const BatchState idle = BatchState::Idle, on = BatchState::Running, done = BatchState::Finished;
  const std::vector<Step> steps = {
      {"devices plugged in", false, {}, {'E', 'F', 'G'}, idle, 0, 0, 0, false},
      {"START: the first workers", true, {{'E', kNone}, {'F', kNone}}, {'E', 'F', 'G'}, on, 0, 0, 2, false},
      {"all started, one passed", true, {{'E', kPassed}, {'F', kNone}, {'G', kNone}}, {'E', 'F', 'G'}, on, 1, 0, 2,
       false},
      {"one failed", true, {{'E', kPassed}, {'F', kFailed}, {'G', kNone}}, {'E', 'F', 'G'}, on, 1, 1, 1, false},
      {"the run ends", false, {{'E', kPassed}, {'F', kFailed}, {'G', kPassed}}, {'E', 'F', 'G'}, done, 2, 1, 0, true},
      {"nothing new: no second signal", false, {{'E', kPassed}, {'F', kFailed}, {'G', kPassed}}, {'E', 'F', 'G'},
       done, 2, 1, 0, false},
      {"E and F pulled out", false, {{'E', kPassed}, {'F', kFailed}, {'G', kPassed}}, {'G'}, done, 2, 1, 0, false},
      {"a new device on E: G still waits", false, {{'E', kPassed}, {'F', kFailed}, {'G', kPassed}}, {'E', 'G'}, done,
       2, 1, 0, false},
      {"G pulled out: swapped, the counts stay", false, {{'E', kPassed}, {'F', kFailed}, {'G', kPassed}}, {'E'}, idle,
       2, 1, 0, false},
      {"the next START", true, {{'E', kNone}}, {'E', 'F'}, on, 0, 0, 1, false},
      {"it ends", false, {{'E', kPassed}}, {'E', 'F'}, done, 1, 0, 0, true},
      {"and START again before swapping", true, {}, {'E', 'F'}, on, 0, 0, 0, false},
      {"a run that burned nothing is no batch", false, {}, {'E', 'F'}, idle, 0, 0, 0, false},
  };
  BatchBoard board;
  for (const Step& s : steps) {
    board.Observe(s.running, s.run, s.listed);
    SCOPED_TRACE(s.what);
    EXPECT_EQ(board.state(), s.state);
    EXPECT_EQ(board.passed(), s.passed);
    EXPECT_EQ(board.failed(), s.failed);
    EXPECT_EQ(board.running(), s.running_);
    EXPECT_EQ(board.TakeFinishedSignal(), s.signal);
  }
}

TEST(BatchBoard, TheDayCountsTheCountersStepsAndStartsAfreshEachDay) {
  BatchBoard board;
  board.SetDay({"2024-05-06", 10, 2});  // kept from an earlier start today
  // The first look takes the counters as they are: 500 devices of other days.
  EXPECT_FALSE(board.ObserveCounters(400, 100, "2024-05-06"));
  EXPECT_EQ(board.day(), (DayTally{"2024-05-06", 10, 2}));
  EXPECT_TRUE(board.ObserveCounters(403, 101, "2024-05-06"));
  EXPECT_EQ(board.day(), (DayTally{"2024-05-06", 13, 3}));
  EXPECT_FALSE(board.ObserveCounters(403, 101, "2024-05-06"));
  // Midnight: a new day, then its first device.
  EXPECT_TRUE(board.ObserveCounters(403, 101, "2024-05-07"));
  EXPECT_EQ(board.day(), (DayTally{"2024-05-07", 0, 0}));
  EXPECT_TRUE(board.ObserveCounters(404, 101, "2024-05-07"));
  EXPECT_EQ(board.day(), (DayTally{"2024-05-07", 1, 0}));
  // Counters that went back (the file edited) count nothing.
  EXPECT_FALSE(board.ObserveCounters(0, 0, "2024-05-07"));
  EXPECT_TRUE(board.ObserveCounters(0, 1, "2024-05-07"));
  EXPECT_EQ(board.day(), (DayTally{"2024-05-07", 1, 1}));

  BatchBoard otherDay;
  otherDay.SetDay({"2024-05-01", 7, 7});
  EXPECT_TRUE(otherDay.ObserveCounters(5, 5, "2024-05-06"));
  EXPECT_EQ(otherDay.day(), (DayTally{"2024-05-06", 0, 0}));
}

TEST(BatchBoard, ARowsToneFollowsItsOutcomeExceptWhileBurning) {
  const struct {
    DeviceStatus status;
    BurnOutcome outcome;
    RowTone tone;
  } cases[] = {
      {DeviceStatus::Ready, kNone, RowTone::Neutral},    {DeviceStatus::Ready, kPassed, RowTone::Passed},
      {DeviceStatus::Ready, kFailed, RowTone::Failed},   {DeviceStatus::Burning, kPassed, RowTone::Neutral},
      {DeviceStatus::Burning, kFailed, RowTone::Neutral}, {DeviceStatus::AwaitingRemoval, kFailed, RowTone::Failed},
  };
  for (const auto& c : cases)
    EXPECT_EQ(ToneOf(c.status, c.outcome), c.tone) << int(c.status) << " " << int(c.outcome);
}

TEST(BatchBoard, Texts) {
  EXPECT_EQ(YieldText({"d", 0, 0}), "");
  EXPECT_EQ(YieldText({"d", 2, 1}), "66.7%");
  EXPECT_EQ(YieldText({"d", 1, 0}), "100.0%");
  EXPECT_EQ(YieldText({"d", 0, 3}), "0.0%");
  EXPECT_EQ(DayYieldText({"d", 0, 0}), "Yield of the day: no device yet");
  EXPECT_EQ(DayYieldText({"d", 26, 1}), "Yield of the day: 96.3% (26 of 27)");

  BatchBoard board;
  EXPECT_EQ(BatchStateText(board), "");
  board.Observe(true, {{'E', kPassed}, {'F', kNone}}, {'E', 'F'});
  EXPECT_EQ(RunSummaryText(board), "This run: passed 1, failed 0, running 1");
  EXPECT_EQ(BatchStateText(board), "burning\xE2\x80\xA6");
  board.Observe(false, {{'E', kPassed}, {'F', kFailed}}, {'E', 'F'});
  EXPECT_EQ(RunSummaryText(board), "This run: passed 1, failed 1, running 0");
  EXPECT_EQ(BatchStateText(board), "batch finished: swap the devices");
}

}  // namespace
}  // namespace ardentix
