// Injected faults: which command each one watches, when it fires, what it does.
#include <gtest/gtest.h>

#include <bit>
#include <cstring>
#include <thread>

#include "sim/sim.h"
#include "sim_driver.h"

namespace {

using namespace qmr::sim;
using namespace simtest;

constexpr FaultTarget kAllTargets[] = {
    FaultTarget::Open,        FaultTarget::Identify,  FaultTarget::Inquiry,    FaultTarget::FlashId,
    FaultTarget::FlashStatus, FaultTarget::FlashRead, FaultTarget::FlashWrite, FaultTarget::SectorErase,
    FaultTarget::ChipErase,   FaultTarget::SdRead,    FaultTarget::SdWrite,    FaultTarget::ReadCapacity,
    FaultTarget::Lock,        FaultTarget::Location,
};

DeviceConfig Small() {
  DeviceConfig c = DefaultDevice(0);
  c.flashSizeKB = 64;
  c.sdSectors = 4096;
  c.eraseBusyPolls = 0;  // erases end at once: these commands follow each other without status polls
  return c;
}

FaultSpec Fault(FaultTarget on, int after, FaultAction action, int count = 1) {
  FaultSpec f;
  f.on = on;
  f.after = after;
  f.action = action;
  f.count = count;
  return f;
}

const Cdb kInquiry = MakeCdb({0x12, 0, 0, 0, 0, 0, 0, 0, 0x01});
const Cdb kReadCapacity = MakeCdb({0x25, 0, 0, 0, 0, 0, 0, 0, 0x01});

// One operation of the kind a fault target watches; true when it succeeds.
bool RunOnce(VirtualDevice& d, FaultTarget t) {
  Driver x(d);
  switch (t) {
    case FaultTarget::Open: return d.Open(0);
    case FaultTarget::Identify: return x.Ask(MakeCdb({0xF6, 0x00}), 2).has_value();
    case FaultTarget::Inquiry: return x.Ask(kInquiry, 36).has_value();
    case FaultTarget::FlashId: return x.Ask(MakeCdb({0xF6, 0x09, 0x01}), 4).has_value();
    case FaultTarget::FlashStatus: return x.Busy().has_value();
    case FaultTarget::FlashRead: return x.FlashRead(0, 1).has_value();
    case FaultTarget::FlashWrite: return x.FlashWrite(8192, Filled(512, 0xF0));
    case FaultTarget::SectorErase: return x.SectorErase(100, 1);
    case FaultTarget::ChipErase: return x.ChipErase();
    case FaultTarget::SdRead: return x.SdRead(3, 1).has_value();
    case FaultTarget::SdWrite: return x.SdWrite(3, Filled(512, 0x33));
    case FaultTarget::ReadCapacity: return x.Ask(kReadCapacity, 8).has_value();
    case FaultTarget::Lock: return d.Lock(0);
    case FaultTarget::Location: return d.AnswerLocation(0);
  }
  return false;
}

TEST(SimFaults, EachFailFaultHitsOnlyItsOwnCommand) {
  for (FaultTarget t : kAllTargets) {
    SCOPED_TRACE(testing::Message() << "target " << int(t));
    VirtualDevice d(Small());
    d.AddFault(Fault(t, 1, FaultAction::Fail));
    for (int round = 0; round < 3; ++round)
      for (FaultTarget other : kAllTargets)
        EXPECT_EQ(RunOnce(d, other), !(round == 1 && other == t)) << "round " << round << ", command " << int(other);
  }
}

TEST(SimFaults, AfterAndCountDecideWhichOperationsFail) {
  struct Case {
    std::vector<FaultSpec> faults;
    int before;           // operations done before the faults are added
    const char* pattern;  // o = succeeds, x = fails
  };
  const auto read = FaultTarget::FlashRead;
  const auto fail = FaultAction::Fail;
  const Case cases[] = {
      {{Fault(read, 0, fail)}, 0, "xooooo"},
      {{Fault(read, 2, fail)}, 0, "ooxooo"},
      {{Fault(read, 1, fail, 2)}, 0, "oxxooo"},
      {{Fault(read, 1, fail, -1)}, 0, "oxxxxx"},
      {{Fault(read, 0, fail, 0)}, 0, "oooooo"},
      {{Fault(read, 1, fail), Fault(read, 3, fail)}, 0, "oxoxoo"},
      {{Fault(read, 0, fail, 2), Fault(read, 1, fail, 2)}, 0, "xxxooo"},
      {{Fault(read, 1, fail)}, 4, "oxoooo"},  // counting starts when the fault is added
      {{Fault(FaultTarget::FlashWrite, 0, fail, -1)}, 0, "oooooo"},
  };
  for (const Case& tc : cases) {
    SCOPED_TRACE(tc.pattern);
    VirtualDevice d(Small());
    for (int i = 0; i < tc.before; ++i) ASSERT_TRUE(RunOnce(d, read));
    for (const FaultSpec& f : tc.faults) d.AddFault(f);
    std::string got;
    for (size_t i = 0; i < std::strlen(tc.pattern); ++i) got += RunOnce(d, read) ? 'o' : 'x';
    EXPECT_EQ(got, tc.pattern);
  }
}

TEST(SimFaults, CardFaultsCoverStandardAndVendorPaths) {
  VirtualDevice d(Small());
  Driver x(d);
  d.AddFault(Fault(FaultTarget::SdRead, 1, FaultAction::Fail));
  d.AddFault(Fault(FaultTarget::SdWrite, 1, FaultAction::Fail));
  EXPECT_TRUE(x.SdRead(0, 1, /*vendor=*/false));
  EXPECT_FALSE(x.SdRead(0, 1, /*vendor=*/true));
  EXPECT_TRUE(x.SdWrite(0, Filled(512, 1), /*vendor=*/true));
  EXPECT_FALSE(x.SdWrite(0, Filled(512, 1), /*vendor=*/false));
  // Commands that fail on their own do not use up a fault's turns.
  d.AddFault(Fault(FaultTarget::SdRead, 1, FaultAction::Fail));
  EXPECT_FALSE(x.SdRead(4096, 1));
  EXPECT_TRUE(x.SdRead(0, 1));
  EXPECT_FALSE(x.SdRead(0, 1));
}

// What an operation lets the caller see: a read's answer, or what a write or
// erase left in the device.
Bytes Observe(VirtualDevice& d, FaultTarget t) {
  Driver x(d);
  auto ask = [&](const Cdb& c, size_t n) {
    auto a = x.Ask(c, n);
    EXPECT_TRUE(a);
    return a.value_or(Bytes{});
  };
  auto flash = [&](uint64_t at, size_t n) {
    Bytes b(n);
    EXPECT_TRUE(d.PeekFlash(at, b.data(), n));
    return b;
  };
  switch (t) {
    case FaultTarget::Identify: return ask(MakeCdb({0xF6, 0x00}), 2);
    case FaultTarget::Inquiry: return ask(kInquiry, 36);
    case FaultTarget::FlashId: return ask(MakeCdb({0xF6, 0x09, 0x01}), 4);
    case FaultTarget::FlashStatus: return ask(MakeCdb({0xF6, 0x01}), 2);
    case FaultTarget::ReadCapacity: return ask(kReadCapacity, 8);
    case FaultTarget::FlashRead: return ask(FlashReadCdb(0, 1), 512);
    case FaultTarget::SdRead: return ask(SdCdb(false, false, 7, 1), 512);
    case FaultTarget::FlashWrite:
      EXPECT_TRUE(x.FlashWrite(4096, Pattern(1024, 5)));
      return flash(4096, 1024);
    case FaultTarget::SdWrite: {
      EXPECT_TRUE(x.SdWrite(9, Pattern(1024, 6), /*vendor=*/true));
      Bytes b(1024);
      EXPECT_TRUE(d.PeekSd(0, 9 * 512, b.data(), b.size()));
      return b;
    }
    case FaultTarget::SectorErase: {
      const Bytes zeros = Filled(2048, 0);
      EXPECT_TRUE(d.PokeFlash(0, zeros.data(), zeros.size()));
      EXPECT_TRUE(x.SectorErase(2, 4));
      return flash(0, 2048);
    }
    case FaultTarget::ChipErase:
      EXPECT_TRUE(x.ChipErase());
      return flash(0, 64 * 1024);
    default:
      ADD_FAILURE() << "no data to observe";
      return {};
  }
}

int BitsApart(const Bytes& a, const Bytes& b) {
  if (a.size() != b.size()) return -1;
  int n = 0;
  for (size_t i = 0; i < a.size(); ++i) n += std::popcount(unsigned(a[i] ^ b[i]));
  return n;
}

TEST(SimFaults, CorruptFlipsExactlyOneBitOnce) {
  const FaultTarget reads[] = {FaultTarget::Identify, FaultTarget::Inquiry,  FaultTarget::FlashId,
                               FaultTarget::FlashStatus, FaultTarget::ReadCapacity, FaultTarget::FlashRead,
                               FaultTarget::SdRead};
  const FaultTarget stores[] = {FaultTarget::FlashWrite, FaultTarget::SdWrite, FaultTarget::SectorErase,
                                FaultTarget::ChipErase};
  auto prepare = [](VirtualDevice& d) { EXPECT_TRUE(Driver(d).SdWrite(7, Pattern(512, 4))); };
  for (bool stored : {false, true}) {
    for (FaultTarget t : stored ? std::vector<FaultTarget>(std::begin(stores), std::end(stores))
                                : std::vector<FaultTarget>(std::begin(reads), std::end(reads))) {
      SCOPED_TRACE(testing::Message() << "target " << int(t));
      VirtualDevice clean(Small()), faulty(Small());
      prepare(clean);
      prepare(faulty);
      faulty.AddFault(Fault(t, 1, FaultAction::Corrupt));
      const Bytes want = Observe(clean, t);
      EXPECT_EQ(Observe(faulty, t), want) << "before its turn";
      EXPECT_EQ(BitsApart(Observe(faulty, t), want), 1);
      // A read's corruption is in the answer only: the stored data is intact.
      if (!stored) {
        EXPECT_EQ(Observe(faulty, t), want) << "after its turn";
      }
    }
  }
}

TEST(SimFaults, BusyStaysThroughResetAndReplug) {
  struct Case {
    FaultTarget on;
    int after;
  };
  for (const Case tc : {Case{FaultTarget::FlashStatus, 0}, Case{FaultTarget::FlashStatus, 2},
                        Case{FaultTarget::FlashWrite, 0}, Case{FaultTarget::SectorErase, 0}}) {
    SCOPED_TRACE(testing::Message() << "target " << int(tc.on) << " after " << tc.after);
    VirtualDevice d(Small());
    Driver x(d);
    d.AddFault(Fault(tc.on, tc.after, FaultAction::Busy));
    // The command the fault rides on still succeeds.
    for (int i = 0; i < tc.after + 1; ++i) EXPECT_TRUE(RunOnce(d, tc.on));
    for (int i = 0; i < 20; ++i) EXPECT_EQ(x.Busy(), true);
    EXPECT_TRUE(x.Reset());
    EXPECT_EQ(x.Busy(), true);
    d.SetPlugged(false);
    d.SetPlugged(true);
    EXPECT_EQ(x.Busy(), true);
  }
}

TEST(SimFaults, UnplugVanishesUntilPluggedAgain) {
  struct Case {
    FaultTarget on;
    int after, count;
  };
  for (const Case tc : {Case{FaultTarget::SdWrite, 1, 1}, Case{FaultTarget::Open, 0, 1}, Case{FaultTarget::Lock, 0, -1},
                        Case{FaultTarget::FlashStatus, 2, -1}}) {
    SCOPED_TRACE(testing::Message() << "target " << int(tc.on));
    SimConfig config;
    config.devices.push_back(Small());
    config.devices[0].luns = 2;  // E and F
    config.devices[0].faults = {Fault(tc.on, tc.after, FaultAction::Unplug, tc.count)};
    Bus bus(config);
    std::vector<std::pair<bool, uint32_t>> heard;
    // The listener may look at the bus: it runs outside the device's lock.
    bus.SetListener([&](bool arrived, uint32_t mask) {
      EXPECT_EQ(bus.DriveMask(), arrived ? mask : 0u);
      heard.emplace_back(arrived, mask);
    });
    const uint32_t ef = (1u << 4) | (1u << 5);
    auto device = bus.Find('F', nullptr);
    ASSERT_TRUE(device);

    for (int i = 0; i < tc.after; ++i) ASSERT_TRUE(RunOnce(*device, tc.on));
    EXPECT_FALSE(RunOnce(*device, tc.on));
    ASSERT_EQ(heard, (std::vector<std::pair<bool, uint32_t>>{{false, ef}}));
    EXPECT_FALSE(bus.Find('E', nullptr));
    EXPECT_EQ(bus.DriveMask(), 0u);
    EXPECT_FALSE(device->Open(0));
    EXPECT_FALSE(Driver(*device).None(MakeCdb({0x00})));

    ASSERT_TRUE(bus.Plug('E'));
    EXPECT_EQ(heard.back(), std::make_pair(true, ef));
    EXPECT_EQ(bus.DriveMask(), ef);
    // A one-shot fault is spent; a lasting one pulls the device again.
    EXPECT_EQ(RunOnce(*device, tc.on), tc.count == 1);
    EXPECT_EQ(device->Plugged(), tc.count == 1);
  }
}

}  // namespace

namespace qmr_stall {
using namespace qmr::sim;
using namespace simtest;

// A stalled device answers nothing: a command ends when its timeout runs out,
// when the stall ends (the command is lost) or when the device is pulled out.
TEST(SimFaults, StallHoldsAnswersUntilTimeoutEndOrUnplug) {
  struct Case {
    const char* name;
    int64_t ms;             // the stall's length, -1 until unplugged
    uint32_t timeoutMs;     // the commands' timeout, 0 none
    bool unplugMidway;      // pulled out while the first command waits
    CommandResult first;    // the command that meets the stall
    CommandResult second;   // the next one, before any replug
  };
  const Case cases[] = {
      {"until unplugged, timed out", -1, 2, false, CommandResult::TimedOut, CommandResult::TimedOut},
      {"until unplugged, pulled out", -1, 0, true, CommandResult::Gone, CommandResult::Gone},
      {"a stall of no length loses one command", 0, 0, false, CommandResult::Failed, CommandResult::Good},
      {"a short stall ends before the timeout", 5, 60000, false, CommandResult::Failed, CommandResult::Good},
  };
  for (const Case& tc : cases) {
    SCOPED_TRACE(tc.name);
    DeviceConfig c = Small();
    FaultSpec f = Fault(FaultTarget::SdWrite, 1, FaultAction::Stall);
    f.ms = tc.ms;
    c.faults.push_back(f);
    VirtualDevice d(c);
    Bytes data = Filled(512, 0x5A);
    const Cdb write = SdCdb(false, true, 3, 1);
    ASSERT_EQ(d.Run(0, write.data(), Direction::Out, data.data(), 512, tc.timeoutMs), CommandResult::Good);

    CommandResult first = CommandResult::Good;
    std::thread sender([&] { first = d.Run(0, write.data(), Direction::Out, data.data(), 512, tc.timeoutMs); });
    if (tc.unplugMidway) {
      while (!d.Stalled()) std::this_thread::yield();  // the fault has fired: the command waits
      d.SetPlugged(false);
    }
    sender.join();
    EXPECT_EQ(first, tc.first);
    const Cdb status = MakeCdb({0xF6, 0x01});
    Bytes answer(2);
    EXPECT_EQ(d.Run(0, status.data(), Direction::In, answer.data(), 2, tc.timeoutMs), tc.second);

    // Plugged in again, the controller starts afresh.
    d.SetPlugged(false);
    d.SetPlugged(true);
    EXPECT_FALSE(d.Stalled());
    EXPECT_EQ(d.Run(0, status.data(), Direction::In, answer.data(), 2, tc.timeoutMs), CommandResult::Good);
  }
}

}  // namespace qmr_stall
