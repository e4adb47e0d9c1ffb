// Which drives the station lists, in which order, with which texts; and how
// arrivals and removals reach the list.
#include "station_fixture.h"

#include "core/status_codes.h"

namespace ardentix::testing {
namespace {

std::string Device(const std::string& letter, const std::string& extra = "") {
  return R"({"letter":")" + letter + R"(")" + (extra.empty() ? "" : "," + extra) + "}";
}

std::string Farm(const std::vector<std::string>& devices) {
  std::string s = R"({"devices":[)";
  for (size_t i = 0; i < devices.size(); ++i) s += (i ? "," : "") + devices[i];
  return s + "]}";
}

TEST_F(StationTest, StartupScanListsExactlyTheFamilysDrives) {
  StartStation(Farm({
      Device("D", R"("vendor":"Acme","product":"Stick")"),                       // not of the family
      Device("E"),                                                                // Generic vendor
      Device("F", R"("vendor":"Generi","product":"X")"),                         // "Generi " is not "Generic"
      Device("G", R"("identify":[1,0])"),                                         // fails the identify check
      Device("H", R"("flashId":"FFFFFFFF")"),                                     // no flash chip answers
      Device("I", R"("vendor":"Acme","product":"RQ4820-B any")"),            // product prefix
      Device("J", R"("luns":2,"lun1Letter":"K","vendor":"Acme","product":"QMR5291 Dual")"),
      Device("L", R"("vendor":"Acme","product":"KPL4093")"),
      Device("M", R"("vendor":"Acme","product":"rq4820")"),                      // case matters
  }));
  EXPECT_EQ(ListedLetters(), "EIJL");
  EXPECT_EQ(RowTexts(), (std::vector<std::string>{
                            "  1|E(0) :|The device is ready....|---",
                            "  2|I(0) :|The device is ready....|---",
                            "  3|J(0) :|The device is ready....|---",
                            "  4|L(0) :|The device is ready....|---",
                        }));
  // The fixed system disk C: is never touched, and the unit-1 drive K gets no row.
  EXPECT_EQ(station_->slots().GetDeviceStatus('K'), DeviceStatus::Free);
  // The first refresh drops the padding of the "No." column.
  loop_.AdvanceBy(Milliseconds(300));
  EXPECT_EQ(station_->rows().Text(0, 0), "1");
  EXPECT_EQ(station_->slots().GetDeviceEntry(0)->spiClockMHz, 80);
}

TEST_F(StationTest, AtMostEightDevicesAreShown) {
  StartStation("9");
  EXPECT_EQ(ListedLetters(), "EFGHIJKL");
  EXPECT_EQ(station_->slots().GetDeviceStatus('M'), DeviceStatus::Free);
}

TEST_F(StationTest, IdentificationKeepsSerialAndIdFieldsOfFlashBlockZero) {
  const std::string userId = "000102030405060708090A0B0C0D0E0F10111213";
  StartStation(Farm({Device("E", R"("serial":"123456789012","userId":")" + userId + "\""),
                     Device("F", R"("serial":null)")}));
  const FlashSerial serial = station_->FlashSerialCache('E');
  EXPECT_EQ(serial[0], '1');
  EXPECT_EQ(serial[1], 0);
  EXPECT_EQ(serial[22], '2');
  const FlashUserId id = station_->FlashIdCache('E');
  for (size_t i = 0; i < id.size(); ++i) EXPECT_EQ(id[i], i);
  for (uint8_t b : station_->FlashSerialCache('F')) EXPECT_EQ(b, 0xFF);
  EXPECT_EQ(station_->Identified('E').flashIdText, "001840EF");
}

TEST_F(StationTest, DriveWhoseBlockZeroCannotBeReadIsTakenAtItsNextArrival) {
  StartStation(Farm({Device("E", R"("serial":"123456789012","faults":[{"on":"flash-read"}])")}));
  EXPECT_EQ(ListedLetters(), "") << "its serial number is unknown";
  QMR_SimUnplug('E');
  loop_.AdvanceBy(Milliseconds(400));
  QMR_SimPlug('E');
  loop_.AdvanceBy(Milliseconds(400));
  ASSERT_EQ(ListedLetters(), "E");
  EXPECT_EQ(SerialDigits(station_->FlashSerialCache('E')), "123456789012");
}

TEST_F(StationTest, SerialWithANonDigitBecomesBlank) {
  StartStation(Farm({Device("E")}));
  // Eleven digits and a letter: the whole serial reads as 0xFF.
  const char16_t text[] = u"01234567890A";
  unsigned char bytes[24];
  for (int i = 0; i < 12; ++i) {
    bytes[2 * i] = uint8_t(text[i]);
    bytes[2 * i + 1] = 0;
  }
  ASSERT_EQ(QMR_SimPokeFlash('E', 136, bytes, 24), 1);
  QMR_SimUnplug('E');
  loop_.AdvanceBy(Milliseconds(400));
  QMR_SimPlug('E');
  loop_.AdvanceBy(Milliseconds(400));
  ASSERT_EQ(ListedLetters(), "E");
  for (uint8_t b : station_->FlashSerialCache('E')) EXPECT_EQ(b, 0xFF);
}

TEST_F(StationTest, ArrivalsCoalesceIntoOneScan) {
  StartStation("3");
  QMR_SimUnplug('F');
  loop_.AdvanceBy(Milliseconds(400));
  QMR_SimUnplug('G');
  loop_.AdvanceBy(Milliseconds(400));
  ASSERT_EQ(ListedLetters(), "E");

  QMR_SimPlug('F');
  loop_.AdvanceBy(Milliseconds(100));
  QMR_SimPlug('G');
  loop_.AdvanceBy(Milliseconds(250));
  EXPECT_EQ(ListedLetters(), "E") << "no scan before 300 ms after the last arrival";
  EXPECT_TRUE(loop_.TimerActive(kArrivalTimer));
  loop_.AdvanceBy(Milliseconds(100));
  EXPECT_EQ(ListedLetters(), "EFG");
  EXPECT_FALSE(loop_.TimerActive(kArrivalTimer));
  EXPECT_EQ(station_->ArrivalMask, 0u);
}

TEST_F(StationTest, RemovalsCloseTogetherAreAllChecked) {
  StartStation("3");
  ASSERT_EQ(ListedLetters(), "EFG");
  QMR_SimUnplug('E');
  loop_.AdvanceBy(Milliseconds(100));
  QMR_SimUnplug('F');
  loop_.AdvanceBy(Milliseconds(400));
  // E's row must go too: a device plugged in under E later would otherwise
  // be taken for the one that left (it is never identified while listed).
  EXPECT_EQ(ListedLetters(), "G");
  EXPECT_EQ(RowTexts().size(), 1u);
  EXPECT_EQ(station_->slots().GetDeviceStatus('E'), DeviceStatus::Free);
  EXPECT_EQ(station_->slots().GetDeviceStatus('F'), DeviceStatus::Free);
  EXPECT_EQ(station_->RemovalMask, 0u);
}

TEST_F(StationTest, DriveThatStillOpensKeepsItsRow) {
  StartStation("2");
  station_->OnVolumeChange(false, 1u << ('E' - 'A'));
  loop_.AdvanceBy(Milliseconds(400));
  EXPECT_EQ(ListedLetters(), "EF");
}

TEST_F(StationTest, ArrivalWaitsWhileABurnRuns) {
  StartStation(Farm({Device("E"), Device("F")}));
  QMR_SimUnplug('F');
  loop_.AdvanceBy(Milliseconds(400));
  station_->BurnRunning = 1;
  QMR_SimPlug('F');
  loop_.AdvanceBy(Milliseconds(1000));
  EXPECT_EQ(ListedLetters(), "E");
  EXPECT_TRUE(loop_.TimerActive(kArrivalTimer)) << "the arrival timer keeps ticking unserved";
  station_->BurnRunning = 0;
  loop_.AdvanceBy(Milliseconds(300));
  EXPECT_EQ(ListedLetters(), "EF");
}

TEST_F(StationTest, VanishedDeviceAndFinishedFailuresLeaveTheList) {
  StartStation("3");
  // F failed its burn and no longer opens: its row goes at the next scan.
  station_->slots().SetDeviceStatus('F', DeviceStatus::AwaitingRemoval);
  station_->ScanDrives(0);
  EXPECT_EQ(ListedLetters(), "EG");
  EXPECT_EQ(station_->rows().Text(1, 1), "G(0) :");

  // E vanishes while burning; the check of G's removal marks it failed on the
  // way to G's row (rows after the removed one are not visited).
  station_->slots().SetDeviceStatus('E', DeviceStatus::Burning);
  QMR_SimUnplug('E');
  QMR_SimUnplug('G');
  station_->CheckRemovedDrives(1u << ('G' - 'A'));
  EXPECT_EQ(ListedLetters(), "E");
  EXPECT_EQ(station_->slots().GetDeviceResult('E'), status::kRemoveDevice);
  EXPECT_EQ(station_->slots().GetDeviceOutcome('E'), BurnOutcome::Failed);
}

TEST_F(StationTest, MasterImageDriveBoxFollowsTheList) {
  StartStation("2");
  ASSERT_EQ(station_->masterImageDrives().size(), 2u);
  EXPECT_EQ(station_->masterImageDrives()[0].substr(0, 2), "E:");
  EXPECT_EQ(station_->masterImageSelection(), 0);
  QMR_SimUnplug('E');
  loop_.AdvanceBy(Milliseconds(400));
  ASSERT_EQ(station_->masterImageDrives().size(), 1u);
  EXPECT_EQ(station_->masterImageDrives()[0][0], 'F');
  EXPECT_EQ(station_->masterImageSelection(), 0);
}

TEST_F(StationTest, RefreshShowsStagesProgressAndResults) {
  StartStation("2");
  DeviceSlotTable& slots = station_->slots();
  struct Case {
    int32_t stage, progress, result;
    std::string status, resultText;
  } cases[] = {
      {status::kEraseFlash, -1, 0, "Erase flash...", "---"},
      {status::kEraseFlash, 40, 0, "Erase flash...(40%)", "---"},
      {9999, 10, 0, "(10%)", "---"},
      {0, 50, status::kSuccess, "(10%)", "Success!"},  // stage 0 keeps the old text
      {status::kDownloadOk, -1, 7777, "Download OK", ""},
  };
  for (const auto& c : cases) {
    slots.SetDeviceStage('F', c.stage);
    slots.SetDeviceProgress('F', c.progress);
    slots.SetDeviceResult('F', c.result);
    station_->RefreshDeviceRows();
    EXPECT_EQ(station_->rows().Text(1, 2), c.status);
    EXPECT_EQ(station_->rows().Text(1, 3), c.resultText);
  }
  station_->PassCount = 5;
  station_->FailCount = 2;
  station_->RefreshDeviceRows();
  EXPECT_EQ(station_->passCountShown, 5);
  EXPECT_EQ(station_->failCountShown, 2);
}

}  // namespace
}  // namespace ardentix::testing
