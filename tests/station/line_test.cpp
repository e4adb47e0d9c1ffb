// The continuous line on simulated devices: devices plugged and pulled while
// other ports burn, each burned once per plug without another START, and
// Stop letting the running ones finish. Counters and records exact.
#include <condition_variable>
#include <map>
#include <mutex>

#include "burn/burn_engine.h"
#include "burn/continuous_line.h"
#include "burnfiles/import.h"
#include "burnfiles/sample.h"
#include "core/settings.h"
#include "core/status_codes.h"
#include "station_fixture.h"

namespace ardentix::testing {
namespace {

// The fake clock, but a sleep of a worker can be held while a test arranges
// what happens beside it (a device's flash stage kept going).
class HoldingClock final : public Clock {
 public:
  explicit HoldingClock(FakeClock& inner) : inner_(inner) {}
  int64_t NowMs() const override { return inner_.NowMs(); }
  bool IsReal() const override { return false; }
  void SleepFor(Milliseconds d) override {
    {
      std::unique_lock lock(mutex_);
      if (hold_ && hold_()) {
        ++held_;
        changed_.notify_all();
        changed_.wait(lock, [&] { return !hold_ || !hold_(); });
        --held_;
      }
    }
    inner_.SleepFor(d);
  }
  // Sleeps for which `hold` answers true wait until it no longer does (or
  // Release); `hold` is asked under the clock's lock.
  void Hold(std::function<bool()> hold) {
    std::lock_guard lock(mutex_);
    hold_ = std::move(hold);
  }
  void Release() {
    std::lock_guard lock(mutex_);
    hold_ = nullptr;
    changed_.notify_all();
  }
  int Held() {
    std::lock_guard lock(mutex_);
    return held_;
  }

 private:
  FakeClock& inner_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::function<bool()> hold_;
  int held_ = 0;
};

// The records' side of a run: what the recorder would be handed.
class RecordingObserver final : public RunObserver {
 public:
  explicit RecordingObserver(Dispatcher& d) : dispatcher_(d) {}
  void RunStarting(const BurnEngine&) override { ++starts; }
  void DeviceFinished(const DeviceReport& report) override {
    std::lock_guard lock(mutex_);
    reports.push_back(report);
  }
  void RunFinishing(std::function<void()> done) override {
    ++finishes;
    dispatcher_.Post(std::move(done));
  }
  std::vector<DeviceReport> Reports() {
    std::lock_guard lock(mutex_);
    return reports;
  }
  int starts = 0, finishes = 0;

 private:
  Dispatcher& dispatcher_;
  std::mutex mutex_;
  std::vector<DeviceReport> reports;
};

// Devices E.. of which those in `unpluggedAtStart` come later (plugged by the test).
std::string Devices(int n, const std::string& unpluggedAtStart, const std::string& extra = "") {
  std::string json = R"({"devices":[)";
  for (int i = 0; i < n; ++i) {
    const char letter = char('E' + i);
    if (i) json += ",";
    json += R"({"letter":")" + std::string(1, letter) + R"(","serial":"00000001234)" + std::to_string(5 + i) + '"';
    if (unpluggedAtStart.find(letter) != std::string::npos) json += R"(,"plugAtMs":999999999)";
    json += "}";
  }
  return json + "]" + extra + "}";
}

class LineTest : public StationTest {
 public:
  void StartLine(const std::string& simSpec) {
    char error[512] = {};
    ASSERT_EQ(QMR_SimConfigure(simSpec.c_str(), error, sizeof error), 1) << error;
    WriteText(dir_ / "SpiList.ini", kCatalogue);
    station_ = std::make_unique<Station>(loop_, holding_, host_, messages_, dir_);
    host_.SetVolumeListener([this](bool arrived, uint32_t mask) {
      loop_.Post([this, arrived, mask] { station_->OnVolumeChange(arrived, mask); });
    });
    host_.StartWatching();
    station_->Initialise();
    engine_ = std::make_unique<BurnEngine>(*station_);
    engine_->SetRunObserver(&observer_);
    engine_->line().SetEventListener([this](const LineEvent& e) {
      events_.push_back({e.kind, e.letter, e.ms});
    });
    auto package = MakeSamplePackage({});
    ASSERT_TRUE(package);
    WriteText(dir_ / "sample.vlr", *package);
    ASSERT_TRUE(ImportBurnPackage(station_->files(), dir_ / "sample.vlr").ok);
    WriteText(dir_ / "card.img", MakeSampleSdImage(70000));
    station_->files().sd1ImagePath = dir_ / "card.img";
    engine_->checkBoxes = RunSettings{1, 0, 1};
    engine_->OnCheckBoxesChanged();
    engine_->continuousChecked = true;
    engine_->OnStartButton();
    ASSERT_TRUE(engine_->Running());
    ASSERT_TRUE(engine_->line().Active());
  }
  void TearDown() override {
    holding_.Release();
    if (engine_) engine_->WaitForWorkers();
    engine_.reset();
    StationTest::TearDown();
  }

  // Runs the station's loop until `done`; fails the test after a minute.
  void RunUntil(const std::function<bool()>& done, const char* what) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    loop_.Run([&] { return done() || std::chrono::steady_clock::now() > deadline; });
    ASSERT_TRUE(done()) << "never: " << what;
  }
  CycleState State(char letter) { return engine_->line().StateOf(letter); }
  void UntilState(char letter, CycleState state) {
    RunUntil([&] { return State(letter) == state; }, "the state");
  }
  void StopAndEnd() {
    engine_->OnStartButton();
    RunUntil([&] { return !engine_->Running(); }, "the line's end");
    engine_->WaitForWorkers();
    loop_.RunPending();
  }
  // Per letter, the results of the records in the order they finished.
  std::map<char, std::vector<StatusCode>> Results() {
    std::map<char, std::vector<StatusCode>> out;
    for (const DeviceReport& r : observer_.Reports()) out[r.letter].push_back(r.result);
    return out;
  }
  int Count(LineEvent::Kind kind, char letter) {
    int n = 0;
    for (const auto& e : events_) n += e.kind == kind && e.letter == letter;
    return n;
  }
  int64_t When(LineEvent::Kind kind, char letter, int nth = 0) {
    for (const auto& e : events_)
      if (e.kind == kind && e.letter == letter && nth-- == 0) return e.ms;
    return -1;
  }
  Settings FileSettings() { return LoadSettings(station_->settingsPath()); }
  bool InFlashStage(char letter) {
    if (!station_) return false;
    const int32_t stage = station_->slots().GetDeviceStage(letter);
    return stage == status::kEraseFlash || stage == status::kFlashWriting || stage == status::kFlashVerifying;
  }

  struct Event {
    LineEvent::Kind kind;
    char letter;
    int64_t ms;
  };
  HoldingClock holding_{clock_};
  RecordingObserver observer_{loop_};
  std::unique_ptr<BurnEngine> engine_;
  std::vector<Event> events_;
};

using K = LineEvent::Kind;

// Each case: the devices at START, what the operator does as the line runs,
// and what the counters and records say when it has been stopped.
struct LineCase {
  const char* name;
  std::string sim;
  // Installed before START, so that the first worker cannot pass it by.
  std::function<bool(LineTest&)> hold;
  std::function<void(LineTest&)> operate;
  std::map<char, std::vector<StatusCode>> results;
  int passed, failed;
};

class LineCases : public LineTest, public ::testing::WithParamInterface<LineCase> {};

TEST_P(LineCases, CountersAndRecordsAreExact) {
  const LineCase& tc = GetParam();
  if (tc.hold) holding_.Hold([this, &tc] { return tc.hold(*this); });
  StartLine(tc.sim);
  tc.operate(*this);
  StopAndEnd();
  EXPECT_EQ(Results(), tc.results);
  EXPECT_EQ(station_->PassCount, tc.passed);
  EXPECT_EQ(station_->FailCount, tc.failed);
  EXPECT_EQ(FileSettings().PassCount, tc.passed);
  EXPECT_EQ(FileSettings().FailCount, tc.failed);
  EXPECT_EQ(observer_.starts, 1);
  EXPECT_EQ(observer_.finishes, 1);
  for (const DeviceReport& r : observer_.Reports()) EXPECT_TRUE(r.continuous) << r.letter;
  EXPECT_EQ(host_.LockedMask(), 0u);
  EXPECT_EQ(engine_->controls().startCaption, "Start");
  EXPECT_FALSE(engine_->line().Active());
}

const LineCase kLineCases[] = {
    {"devices arriving one after another while others burn", Devices(3, "FG"),
     // Every burn is kept going once E is in its flash stage.
     [](LineTest& t) { return t.InFlashStage('E'); },
     [](LineTest& t) {
       t.RunUntil([&] { return t.holding_.Held() == 1; }, "E held");
       QMR_SimPlug('F');
       t.RunUntil([&] { return t.holding_.Held() == 2; }, "F burning beside E");
       QMR_SimPlug('G');
       t.RunUntil([&] { return t.holding_.Held() == 3; }, "G burning beside E and F");
       EXPECT_EQ(t.State('E'), CycleState::Burning);
       t.holding_.Release();
       t.UntilState('E', CycleState::DoneSwap);
       t.UntilState('F', CycleState::DoneSwap);
       t.UntilState('G', CycleState::DoneSwap);
     },
     {{'E', {status::kSuccess}}, {'F', {status::kSuccess}}, {'G', {status::kSuccess}}}, 3, 0},
    {"a device pulled while its neighbour burns",
     R"({"devices":[{"letter":"E","faults":[{"on":"flash-write","after":3,"action":"unplug"}]},{"letter":"F"}]})",
     nullptr,
     [](LineTest& t) {
       t.RunUntil([&] { return t.Results().size() == 2; }, "both records");
       t.UntilState('E', CycleState::Empty);  // its row went with it
       t.UntilState('F', CycleState::DoneSwap);
     },
     {{'E', {status::kRemoveDevice}}, {'F', {status::kSuccess}}}, 1, 1},
    {"a passed device that stays is not burned again, a failed one only once plugged again",
     R"({"devices":[{"letter":"E"},{"letter":"F","faults":[{"on":"sd-write","after":1,"action":"fail"}]}]})",
     nullptr,
     [](LineTest& t) {
       t.UntilState('E', CycleState::DoneSwap);
       t.UntilState('F', CycleState::FailedSwap);
       // Many settle times later nothing has started again.
       const int64_t until = t.holding_.NowMs() + 20'000;
       t.RunUntil([&] { return t.holding_.NowMs() >= until; }, "20 s on");
       EXPECT_EQ(t.Results().size(), 2u);
       QMR_SimUnplug('F');
       t.UntilState('F', CycleState::Empty);
       QMR_SimPlug('F');
       t.RunUntil([&] { return t.Results()['F'].size() == 2; }, "F's second record");
     },
     {{'E', {status::kSuccess}}, {'F', {status::kSdWriteFailed, status::kSuccess}}}, 2, 1},
    {"a swap on one port during another's flash stage", Devices(2, "F"), nullptr,
     [](LineTest& t) {
       t.UntilState('E', CycleState::DoneSwap);
       // F's flash stage is kept going while E is swapped.
       t.holding_.Hold([&t] { return t.InFlashStage('F'); });
       QMR_SimPlug('F');
       t.RunUntil([&] { return t.holding_.Held() > 0; }, "F in its flash stage");
       QMR_SimUnplug('E');
       t.UntilState('E', CycleState::Empty);
       QMR_SimPlug('E');
       t.UntilState('E', CycleState::Burning);
       EXPECT_TRUE(t.InFlashStage('F'));
       EXPECT_EQ(t.State('F'), CycleState::Burning);
       t.holding_.Release();
       t.RunUntil([&] { return t.Results()['E'].size() == 2 && t.Results()['F'].size() == 1; }, "all three");
     },
     {{'E', {status::kSuccess, status::kSuccess}}, {'F', {status::kSuccess}}}, 3, 0},
};

INSTANTIATE_TEST_SUITE_P(Line, LineCases, ::testing::ValuesIn(kLineCases),
                         [](const auto& info) { return "Case" + std::to_string(info.index); });

TEST_F(LineTest, StopLetsTheRunningFinishAndStartsNoMore) {
  holding_.Hold([this] { return InFlashStage('E') || InFlashStage('F'); });
  StartLine(Devices(3, "G"));
  RunUntil([&] { return holding_.Held() == 2; }, "E and F burning");
  EXPECT_EQ(State('E'), CycleState::Burning);
  EXPECT_EQ(State('F'), CycleState::Burning);
  engine_->OnStartButton();  // Stop
  EXPECT_TRUE(engine_->Running());
  EXPECT_TRUE(engine_->line().Stopping());
  EXPECT_TRUE(engine_->controls().startEnabled == true);
  QMR_SimPlug('G');  // arrives after Stop: listed, never started
  RunUntil([&] { return State('G') == CycleState::Waiting; }, "G listed");
  holding_.Release();
  RunUntil([&] { return !engine_->Running(); }, "the end");
  engine_->WaitForWorkers();
  EXPECT_EQ(Results(), (std::map<char, std::vector<StatusCode>>{{'E', {status::kSuccess}}, {'F', {status::kSuccess}}}));
  EXPECT_EQ(station_->PassCount, 2);
  EXPECT_EQ(State('G'), CycleState::Waiting);
  EXPECT_EQ(Count(K::Started, 'G'), 0);
}

TEST_F(LineTest, StartsWaitForTheSettleTimeAndKeepTheirSpacing) {
  StartLine(Devices(3, "EFG"));
  // Three devices arrive together.
  QMR_SimPlug('E');
  QMR_SimPlug('F');
  QMR_SimPlug('G');
  RunUntil([&] { return Results().size() == 3; }, "three records");
  std::vector<int64_t> starts;
  for (char letter : std::string("EFG")) {
    SCOPED_TRACE(letter);
    ASSERT_EQ(Count(K::Arrived, letter), 1);
    ASSERT_EQ(Count(K::Started, letter), 1);
    EXPECT_GE(When(K::Started, letter) - When(K::Arrived, letter), kSettleTime.count());
    starts.push_back(When(K::Started, letter));
  }
  std::sort(starts.begin(), starts.end());
  EXPECT_GE(starts[1] - starts[0], 500);
  EXPECT_GE(starts[2] - starts[1], 500);
  StopAndEnd();
}

TEST_F(LineTest, TheLineStartsWithNoDevicePluggedAndBurnFilesStayFixed) {
  StartLine(Devices(1, "E"));
  EXPECT_EQ(station_->rows().Count(), 0);
  EXPECT_FALSE(engine_->controls().sd1OpenEnabled);
  EXPECT_FALSE(engine_->controls().flashOpenEnabled);
  EXPECT_FALSE(station_->packageButtonsEnabled());
  EXPECT_TRUE(engine_->controls().startEnabled);
  EXPECT_EQ(engine_->controls().startCaption, "Stop");
  QMR_SimPlug('E');
  RunUntil([&] { return Results().size() == 1; }, "E's record");
  EXPECT_FALSE(engine_->controls().flashOpenEnabled);
  StopAndEnd();
  EXPECT_TRUE(engine_->controls().flashOpenEnabled);
  EXPECT_GE(engine_->unitRate().PerHour(holding_.NowMs()), 1.0);
}

TEST(UnitRateTest, PassedUnitsOverTheLastHour) {
  struct Case {
    const char* name;
    std::vector<int64_t> ends;  // ms after the start
    int64_t now;
    double perHour;
  };
  const Case cases[] = {
      {"nothing yet", {}, 600'000, 0},
      {"within the first minute: counted over a minute", {10'000, 20'000}, 30'000, 120},
      {"half an hour: doubled", {1'000'000, 1'200'000, 1'500'000}, 1'800'000, 6},
      {"only the last hour counts", {100'000, 3'000'000, 3'900'000}, 4'000'000, 2},
  };
  for (const Case& tc : cases) {
    SCOPED_TRACE(tc.name);
    UnitRate rate;
    rate.Start(0);
    for (int64_t t : tc.ends) rate.Note(t);
    EXPECT_DOUBLE_EQ(rate.PerHour(tc.now), tc.perHour);
  }
}

}  // namespace
}  // namespace ardentix::testing
