// A unit swapped for another under the same letter at every moment of a
// run: no unit is ever written with a serial it did not hold, the newcomer
// is identified anew and burned with its own, nothing is counted for a unit
// that was never burned.
#include <atomic>
#include <chrono>
#include <cstring>
#include <fstream>
#include <functional>

#include "burn/burn_engine.h"
#include "burnfiles/import.h"
#include "burnfiles/sample.h"
#include "core/status_codes.h"
#include "core/strings.h"
#include "station_fixture.h"

namespace ardentix::testing {
namespace {

constexpr const char* kLeaving = "000000012345";
constexpr const char* kComing = "000000099999";

// When the unit on F is swapped for the next unit of its port.
enum class Moment { BeforeStart, LockPreTest, StartInterval, SdStage, BetweenSdAndFlash, AfterRun };

class SwapTest : public StationTest {
 protected:
  // E: one unit; F: a port with two units, the second plugged in only by a swap.
  void StartLine(bool faultInSdStage) {
    const std::string flash1 = (dir_ / "f1.flash").generic_string(),
                      flash2 = (dir_ / "f2.flash").generic_string();  // JSON: no backslashes
    const std::string faults = faultInSdStage ? R"(,"faults":[{"on":"sd-write","after":1,"action":"unplug"}])" : "";
    StartStation(R"({"devices":[{"letter":"E","serial":"000000011111"},
      {"letter":"F","serial":")" + std::string(kLeaving) + R"(","unplugAtMs":600000,"flashFile":")" + flash1 + "\"" +
                 faults + R"(},
      {"letter":"F","serial":")" + std::string(kComing) + R"(","plugAtMs":700000,"flashFile":")" + flash2 + R"("}]})");
    engine_ = std::make_unique<BurnEngine>(*station_);
    auto package = MakeSamplePackage({});
    ASSERT_TRUE(package);
    package_ = *package;
    WriteText(dir_ / "sample.vlr", package_);
    ASSERT_TRUE(ImportBurnPackage(station_->files(), dir_ / "sample.vlr").ok);
    WriteText(dir_ / "card.img", MakeSampleSdImage(3 * kSdChunkBytes));
    station_->files().sd1ImagePath = dir_ / "card.img";
    engine_->checkBoxes = RunSettings{1, 0, 1};
    engine_->OnCheckBoxesChanged();
  }
  void TearDown() override {
    clock_.SetSleepHook(nullptr);
    if (engine_) engine_->WaitForWorkers();
    engine_.reset();
    StationTest::TearDown();
  }
  static void Swap() {
    QMR_SimUnplug('F');
    QMR_SimPlug('F');  // the port's next unit
  }
  // The swap at the first sleep of this length while F is where `when` says.
  void SwapAtSleep(Milliseconds length, std::function<bool()> when) {
    clock_.SetSleepHook([this, length, when](Milliseconds slept) {
      if (slept == length && when() && !swapped_.exchange(true)) Swap();
    });
  }
  // The serial digits in a unit's flash file, "" for none.
  std::string SerialInFile(const std::string& name) const {
    std::ifstream in(dir_ / name, std::ios::binary);
    std::string field(24, '\0');
    in.seekg(136);
    in.read(field.data(), 24);
    FlashSerial s{};
    std::memcpy(s.data(), field.data(), s.size());
    return SerialDigits(s);
  }
  // A swap during the lock pre-test may leave no unit under F for a moment,
  // as pulling one does: the test then refuses the run (the operator's next
  // press ends it) and the operator presses START again.
  void BurnPastALockRefusal() {
    messages_.shown.clear();
    engine_->OnStartButton();
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    loop_.Run([&] {
      return !engine_->Running() || !messages_.shown.empty() || std::chrono::steady_clock::now() > deadline;
    });
    if (engine_->Running()) {
      ASSERT_EQ(messages_.shown[0], StringText(119));
      engine_->WaitForWorkers();
      engine_->OnStartButton();  // ends the refused run
      ASSERT_FALSE(engine_->Running());
      BurnToEnd(*engine_);
    }
    engine_->WaitForWorkers();
    loop_.RunPending();
    station_->RefreshDeviceRows();
  }
  std::string ResultOf(char letter) const {
    for (const auto& row : station_->rows().All())
      if (!row[1].empty() && row[1][0] == letter) return row[3];
    return "(no row)";
  }

  std::unique_ptr<BurnEngine> engine_;
  std::string package_;
  std::atomic<bool> swapped_{false};
};

TEST_F(SwapTest, ANewcomerIsNeverBurnedWithTheSerialOfTheUnitThatLeft) {
  struct Case {
    Moment moment;
    const char* name;
    int failed;  // counted for the unit that left: a burn had begun on it
  };
  const Case cases[] = {
      {Moment::BeforeStart, "before START", 0},
      {Moment::LockPreTest, "during the lock pre-test", 0},
      {Moment::StartInterval, "in the start interval", 0},
      {Moment::SdStage, "during the SD stage", 1},
      {Moment::BetweenSdAndFlash, "between the SD and the flash stage", 1},
      {Moment::AfterRun, "after the run", 0},
  };
  for (const Case& tc : cases) {
    SCOPED_TRACE(tc.name);
    TearDown();
    SetUp();
    swapped_ = false;
    StartLine(tc.moment == Moment::SdStage);
    ASSERT_EQ(ListedLetters(), "EF");
    DeviceSlotTable& slots = station_->slots();
    switch (tc.moment) {
      case Moment::BeforeStart: Swap(); break;  // before the removal check could see it
      case Moment::LockPreTest: SwapAtSleep(Milliseconds(100), [] { return true; }); break;
      case Moment::StartInterval:  // E's worker runs, F's is next
        SwapAtSleep(Milliseconds(500), [&] { return slots.GetDeviceStatus('F') == DeviceStatus::Ready; });
        break;
      case Moment::SdStage: break;  // F's first unit leaves at its second SD write
      case Moment::BetweenSdAndFlash:  // F's card verified, its flash stage waiting to begin
        SwapAtSleep(Milliseconds(1000), [&] {
          return slots.GetDeviceStage('F') == status::kSdVerifying && slots.GetDeviceProgress('F') == -1;
        });
        break;
      case Moment::AfterRun:
        BurnToEnd(*engine_);
        EXPECT_EQ(ResultOf('F'), "Success!");
        Swap();
        break;
    }
    const int passedBefore = station_->PassCount;
    if (tc.moment == Moment::SdStage) {
      // The fault pulls the unit; the next one is plugged in at once.
      host_.SetVolumeListener([this](bool arrived, uint32_t mask) {
        if (!arrived && (mask & DriveBit('F')) && !swapped_.exchange(true)) QMR_SimPlug('F');
        loop_.Post([this, arrived, mask] { station_->OnVolumeChange(arrived, mask); });
      });
    }
    BurnPastALockRefusal();
    clock_.SetSleepHook(nullptr);

    EXPECT_EQ(ResultOf('E'), "Success!");
    EXPECT_EQ(ResultOf('F'), StatusText(status::kOtherUnit));
    EXPECT_EQ(station_->PassCount, passedBefore + 1);  // E
    EXPECT_EQ(station_->FailCount, tc.failed);
    EXPECT_EQ(SerialInFile("f2.flash"), kComing);
    const std::string leaving = SerialInFile("f1.flash");
    EXPECT_TRUE(leaving == kLeaving || (tc.failed && leaving.empty())) << leaving;
    EXPECT_EQ(SerialDigits(station_->FlashSerialCache('F')), kComing);

    // The next START burns the newcomer, with its own serial.
    BurnToEnd(*engine_);
    EXPECT_EQ(ResultOf('F'), "Success!");
    EXPECT_EQ(SerialInFile("f2.flash"), kComing);
    EXPECT_EQ(station_->PassCount, passedBefore + 3);
    EXPECT_EQ(SerialInFile("f1.flash"), leaving);
  }
}

TEST_F(SwapTest, AUnitThatLeftTakesItsSerialWithIt) {
  StartLine(false);
  // The removal check saw F go; the identity went with it.
  QMR_SimUnplug('F');
  loop_.Post([this] { station_->OnVolumeChange(false, DriveBit('F')); });
  loop_.AdvanceBy(Milliseconds(400));
  loop_.RunPending();
  EXPECT_EQ(ListedLetters(), "E");
  EXPECT_EQ(station_->FlashSerialCache('F'), FlashSerial{});
  EXPECT_EQ(station_->FlashIdCache('F'), FlashUserId{});
}

}  // namespace
}  // namespace ardentix::testing
