// Whole burns on simulated devices: what reaches the cards and flashes, what
// each slot shows, and how every kind of failure is reported and counted.
#include <chrono>
#include <fstream>
#include <regex>

#include "burn/burn_engine.h"
#include "burnfiles/import.h"
#include "burnfiles/sample.h"
#include "burnfiles/sections.h"
#include "core/faulty_platform.h"
#include "core/files.h"
#include "core/settings.h"
#include "core/status_codes.h"
#include "core/strings.h"
#include "station_fixture.h"

namespace ardentix::testing {
namespace {

class BurnTest : public StationTest {
 protected:
  void StartWith(const std::string& simSpec, const std::string& catalogue = kCatalogue) {
    StartStation(simSpec, catalogue);
    // Short bounds, so that a simulated device that stops answering fails
    // at once; a device that answers is never near them.
    CommandBounds bounds;
    bounds.transfer = bounds.erase = bounds.status = Milliseconds(20);
    station_->SetCommandBounds(bounds);
    engine_ = std::make_unique<BurnEngine>(*station_);
  }
  void TearDown() override {
    if (engine_) engine_->WaitForWorkers();
    engine_.reset();
    StationTest::TearDown();
  }

  std::string ImportPackage(const SamplePackageSpec& spec = {}) {
    auto package = MakeSamplePackage(spec);
    EXPECT_TRUE(package);
    WriteText(dir_ / "sample.vlr", *package);
    const ImportResult r = ImportBurnPackage(station_->files(), dir_ / "sample.vlr");
    EXPECT_TRUE(r.ok) << r.detail;
    return *package;
  }
  std::string ChooseSdImage(uint64_t bytes) {
    const std::string image = MakeSampleSdImage(bytes);
    WriteText(dir_ / "card.img", image);
    station_->files().sd1ImagePath = dir_ / "card.img";
    return image;
  }
  void Check(bool sd1, bool flash, bool sd2 = false) {
    engine_->checkBoxes = RunSettings{sd1, sd2, flash};
    engine_->OnCheckBoxesChanged();
  }
  void Burn() { BurnToEnd(*engine_); }
  void AddFault(char letter, const std::string& json) {
    char error[256] = {};
    ASSERT_EQ(QMR_SimAddFault(letter, json.c_str(), error, sizeof error), 1) << error;
  }
  std::string Flash(char letter, uint64_t address, uint64_t length) {
    std::string s(length, '\0');
    EXPECT_EQ(QMR_SimPeekFlash(letter, address, reinterpret_cast<unsigned char*>(s.data()), length), 1);
    return s;
  }
  std::string Card(char letter, uint64_t length) {
    std::string s(length, '\0');
    EXPECT_EQ(QMR_SimPeekSd(letter, 0, reinterpret_cast<unsigned char*>(s.data()), length), 1);
    return s;
  }
  // The image as the flash must hold it: the device's serial at 136, the clock at 206.
  static std::string Expected(std::string image, const std::string& serialDigits, int clock) {
    for (size_t i = 0; i < 12; ++i) {
      image[136 + 2 * i] = serialDigits[i];
      image[137 + 2 * i] = 0;
    }
    image[206] = char(clock & 0xFF);
    image[207] = char(clock >> 8);
    return image;
  }
  Settings FileSettings() { return LoadSettings(station_->settingsPath()); }
  // Where two byte strings first differ, for readable failures.
  static std::string FirstDifference(const std::string& a, const std::string& b) {
    if (a == b) return "equal";
    size_t i = 0;
    while (i < a.size() && i < b.size() && a[i] == b[i]) ++i;
    return "differ at byte " + std::to_string(i) + " (sizes " + std::to_string(a.size()) + ", " +
           std::to_string(b.size()) + ")";
  }

  // START with F failing the lock pre-test: the run is refused, naming F.
  void LockPreTestRefused(const std::string& fault) {
    StartWith("2");
    CommandBounds bounds = station_->commandBounds();
    bounds.control = Milliseconds(20);
    station_->SetCommandBounds(bounds);
    AddFault('F', fault);
    Check(false, false);
    engine_->OnStartButton();
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    loop_.Run([&] { return !messages_.shown.empty() || std::chrono::steady_clock::now() > deadline; });
    EXPECT_EQ(messages_.shown, std::vector<std::string>{"Lock fail! Drive(s): F:"});
    EXPECT_TRUE(engine_->Running());
    EXPECT_TRUE(engine_->controls().startEnabled);
    EXPECT_EQ(engine_->controls().startCaption, "Stop");
    EXPECT_EQ(station_->slots().GetDeviceStatus('E'), DeviceStatus::Ready) << "no worker started";
    engine_->OnStartButton();
    EXPECT_FALSE(engine_->Running());
    EXPECT_EQ(engine_->controls().startCaption, "Start");
    EXPECT_EQ(station_->PassCount + station_->FailCount, 0);
  }

  std::unique_ptr<BurnEngine> engine_;
};

TEST_F(BurnTest, EveryDeviceIsBurnedAndKeepsItsSerial) {
  StartWith("3");
  const std::string package = ImportPackage();
  const std::string image = ChooseSdImage(200000);
  Check(true, true);
  Burn();
  for (char letter : std::string("EFG")) {
    SCOPED_TRACE(letter);
    EXPECT_EQ(station_->slots().GetDeviceResult(letter), status::kSuccess);
    EXPECT_EQ(station_->slots().GetDeviceStatus(letter), DeviceStatus::Ready);
    EXPECT_EQ(FirstDifference(Card(letter, image.size()), image), "equal");
    const std::string serial = "00000001234" + std::to_string(5 + (letter - 'E'));
    EXPECT_EQ(FirstDifference(Flash(letter, 0, package.size()), Expected(package, serial, 80)), "equal");
    // Past the image the flash stays erased.
    EXPECT_EQ(Flash(letter, package.size() + 4096, 16), std::string(16, '\xFF'));
  }
  EXPECT_EQ(RowTexts()[0], "1|E(0) :|Download OK|Success!");
  EXPECT_EQ(station_->PassCount, 3);
  EXPECT_EQ(FileSettings().PassCount, 3);
  EXPECT_EQ(host_.LockedMask(), 0u);
  EXPECT_TRUE(engine_->controls().startEnabled);
  EXPECT_EQ(engine_->controls().startCaption, "Start");
  const auto reports = engine_->Reports();
  ASSERT_EQ(reports.size(), 3u);
  EXPECT_EQ(reports[0].serial, "000000012345");
  EXPECT_EQ(reports[0].flashIdText, "001840EF");
}

TEST_F(BurnTest, NothingEnabledPassesEveryDriveAtOnce) {
  StartWith("2");
  Check(false, false);
  Burn();
  EXPECT_EQ(RowTexts(), (std::vector<std::string>{"1|E(0) :|Download OK|Success!", "2|F(0) :|Download OK|Success!"}));
  EXPECT_EQ(station_->PassCount, 2);
}

TEST_F(BurnTest, StartChecksTheChosenFilesFirst) {
  StartWith("1");
  struct Case {
    bool sd1, sd2, flash;
    std::string message;
  } cases[] = {
      {true, false, false, "Please select the Img file."},
      {false, true, false, "Plz select img file burn to sd2."},
      {false, false, true, "pls select vlr file."},
  };
  for (const auto& c : cases) {
    messages_.shown.clear();
    engine_->checkBoxes = RunSettings{c.sd1, c.sd2, c.flash};
    engine_->OnStartButton();
    EXPECT_EQ(messages_.shown, std::vector<std::string>{c.message});
    EXPECT_EQ(messages_.captions.back(), "RQ4820 Ardentix");
    EXPECT_FALSE(engine_->Running());
  }
}

TEST_F(BurnTest, EmptyListStartsNothing) {
  StartWith("0");
  Check(true, true);
  engine_->OnStartButton();
  EXPECT_TRUE(messages_.shown.empty());
  EXPECT_FALSE(engine_->Running());
}

TEST_F(BurnTest, PackageThatFailedItsCheckIsNeverBurned) {
  StartWith("1");
  ImportPackage();
  auto bad = MakeSamplePackage({});
  (*bad)[1000] ^= 1;
  WriteText(dir_ / "bad.vlr", *bad);
  EXPECT_FALSE(ImportBurnPackage(station_->files(), dir_ / "bad.vlr").ok);
  Check(false, true);
  engine_->OnStartButton();
  EXPECT_EQ(messages_.shown, std::vector<std::string>{"vlr file format error"});
  EXPECT_FALSE(engine_->Running());
}

TEST_F(BurnTest, ReplacedSectionIsAssembledAtStart) {
  StartWith("1");
  ImportPackage();
  WriteText(dir_ / "voice.bin", std::string(1000, 'V'));
  ASSERT_TRUE(ReplaceVoiceSection(station_->files(), dir_ / "voice.bin").ok);
  Check(false, true);
  Burn();
  EXPECT_EQ(station_->files().flashPackagePath, station_->files().assembledImagePath);
  EXPECT_FALSE(station_->files().voiceReplaced);
  EXPECT_EQ(station_->slots().GetDeviceResult('E'), status::kSuccess);
  std::ifstream in(station_->files().assembledImagePath, std::ios::binary);
  std::string assembled((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_EQ(FirstDifference(Flash('E', 0, assembled.size()), Expected(assembled, "000000012345", 80)), "equal");
}

// Every failure the burn can meet, provoked on E while F burns beside it.
struct FailureCase {
  std::string name;
  std::string fault;  // added to E after identification
  bool sd1, flash;
  StatusCode result;
  StatusCode stage;        // E's Status column afterwards; -1: not checked
  DeviceStatus status;     // E's slot afterwards (unchecked with stage -1)
  std::string eFlashId = "00EF4018";  // E's flash id answer
  int32_t writeVerify = 0;
};

void PrintTo(const FailureCase& c, std::ostream* os) { *os << c.name; }

class BurnFailureTest : public BurnTest, public ::testing::WithParamInterface<FailureCase> {};

TEST_P(BurnFailureTest, IsReportedOnItsOwnDevice) {
  const FailureCase& c = GetParam();
  StartWith(R"({"devices":[{"letter":"E","flashId":")" + c.eFlashId + R"("},{"letter":"F"}]})");
  station_->mutableSettings().WriteVerify = c.writeVerify;
  // 10,000 bytes: flash writes are block 0, 4096, 8192, then the header.
  ImportPackage(SamplePackageSpec{4096, 5000, 784});
  ChooseSdImage(200000);
  if (!c.fault.empty()) AddFault('E', c.fault);
  Check(c.sd1, c.flash);
  Burn();
  if (c.stage >= 0) {
    EXPECT_EQ(station_->slots().GetDeviceResult('E'), c.result);
    EXPECT_EQ(station_->slots().GetDeviceOutcome('E'), BurnOutcome::Failed);
    EXPECT_EQ(station_->slots().GetDeviceStage('E'), c.stage);
    EXPECT_EQ(station_->slots().GetDeviceStatus('E'), c.status);
  } else {
    // The device vanished: the removal check drops its row, before or after
    // its worker has settled it.
    loop_.AdvanceBy(Milliseconds(400));
    EXPECT_EQ(ListedLetters(), "F");
  }
  EXPECT_EQ(station_->slots().GetDeviceResult('F'), status::kSuccess) << "F is not affected";
  EXPECT_EQ(station_->PassCount, 1);
  EXPECT_EQ(station_->FailCount, 1);
  const Settings file = FileSettings();
  EXPECT_EQ(file.PassCount, 1);
  EXPECT_EQ(file.FailCount, 1);
  EXPECT_EQ(host_.LockedMask(), 0u) << "a locked volume is always unlocked";
}


INSTANTIATE_TEST_SUITE_P(
    Failures, BurnFailureTest,
    ::testing::Values(
        // The pre-test opens first; the worker's own open is the second.
        FailureCase{"OpenFails", R"({"on":"open","after":1})", true, true, status::kNoDeviceFound,
                    status::kDeviceReady, DeviceStatus::Ready},
        FailureCase{"LockFailsFiveTimes", R"({"on":"lock","after":1,"count":5})", true, true, status::kLockFailed,
                    status::kDeviceReady, DeviceStatus::Ready},
        FailureCase{"SdWriteFails", R"({"on":"sd-write","after":1})", true, true, status::kSdWriteFailed,
                    status::kDeviceReady, DeviceStatus::Ready},
        FailureCase{"SdReadBackDiffers", R"({"on":"sd-read","action":"corrupt"})", true, false,
                    status::kSdVerifyFailed, status::kDeviceReady, DeviceStatus::Ready},
        FailureCase{"WriteVerifySeesTheDifference", R"({"on":"sd-read","action":"corrupt"})", true, false,
                    status::kSdWriteFailed, status::kDeviceReady, DeviceStatus::Ready, "00EF4018", 1},
        FailureCase{"EraseStuckBusy", R"({"on":"sector-erase","action":"busy"})", false, true,
                    status::kEraseFlashFailed, status::kDeviceReady, DeviceStatus::Ready},
        FailureCase{"BlockZeroWriteFails", R"({"on":"flash-write"})", false, true, status::kEraseFlashFailed,
                    status::kDeviceReady, DeviceStatus::Ready},
        FailureCase{"BodyWriteFails", R"({"on":"flash-write","after":1})", false, true, status::kFlashWriteFailed,
                    status::kDeviceReady, DeviceStatus::Ready},
        FailureCase{"HeaderDiffers", R"({"on":"flash-write","after":3,"action":"corrupt"})", false, true,
                    status::kFlashVerifyFailed, status::kDeviceReady, DeviceStatus::Ready},
        FailureCase{"BodyDiffers", R"({"on":"flash-write","after":2,"action":"corrupt"})", false, true,
                    status::kFlashVerifyFailed, status::kDeviceReady, DeviceStatus::Ready},
        FailureCase{"BlockZeroUnreadable", R"({"on":"flash-read"})", false, true, status::kFail,
                    status::kDeviceReady, DeviceStatus::Ready},
        FailureCase{"ChipTooSlow", "", false, true, status::kSpiTooSlow, status::kDeviceReady, DeviceStatus::Ready,
                    "00014017"},
        FailureCase{"ChipNotCatalogued", "", false, true, status::kSpiTooSlow, status::kDeviceReady,
                    DeviceStatus::Ready, "00AABBCC"},
        FailureCase{"ImageTooBig", "", false, true, status::kDataTooBig, status::kDeviceReady, DeviceStatus::Ready,
                    "00563412"},
        FailureCase{"UnpluggedMidBurn", R"({"on":"sd-write","after":1,"action":"unplug"})", true, true,
                    status::kRemoveDevice, -1, DeviceStatus::AwaitingRemoval},
        // A device that stops answering fails as that, within the command's
        // bound, and is not asked again: it waits to be pulled out.
        FailureCase{"StopsAnsweringMidSdWrite", R"({"on":"sd-write","after":1,"action":"stall"})", true, true,
                    status::kNotResponding, status::kSdWriting, DeviceStatus::AwaitingRemoval},
        FailureCase{"StopsAnsweringInSdVerify", R"({"on":"sd-read","after":1,"action":"stall"})", true, true,
                    status::kNotResponding, status::kSdVerifying, DeviceStatus::AwaitingRemoval},
        FailureCase{"StopsAnsweringToTheErase", R"({"on":"sector-erase","action":"stall"})", false, true,
                    status::kNotResponding, status::kEraseFlash, DeviceStatus::AwaitingRemoval},
        FailureCase{"StopsAnsweringToAStatusPoll", R"({"on":"flash-status","action":"stall"})", false, true,
                    status::kNotResponding, status::kEraseFlash, DeviceStatus::AwaitingRemoval},
        FailureCase{"StopsAnsweringMidFlashWrite", R"({"on":"flash-write","after":1,"action":"stall"})", false,
                    true, status::kNotResponding, status::kFlashWriting, DeviceStatus::AwaitingRemoval}),
    [](const auto& info) { return info.param.name; });

TEST_F(BurnTest, CatalogueLimitsAreExact) {
  // The clock check passes at 48 MHz; an image one byte smaller than the chip fits.
  StartWith("1", "Spi Count = 1 \r\n1\tW25Q128\t001840EF\t10\tedge\t48\r\n");
  ImportPackage(SamplePackageSpec{4096, 5000, 1023});  // 10,239 bytes
  Check(false, true);
  Burn();
  EXPECT_EQ(station_->slots().GetDeviceResult('E'), status::kSuccess);
}

TEST_F(BurnTest, LockSucceedingOnTheFifthAttemptBurnsNormally) {
  StartWith("1");
  ChooseSdImage(70000);
  AddFault('E', R"({"on":"lock","after":1,"count":4})");
  Check(true, false);
  Burn();
  EXPECT_EQ(station_->slots().GetDeviceResult('E'), status::kSuccess);
}

// The device goes at the moment its volume is locked: the removal reaches
// the host while it is taking the lock, and the burn must still end.
TEST_F(BurnTest, DevicePulledByItsLockFailsAndTheRunEnds) {
  StartWith("2");
  ChooseSdImage(70000);
  AddFault('E', R"({"on":"lock","after":1,"action":"unplug"})");
  Check(true, false);
  Burn();
  // E's slot goes with its row when the removal is checked, maybe before
  // the worker's end: the worker's report keeps what it settled.
  std::map<char, StatusCode> results;
  for (const DeviceReport& r : engine_->Reports()) results[r.letter] = r.result;
  EXPECT_EQ(results, (std::map<char, StatusCode>{{'E', status::kRemoveDevice}, {'F', status::kSuccess}}));
  EXPECT_EQ(station_->FailCount, 1);
  EXPECT_EQ(host_.LockedMask(), 0u);
}

TEST_F(BurnTest, OldSystemsWithoutXpLockBurnUnlocked) {
  StartWith("1");
  ChooseSdImage(70000);
  host_.SetOsMajorVersion(5);
  station_->mutableSettings().LockOnXp = 0;
  // Only the pre-test may lock: a second lock would fail the worker.
  AddFault('E', R"({"on":"lock","after":1,"count":-1})");
  Check(true, false);
  Burn();
  EXPECT_EQ(station_->slots().GetDeviceResult('E'), status::kSuccess);
}

TEST_F(BurnTest, FailedLockPreTestLeavesStopEnabled) { LockPreTestRefused(R"({"on":"lock"})"); }

// The pre-test's open gets no answer and gives up at the control bound,
// naming the drive.
TEST_F(BurnTest, LockPreTestOfADeviceThatDoesNotAnswerIsBounded) {
  LockPreTestRefused(R"({"on":"identify","action":"stall"})");
}

// Polls that fail end the wait for the erase after a few, instead of a
// hundred polls each waiting for the device.
TEST_F(BurnTest, FailedStatusPollsEndTheEraseWaitSoon) {
  StartWith("1");
  ImportPackage();
  const auto trace = dir_ / "trace.txt";
  ASSERT_EQ(QMR_SetTraceFile(trace.string().c_str()), 1);
  AddFault('E', R"({"on":"flash-status","count":-1})");
  Check(false, true);
  Burn();
  QMR_SetTraceFile(nullptr);
  EXPECT_EQ(station_->slots().GetDeviceResult('E'), status::kEraseFlashFailed);
  std::ifstream in(trace);
  int polls = 0;
  for (std::string line; std::getline(in, line);) polls += line.rfind("E F6 01 00", 0) == 0;
  EXPECT_EQ(polls, 3);
}

// The OS holds a worker in a command far past its bound (the device neither
// answers nor lets the command time out): the watch gives the device up as
// not responding, the run ends with the others, and the worker, when the OS
// lets it go during the next run, changes nothing.
TEST_F(BurnTest, AWorkerHeldPastItsBoundIsGivenUpAndTouchesNothingLater) {
  StartWith("3");
  FakeClock watchClock;
  engine_->SetWatchClock(watchClock);
  CommandBounds bounds;  // a transfer bound far longer than the test: the command waits until E is pulled
  station_->SetCommandBounds(bounds);
  ChooseSdImage(200000);
  AddFault('E', R"({"on":"sd-write","after":1,"action":"stall"})");
  Check(true, false);
  engine_->OnStartButton();
  auto passed = [&](char letter) { return station_->slots().GetDeviceOutcome(letter) == BurnOutcome::Passed; };
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  loop_.Run([&] { return (passed('F') && passed('G')) || std::chrono::steady_clock::now() > deadline; });
  ASSERT_TRUE(passed('F') && passed('G'));
  loop_.AdvanceBy(Milliseconds(600));
  EXPECT_TRUE(engine_->Running()) << "E's worker is still in its command";

  watchClock.Advance(2 * bounds.transfer + bounds.grace + Milliseconds(1));
  deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  loop_.Run([&] { return !engine_->Running() || std::chrono::steady_clock::now() > deadline; });
  ASSERT_FALSE(engine_->Running()) << "the run ends without the wedged worker";
  station_->RefreshDeviceRows();
  EXPECT_EQ(station_->slots().GetDeviceResult('E'), status::kNotResponding);
  EXPECT_EQ(station_->slots().GetDeviceStatus('E'), DeviceStatus::AwaitingRemoval);
  EXPECT_EQ(RowTexts()[0], "1|E(0) :|Data is being downloaded to SD card.|Device not responding");
  EXPECT_EQ(station_->PassCount, 2);
  EXPECT_EQ(station_->FailCount, 1);
  EXPECT_EQ(FileSettings().FailCount, 1);
  std::map<char, StatusCode> results;
  for (const DeviceReport& r : engine_->Reports()) results[r.letter] = r.result;
  EXPECT_EQ(results, (std::map<char, StatusCode>{
                         {'E', status::kNotResponding}, {'F', status::kSuccess}, {'G', status::kSuccess}}));

  // The next run burns F and G; E's worker is let go in the middle of it.
  engine_->OnStartButton();
  QMR_SimUnplug('E');
  deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  loop_.Run([&] { return !engine_->Running() || std::chrono::steady_clock::now() > deadline; });
  ASSERT_FALSE(engine_->Running());
  engine_->WaitForWorkers();
  engine_.reset();  // waits for the given-up worker to return
  EXPECT_EQ(station_->PassCount, 4);
  EXPECT_EQ(station_->FailCount, 1);
  EXPECT_EQ(FileSettings().PassCount, 4);
  EXPECT_EQ(FileSettings().FailCount, 1);
}

// A device stops answering while another is pulled out: the removal check
// asks every burning device whether it is still there, and the stalled one
// never answers. The station's thread goes on: the pulled device's row goes,
// the third device's row runs to its end.
TEST_F(BurnTest, AStalledDeviceAndAPulledOneAtOnceTheRowsKeepUpdating) {
  StartWith("3");
  CommandBounds bounds = station_->commandBounds();
  bounds.control = bounds.transfer = Milliseconds(600000);  // asking E waits until it is pulled
  station_->SetCommandBounds(bounds);
  station_->SetQuickAnswerWait(kQuickAnswer);
  ChooseSdImage(600000);
  AddFault('E', R"({"on":"sd-write","after":1,"action":"stall"})");
  AddFault('F', R"({"on":"sd-write","after":2,"action":"unplug"})");
  Check(true, false);
  engine_->OnStartButton();
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  loop_.Run([&] {
    return (ListedLetters() == "EG" && station_->slots().GetDeviceOutcome('G') == BurnOutcome::Passed) ||
           std::chrono::steady_clock::now() > deadline;
  });
  station_->RefreshDeviceRows();
  EXPECT_EQ(ListedLetters(), "EG");
  ASSERT_EQ(RowTexts().size(), 2u);
  EXPECT_EQ(RowTexts()[1], "2|G(0) :|Download OK|Success!");
  EXPECT_TRUE(engine_->Running()) << "E still holds its worker";
  EXPECT_GT(station_->deviceCalls().Outstanding(), 0) << "the probe of E waits elsewhere";

  QMR_SimUnplug('E');  // E's worker and its probe are let go
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  loop_.Run([&] { return !engine_->Running() || std::chrono::steady_clock::now() > end; });
  EXPECT_FALSE(engine_->Running());
  EXPECT_EQ(station_->PassCount, 1);
  EXPECT_EQ(station_->FailCount, 2);
}

// The drives of a run are settled when START is pressed, on the station's
// thread. A removal check that compacted the list while another thread was
// walking it for the run let a drive move into a place already visited, and
// that drive, still attached and shown ready, was left out of the run without
// a word. Here the list changes right after START: the run still holds the
// drive that left, so either the lock test finds it gone and refuses the run,
// or (when the starter got to it first) its worker burns or fails it.
TEST_F(BurnTest, DrivesOfARunAreTheOnesReadyAtStart) {
  StartWith("3");
  Check(false, false);
  engine_->OnStartButton();
  QMR_SimUnplug('F');
  station_->CheckRemovedDrives(1u << ('F' - 'A'));
  ASSERT_EQ(ListedLetters(), "EG");
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  loop_.Run([&] {
    return !engine_->Running() || !messages_.shown.empty() || std::chrono::steady_clock::now() > deadline;
  });
  engine_->WaitForWorkers();
  if (!messages_.shown.empty()) {
    EXPECT_EQ(messages_.shown, std::vector<std::string>{"Lock fail! Drive(s): F:"});
    EXPECT_EQ(station_->PassCount + station_->FailCount, 0);
    engine_->OnStartButton();
  } else {
    std::string burned;
    for (const DeviceReport& r : engine_->Reports()) burned += r.letter;
    EXPECT_EQ(burned, "EFG");
    EXPECT_EQ(station_->PassCount + station_->FailCount, 3);
  }
  EXPECT_FALSE(engine_->Running());
}

TEST_F(BurnTest, DeviceNotReadyGetsNoWorker) {
  StartWith("2");
  station_->slots().SetDeviceStatus('E', DeviceStatus::AwaitingRemoval);
  Check(false, false);
  Burn();
  EXPECT_EQ(station_->slots().GetDeviceResult('F'), status::kSuccess);
  EXPECT_EQ(station_->slots().GetDeviceResult('E'), 0);
  EXPECT_EQ(station_->PassCount, 1);
}

// A two-card device is one device: its worker on unit 0 burns the SD1 image
// there and the SD2 image on unit 1's card, one pass or fail for both.
TEST_F(BurnTest, TwoUnitDeviceGetsBothCardsAndOneResult) {
  struct Case {
    const char* name;
    bool sd2;
    std::string fault;  // on the device (both units count its commands)
    StatusCode result;
    bool secondCardBurned;
  };
  const Case cases[] = {
      {"both cards", true, "", status::kSuccess, true},
      {"SD2 unchecked", false, "", status::kSuccess, false},
      // Two writes of the 70000-byte SD1 image, then the first of the SD2 image.
      {"second card fails", true, R"({"on":"sd-write","after":2})", status::kSdWriteFailed, false},
  };
  for (const Case& tc : cases) {
    SCOPED_TRACE(tc.name);
    TearDown();
    SetUp();
    StartWith(R"({"devices":[{"letter":"E","luns":2}]})");
    const std::string image = ChooseSdImage(70000);
    const std::string image2 = MakeSampleSdImage(90000, 7);
    WriteText(dir_ / "card2.img", image2);
    station_->files().sd2ImagePath = dir_ / "card2.img";
    ImportPackage();
    if (!tc.fault.empty()) AddFault('E', tc.fault);
    Check(true, true, tc.sd2);
    Burn();
    EXPECT_EQ(ListedLetters(), "E");  // unit 1 has no row of its own
    EXPECT_EQ(station_->slots().GetDeviceResult('E'), tc.result);
    EXPECT_EQ(station_->PassCount + station_->FailCount, 1);
    EXPECT_EQ(FirstDifference(Card('E', image.size()), image), "equal");
    EXPECT_EQ(Card('F', image2.size()) == image2, tc.secondCardBurned);
    const auto reports = engine_->Reports();
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_EQ(reports[0].secondCardLetter, tc.sd2 ? 'F' : 0);
    EXPECT_EQ(reports[0].stageMs.count("sd2-verify"), tc.secondCardBurned ? 1u : 0u);
  }
}

// Without a readable catalogue with chips every device would fail as too
// slow: START refuses, naming the catalogue's problem, and counts nothing.
TEST_F(BurnTest, StartRefusesAFlashBurnWithoutAChipCatalogue) {
  struct Case {
    const char* name;
    std::string catalogue;  // "" missing, "/" a folder in its place
    std::string message;
  };
  const Case cases[] = {
      {"empty", "Spi Count = 0 \r\n", StringText(1073)},
      {"missing", "", StringText(1073)},
      {"unreadable", "/", "SpiList.ini cannot be read ("},
  };
  for (const Case& tc : cases) {
    SCOPED_TRACE(tc.name);
    TearDown();
    SetUp();
    StartWith("2", tc.catalogue == "/" ? "" : tc.catalogue);
    std::filesystem::remove(dir_ / "SpiList.ini");
    if (tc.catalogue == "/") {
      std::filesystem::create_directory(dir_ / "SpiList.ini");
      station_->Initialise();
    } else if (tc.catalogue.empty()) {
      station_->catalogue().Load();
    }
    ImportPackage();
    Check(false, true);
    messages_.shown.clear();
    engine_->OnStartButton();
    EXPECT_FALSE(engine_->Running());
    ASSERT_EQ(messages_.shown.size(), 1u);
    EXPECT_EQ(messages_.shown[0].rfind(tc.message, 0), 0u) << messages_.shown[0];
    EXPECT_EQ(station_->PassCount + station_->FailCount, 0);
    EXPECT_TRUE(engine_->Reports().empty());
    // An SD-only burn needs no catalogue.
    ChooseSdImage(1000);
    Check(true, false);
    Burn();
    EXPECT_EQ(station_->PassCount, 2);
  }
}

// A drive whose unit could not be read when it was identified is read again
// at START: burned as unit 0 when it reads so, else left out and said so.
TEST_F(BurnTest, AnUnknownUnitIsReadAgainAtStartAndNeverBurnedBlind) {
  struct Case {
    const char* name;
    int count;  // location lookups that fail after the first two of the scan
    StatusCode result;
    int passed;
  };
  const Case cases[] = {
      {"readable at START", 1, status::kSuccess, 1},
      {"unreadable at START", -1, status::kLunUnknown, 0},
  };
  for (const Case& tc : cases) {
    SCOPED_TRACE(tc.name);
    TearDown();
    SetUp();
    // The scan reads the unit and the location; identification then reads the unit again.
    StartWith(R"({"devices":[{"letter":"E","faults":[{"on":"location","after":2,"count":)" +
              std::to_string(tc.count) + "}]}]}");
    ASSERT_EQ(ListedLetters(), "E");
    ASSERT_EQ(station_->slots().FindDeviceEntry('E')->lun, -1);
    const std::string package = ImportPackage();
    Check(false, true);
    Burn();
    EXPECT_EQ(station_->slots().GetDeviceResult('E'), tc.result);
    EXPECT_EQ(station_->PassCount, tc.passed);
    EXPECT_EQ(station_->FailCount, 0);
    EXPECT_EQ(engine_->Reports().size(), size_t(tc.passed));
    EXPECT_EQ(Flash('E', 0, package.size()) == Expected(package, "000000012345", 80), tc.passed == 1);
    if (tc.passed) {
      EXPECT_EQ(RowTexts()[0], "1|E(0) :|Download OK|Success!");
    }
  }
}

TEST_F(BurnTest, FlashCommandsOfATenThousandByteImage) {
  // A device that already carries the package's id field (as devices of one
  // production line do): the header lands on block 0 without a second erase.
  StartWith(R"({"devices":[{"letter":"E","userId":"A0A1A2A3A4A5A6A7A8A9AAABACADAEAFB0B1B2B3"}]})");
  ImportPackage(SamplePackageSpec{4096, 5000, 784});
  const auto trace = dir_ / "trace.txt";
  ASSERT_EQ(QMR_SetTraceFile(trace.string().c_str()), 1);
  Check(false, true);
  Burn();
  QMR_SetTraceFile(nullptr);
  ASSERT_EQ(station_->slots().GetDeviceResult('E'), status::kSuccess);
  std::ifstream in(trace);
  std::vector<std::string> flash;
  const std::regex keep("^E F6 (05|06|15) .*");
  for (std::string line; std::getline(in, line);)
    if (std::regex_match(line, keep)) flash.push_back(line);
  // "E" and the CDB's leading bytes, zero-padded to 16, then the data phase.
  auto line = [](std::vector<int> head, const std::string& phase) {
    std::string s = "E";
    head.resize(16, 0);
    char hex[4];
    for (int b : head) {
      std::snprintf(hex, sizeof hex, " %02X", b);
      s += hex;
    }
    return s + " " + phase + " ok";
  };
  EXPECT_EQ(flash, (std::vector<std::string>{
                       line({0xF6, 0x05, 0x06, 0, 0, 0, 0, 0, 8}, "in 4096"),    // the unit, as its burn begins
                       line({0xF6, 0x05, 0x06, 0, 0, 0, 0, 0, 1}, "in 512"),     // block 0 readable
                       line({0xF6, 0x05, 0x06, 0, 0, 0, 0, 0, 8}, "in 4096"),    // the unit, right before the erase
                       line({0xF6, 0x05, 0x06, 0, 0, 0, 0, 0, 1}, "in 512"),     // erase: block 0 read
                       line({0xF6, 0x15, 0x06, 0, 0, 0, 16, 0}, "none 0"),       // first 4096 bytes
                       line({0xF6, 0x06, 0x06, 0, 0, 0, 0, 0, 1}, "out 512"),    // block 0 with kept fields
                       line({0xF6, 0x15, 0x06, 0, 16, 0, 48, 0}, "none 0"),      // 12,288 bytes behind them
                       line({0xF6, 0x06, 0x06, 0, 0, 0x10, 0, 0, 8}, "out 4096"),
                       line({0xF6, 0x06, 0x06, 0, 0, 0x20, 0, 0, 4}, "out 2048"),
                       line({0xF6, 0x05, 0x06, 0, 0, 0x10, 0, 0, 8}, "in 4096"),
                       line({0xF6, 0x05, 0x06, 0, 0, 0x20, 0, 0, 4}, "in 2048"),
                       line({0xF6, 0x06, 0x06, 0, 0, 0, 0, 0, 8}, "out 4096"),   // header last
                       line({0xF6, 0x05, 0x06, 0, 0, 0, 0, 0, 8}, "in 4096"),
                       line({0xF6, 0x05, 0x06, 0, 0, 0, 0, 0, 8}, "in 4096"),    // block 0 as the burn left it
                       line({0xF6, 0x05, 0x06, 0, 0, 0, 0, 0, 8}, "in 4096"),    // and again, to trust it
                   }));
}

TEST_F(BurnTest, HeaderNeedingBitsTheDeviceIdClearedIsWrittenOnErasedFlash) {
  StartWith(R"({"devices":[{"letter":"E","userId":"0000000000000000000000000000000000000000"}]})");
  const std::string package = ImportPackage(SamplePackageSpec{4096, 5000, 784});
  const auto trace = dir_ / "trace.txt";
  ASSERT_EQ(QMR_SetTraceFile(trace.string().c_str()), 1);
  Check(false, true);
  Burn();
  QMR_SetTraceFile(nullptr);
  EXPECT_EQ(station_->slots().GetDeviceResult('E'), status::kSuccess);
  EXPECT_EQ(FirstDifference(Flash('E', 0, package.size()), Expected(package, "000000012345", 80)), "equal");
  std::ifstream in(trace);
  int erasesOfBlockZero = 0;
  for (std::string line; std::getline(in, line);)
    erasesOfBlockZero += line.rfind("E F6 15 06 00 00 00 10 ", 0) == 0;
  EXPECT_EQ(erasesOfBlockZero, 2);
}

TEST_F(BurnTest, SavedReadBackHoldsTheWholeCardAfterADifference) {
  StartWith("1");
  const std::string image = ChooseSdImage(150000);
  station_->mutableSettings().SaveSdFile = 1;
  AddFault('E', R"({"on":"sd-read","action":"corrupt"})");
  Check(true, false);
  Burn();
  EXPECT_EQ(station_->slots().GetDeviceResult('E'), status::kSdVerifyFailed);
  std::ifstream in(dir_ / "E.bin", std::ios::binary);
  std::string saved((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  ASSERT_EQ(saved.size(), image.size());
  EXPECT_NE(saved, image);
  EXPECT_EQ(saved.substr(61440), image.substr(61440)) << "only the first chunk differed";
}

// Counters that start from the defaults because the settings file could not
// be read must not be written over the real counts once it can be.
TEST_F(BurnTest, AnUnreadableSettingsFileIsSaidAndNotWrittenOver) {
  const std::string settings = "[OID MP]\r\nPass Count=5000\r\nFail Count=7\r\n";
  WriteText(dir_ / "RQ4820Ardentix.ini", settings);
  {
    test::FaultyPlatform unreadable;
    unreadable.refuseReading = [this](const std::filesystem::path& p) { return p == dir_ / "RQ4820Ardentix.ini"; };
    StartWith("1");
  }
  ASSERT_FALSE(messages_.shown.empty());
  EXPECT_EQ(messages_.shown[0].rfind("RQ4820Ardentix.ini cannot be read", 0), 0u) << messages_.shown[0];
  ImportPackage();
  Check(false, true);
  Burn();
  EXPECT_EQ(station_->slots().GetDeviceResult('E'), status::kSuccess);
  EXPECT_EQ(station_->PassCount.load(), 1);
  EXPECT_EQ(ReadWholeFile(dir_ / "RQ4820Ardentix.ini"), settings);
}

// A verification that stops before the card's end still leaves its own
// read-back, holding what it read: the last burn's would pass for this card.
TEST_F(BurnTest, AVerificationThatStopsEarlyLeavesWhatItRead) {
  StartWith("1");
  const std::string image = ChooseSdImage(150000);
  station_->mutableSettings().SaveSdFile = 1;
  WriteText(dir_ / "E.bin", "the last burn's read-back");
  AddFault('E', R"({"on":"sd-read","after":1,"action":"fail"})");
  Check(true, false);
  Burn();
  EXPECT_EQ(station_->slots().GetDeviceResult('E'), status::kSdVerifyFailed);
  EXPECT_EQ(FirstDifference(*ReadWholeFile(dir_ / "E.bin"), image.substr(0, kSdChunkBytes)), "equal");
  for (const auto& entry : std::filesystem::directory_iterator(dir_))
    EXPECT_FALSE(TemporaryOwner(entry.path())) << entry.path();
}

}  // namespace
}  // namespace ardentix::testing
