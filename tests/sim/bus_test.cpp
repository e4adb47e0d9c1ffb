// The bus: letters of one- and two-unit devices, plug events, the schedule.
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <mutex>

#include "sim/sim.h"
#include "sim_driver.h"

namespace {

using namespace qmr::sim;
using namespace simtest;
using Clock = std::chrono::steady_clock;

constexpr uint32_t Bit(char letter) { return 1u << (letter - 'A'); }

// Plug events as the listener hears them, waitable from the test thread.
struct Events {
  std::mutex mutex;
  std::condition_variable changed;
  std::vector<std::pair<bool, uint32_t>> heard;

  Bus::Listener Listener() {
    return [this](bool arrived, uint32_t mask) {
      std::lock_guard lock(mutex);
      heard.emplace_back(arrived, mask);
      changed.notify_all();
    };
  }
  bool WaitFor(size_t n, std::chrono::milliseconds timeout = std::chrono::seconds(5)) {
    std::unique_lock lock(mutex);
    return changed.wait_for(lock, timeout, [&] { return heard.size() >= n; });
  }
  std::vector<std::pair<bool, uint32_t>> Heard() {
    std::lock_guard lock(mutex);
    return heard;
  }
};

SimConfig TwoDevices() {
  SimConfig config;
  config.devices = {DefaultDevice(0), DefaultDevice(1)};  // E, F
  config.devices[0].luns = 2;  // unit 1 takes G, the next letter no one uses
  config.devices[0].flashSizeKB = 64;
  config.devices[0].sdSectors = 1000;
  config.devices[0].sd2Sectors = 2000;
  return config;
}

TEST(SimBus, LettersOfTwoUnitDevices) {
  Bus bus(TwoDevices());
  Events events;
  bus.SetListener(events.Listener());
  const auto& e = bus.Devices()[0];
  EXPECT_EQ(e->LetterOf(0), 'E');
  EXPECT_EQ(e->LetterOf(1), 'G');
  EXPECT_EQ(bus.Devices()[1]->LetterOf(1), 0);
  EXPECT_EQ(bus.DriveMask(), Bit('E') | Bit('F') | Bit('G'));

  struct Case {
    char letter;
    int device, lun;
  };
  for (const Case tc : {Case{'E', 0, 0}, Case{'G', 0, 1}, Case{'g', 0, 1}, Case{'F', 1, 0}}) {
    int lun = -1;
    EXPECT_EQ(bus.Find(tc.letter, &lun), bus.Devices()[size_t(tc.device)]) << tc.letter;
    EXPECT_EQ(lun, tc.lun) << tc.letter;
  }
  EXPECT_FALSE(bus.Find('H', nullptr));
  EXPECT_FALSE(bus.Plug('H'));

  // Pulling either letter takes the whole device away.
  ASSERT_TRUE(bus.Unplug('G'));
  EXPECT_TRUE(bus.Unplug('E'));  // already gone: no second event
  EXPECT_EQ(bus.DriveMask(), Bit('F'));
  EXPECT_FALSE(bus.Find('E', nullptr));
  int lun = -1;
  EXPECT_EQ(bus.Owner('G', &lun), e);
  EXPECT_EQ(lun, 1);
  ASSERT_TRUE(bus.Plug('E'));
  EXPECT_EQ(events.Heard(), (std::vector<std::pair<bool, uint32_t>>{{false, Bit('E') | Bit('G')},
                                                                    {true, Bit('E') | Bit('G')}}));
}

TEST(SimBus, UnitsShareTheFlashButNotTheCard) {
  Bus bus(TwoDevices());
  auto device = bus.Find('E', nullptr);
  Driver unit0(*device, 0), unit1(*device, 1);
  ASSERT_TRUE(unit1.FlashWrite(1024, Pattern(512, 3)));
  EXPECT_EQ(unit0.FlashRead(1024, 1), Pattern(512, 3));
  ASSERT_TRUE(unit0.SectorErase(4, 2));
  while (unit1.Busy() == true) {  // the erase is seen through either unit
  }
  EXPECT_EQ(unit1.FlashRead(1024, 1), Filled(512, 0xFF));

  ASSERT_TRUE(unit0.SdWrite(10, Pattern(512, 4)));
  EXPECT_EQ(unit1.SdRead(10, 1), Filled(512, 0));
  EXPECT_EQ(unit0.SdRead(10, 1), Pattern(512, 4));
  EXPECT_FALSE(unit0.SdRead(1500, 1));
  EXPECT_TRUE(unit1.SdRead(1500, 1));
  EXPECT_GT(device->SdBytesStored(0), 0u);
  EXPECT_EQ(device->SdBytesStored(1), 0u);
}

TEST(SimBus, ScheduledPlugAndUnplug) {
  SimConfig config = TwoDevices();
  config.devices[1].plugAtMs = 80;
  config.devices[1].unplugAtMs = 200;
  const auto start = Clock::now();
  Bus bus(config);
  Events events;
  bus.SetListener(events.Listener());
  EXPECT_FALSE(bus.Find('F', nullptr));
  EXPECT_TRUE(bus.Owner('F', nullptr));

  ASSERT_TRUE(events.WaitFor(1));
  EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(80));
  EXPECT_EQ(events.Heard()[0], std::make_pair(true, Bit('F')));
  EXPECT_TRUE(bus.Find('F', nullptr) || events.Heard().size() > 1);

  ASSERT_TRUE(events.WaitFor(2));
  EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(200));
  EXPECT_EQ(events.Heard()[1], std::make_pair(false, Bit('F')));
  EXPECT_FALSE(bus.Find('F', nullptr));
}

TEST(SimBus, EndingTheBusStopsAPendingScheduleAtOnce) {
  SimConfig config = TwoDevices();
  config.devices[0].plugAtMs = 600'000;
  std::shared_ptr<VirtualDevice> survivor;
  const auto start = Clock::now();
  {
    Bus bus(config);
    survivor = bus.Owner('F', nullptr);
    bus.SetListener([](bool, uint32_t) { FAIL() << "the listener outlived its bus"; });
  }
  EXPECT_LT(Clock::now() - start, std::chrono::seconds(1));
  // An open handle may keep a device after its bus is gone.
  survivor->AddFault(FaultSpec{FaultTarget::Open, 0, FaultAction::Unplug, 1});
  EXPECT_FALSE(survivor->Open(0));
  EXPECT_FALSE(survivor->Plugged());
}

}  // namespace
