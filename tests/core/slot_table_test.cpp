#include "core/slot_table.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

namespace ardentix {
namespace {

DeviceListEntry Entry(char letter, int32_t lun = 0, int32_t clock = kDefaultSpiClockMHz) {
  DeviceListEntry e;
  e.driveLetter = letter;
  e.lun = lun;
  e.spiClockMHz = clock;
  return e;
}

std::string ListedLetters(const DeviceSlotTable& t) {
  std::string s;
  for (int i = 0; i < t.GetDeviceCount(); ++i) s += t.GetListedLetter(i);
  return s;
}

// The slot state a freshly freed or freshly accepted slot must show.
void ExpectCleanSlot(const DeviceSlotTable& t, char letter, DeviceStatus status) {
  SCOPED_TRACE(std::string("slot ") + letter);
  EXPECT_EQ(t.GetDeviceStatus(letter), status);
  EXPECT_EQ(t.GetDeviceStage(letter), 0);
  EXPECT_EQ(t.GetDeviceResult(letter), 0);
  EXPECT_EQ(t.GetDeviceOutcome(letter), BurnOutcome::None);
  EXPECT_EQ(t.GetDeviceProgress(letter), -1);
}

// A burn that left every slot field set, as a worker does.
void Dirty(DeviceSlotTable& t, char letter) {
  t.SetDeviceStatus(letter, DeviceStatus::AwaitingRemoval);
  t.SetDeviceStage(letter, 6012);
  t.SetDeviceResult(letter, 4003);
  t.SetDeviceOutcome(letter, BurnOutcome::Failed);
  t.SetDeviceProgress(letter, 40);
}

TEST(DeviceSlotTable, StartsEmpty) {
  const DeviceSlotTable t;
  EXPECT_EQ(t.GetDeviceCount(), 0);
  EXPECT_EQ(t.GetListedLetter(0), 0);
  EXPECT_FALSE(t.GetDeviceEntry(0).has_value());
  for (char letter = 'A'; letter <= 'Z'; ++letter) {
    ExpectCleanSlot(t, letter, DeviceStatus::Free);
    EXPECT_EQ(t.GetDeviceHandle(letter), InvalidDeviceHandle());
  }
}

TEST(DeviceSlotTable, FindDeviceSlotAcceptsOnlyUpperCaseLetters) {
  const struct {
    char letter;
    int slot;
  } cases[] = {{'A', 0}, {'C', 2}, {'Z', 25}, {'a', -1}, {'z', -1}, {'@', -1}, {'[', -1}, {'0', -1}, {0, -1}, {char(0xC1), -1}};
  for (const auto& c : cases) EXPECT_EQ(DeviceSlotTable::FindDeviceSlot(c.letter), c.slot) << int(c.letter);
}

// Characters outside 'A'..'Z', including the neighbours of the range, must
// neither be listed nor reach a slot.
TEST(DeviceSlotTable, BadLettersChangeNothing) {
  for (const char bad : {'a', 'z', '@', '[', '0', char(0), char(0xC1)}) {
    SCOPED_TRACE(int(bad));
    DeviceSlotTable t;
    ASSERT_EQ(t.AddToDeviceList(Entry('B')), 1);

    EXPECT_EQ(t.AddToDeviceList(Entry(bad)), 0);
    EXPECT_EQ(t.GetDeviceCount(), 1);
    EXPECT_EQ(t.FindInDeviceList(bad), -1);
    EXPECT_EQ(t.RemoveFromDeviceList(bad), 0);
    EXPECT_EQ(t.ReleaseDevice(bad), 0);
    EXPECT_EQ(t.SetDeviceSpiClock(bad, 80), 0);
    EXPECT_FALSE(t.FindDeviceEntry(bad).has_value());

    EXPECT_EQ(t.SetDeviceStatus(bad, DeviceStatus::Burning), 0);
    EXPECT_EQ(t.SetDeviceStage(bad, 5001), 0);
    EXPECT_EQ(t.SetDeviceResult(bad, 4004), 0);
    EXPECT_EQ(t.SetDeviceProgress(bad, 50), 0);
    EXPECT_EQ(t.SetDeviceOutcome(bad, BurnOutcome::Passed), 0);
    EXPECT_EQ(t.SetDeviceHandle(bad, nullptr), 0);

    EXPECT_EQ(t.GetDeviceStatus(bad), DeviceStatus::Free);
    EXPECT_EQ(t.GetDeviceStage(bad), 0);
    EXPECT_EQ(t.GetDeviceResult(bad), 0);
    EXPECT_EQ(t.GetDeviceProgress(bad), -1);
    EXPECT_EQ(t.GetDeviceOutcome(bad), BurnOutcome::None);
    EXPECT_EQ(t.GetDeviceHandle(bad), InvalidDeviceHandle());

    EXPECT_EQ(ListedLetters(t), "B");
    ExpectCleanSlot(t, 'A', DeviceStatus::Free);
    ExpectCleanSlot(t, 'B', DeviceStatus::Ready);
    ExpectCleanSlot(t, 'Z', DeviceStatus::Free);
  }
}

TEST(DeviceSlotTable, RemovingClosesTheGapAndRenumbers) {
  DeviceSlotTable t;
  EXPECT_EQ(t.AddToDeviceList(Entry('E', 0, 50)), 1);
  EXPECT_EQ(t.AddToDeviceList(Entry('F', 1, 60)), 1);
  EXPECT_EQ(t.AddToDeviceList(Entry('G', 2, 70)), 1);
  t.SetDeviceStage('F', 6009);
  t.SetDeviceResult('F', 4006);
  t.SetDeviceOutcome('F', BurnOutcome::Passed);
  t.SetDeviceProgress('F', 30);

  EXPECT_EQ(t.RemoveFromDeviceList('F'), 1);

  EXPECT_EQ(t.GetDeviceCount(), 2);
  EXPECT_EQ(ListedLetters(t), "EG");
  const auto g = t.GetDeviceEntry(1);
  ASSERT_TRUE(g.has_value());
  EXPECT_EQ(g->position, 1);
  EXPECT_EQ(g->driveLetter, 'G');
  EXPECT_EQ(g->lun, 2);
  EXPECT_EQ(g->spiClockMHz, 70);
  EXPECT_EQ(t.GetDeviceEntry(0)->position, 0);
  EXPECT_FALSE(t.GetDeviceEntry(2).has_value());
  EXPECT_FALSE(t.GetDeviceEntry(-1).has_value());
  EXPECT_EQ(t.GetListedLetter(2), 0);
  EXPECT_EQ(t.GetListedLetter(-1), 0);
  EXPECT_EQ(t.FindInDeviceList('F'), -1);
  EXPECT_EQ(t.FindInDeviceList('G'), 1);
  ExpectCleanSlot(t, 'F', DeviceStatus::Free);
  ExpectCleanSlot(t, 'G', DeviceStatus::Ready);
}

TEST(DeviceSlotTable, RemovingWhatIsNotListedChangesNothing) {
  DeviceSlotTable t;
  EXPECT_EQ(t.RemoveFromDeviceList('C'), 0);  // empty list
  t.AddToDeviceList(Entry('C', 0, 80));
  t.SetDeviceStage('D', 6003);  // a slot of an unlisted letter keeps its fields
  EXPECT_EQ(t.RemoveFromDeviceList('D'), 0);
  EXPECT_EQ(t.GetDeviceStage('D'), 6003);
  EXPECT_EQ(ListedLetters(t), "C");
  EXPECT_EQ(t.GetDeviceEntry(0)->spiClockMHz, 80);
  EXPECT_EQ(t.GetDeviceStatus('C'), DeviceStatus::Ready);
}

TEST(DeviceSlotTable, AddingAListedLetterMovesItToTheEnd) {
  DeviceSlotTable t;
  t.AddToDeviceList(Entry('C', 0, 48));
  t.AddToDeviceList(Entry('D'));
  t.AddToDeviceList(Entry('E'));
  t.SetDeviceStage('C', 6026);

  EXPECT_EQ(t.AddToDeviceList(Entry('C', 1, 80)), 0);

  EXPECT_EQ(t.GetDeviceCount(), 3);
  EXPECT_EQ(ListedLetters(t), "DEC");
  const auto c = t.GetDeviceEntry(2);
  EXPECT_EQ(c->position, 2);
  EXPECT_EQ(c->lun, 1);
  EXPECT_EQ(c->spiClockMHz, 80);
  ExpectCleanSlot(t, 'C', DeviceStatus::Ready);
}

TEST(DeviceSlotTable, AFullListRefusesEvenARelisting) {
  DeviceSlotTable t;
  for (int i = 0; i < kMaxListedDevices; ++i) ASSERT_EQ(t.AddToDeviceList(Entry(char('A' + i), i)), 1);
  const std::string full = ListedLetters(t);

  EXPECT_EQ(t.AddToDeviceList(Entry('Q')), 0);
  EXPECT_EQ(t.AddToDeviceList(Entry('A', 9, 99)), 0);

  EXPECT_EQ(t.GetDeviceCount(), kMaxListedDevices);
  EXPECT_EQ(ListedLetters(t), full);
  EXPECT_EQ(t.GetDeviceStatus('Q'), DeviceStatus::Free);
  EXPECT_EQ(t.GetDeviceEntry(0)->lun, 0);
  EXPECT_EQ(t.GetDeviceEntry(kMaxListedDevices - 1)->position, kMaxListedDevices - 1);
}

TEST(DeviceSlotTable, ReleaseDeviceOnlyFreesAwaitingRemoval) {
  const struct {
    DeviceStatus status;
    int result;
  } cases[] = {
      {DeviceStatus::Free, 0},
      {DeviceStatus::Ready, 0},
      {DeviceStatus::Burning, 0},
      {DeviceStatus::AwaitingRemoval, 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(int(c.status));
    DeviceSlotTable t;
    t.AddToDeviceList(Entry('C'));
    t.AddToDeviceList(Entry('D'));
    t.SetDeviceStage('C', 6019);
    t.SetDeviceResult('C', 6012);
    t.SetDeviceStatus('C', c.status);

    EXPECT_EQ(t.ReleaseDevice('C'), c.result);
    if (c.result == 1) {
      EXPECT_EQ(ListedLetters(t), "D");
      EXPECT_EQ(t.GetDeviceEntry(0)->position, 0);
      ExpectCleanSlot(t, 'C', DeviceStatus::Free);
    } else {
      EXPECT_EQ(ListedLetters(t), "CD");
      EXPECT_EQ(t.GetDeviceStatus('C'), c.status);
      EXPECT_EQ(t.GetDeviceResult('C'), 6012);
    }
  }
}

// A drive pulled during its burn: its entry is gone when the worker marks
// it AwaitingRemoval. Releasing it frees the slot though nothing is listed.
TEST(DeviceSlotTable, ReleaseDeviceFreesAnUnlistedSlot) {
  DeviceSlotTable t;
  t.AddToDeviceList(Entry('C'));
  t.RemoveFromDeviceList('C');
  Dirty(t, 'C');

  EXPECT_EQ(t.ReleaseDevice('C'), 0);
  ExpectCleanSlot(t, 'C', DeviceStatus::Free);
}

// A worker of a vanished device writes its last failure after the removal;
// a new device accepted under that letter must not show it as failed.
TEST(DeviceSlotTable, AnAcceptedDeviceStartsWithACleanSlot) {
  DeviceSlotTable t;
  void* const handle = reinterpret_cast<void*>(uintptr_t{0x1234});
  t.AddToDeviceList(Entry('C'));
  t.SetDeviceHandle('C', handle);
  t.RemoveFromDeviceList('C');
  Dirty(t, 'C');

  EXPECT_EQ(t.AddToDeviceList(Entry('C')), 1);

  ExpectCleanSlot(t, 'C', DeviceStatus::Ready);
  EXPECT_EQ(t.GetDeviceHandle('C'), handle);  // the handle is its worker's to close
}

TEST(DeviceSlotTable, AWorkerUpdatesItsOwnClockByLetter) {
  DeviceSlotTable t;
  t.AddToDeviceList(Entry('A'));
  t.AddToDeviceList(Entry('B'));
  t.AddToDeviceList(Entry('C', 3));

  EXPECT_EQ(t.SetDeviceSpiClock('C', 80), 1);
  EXPECT_EQ(t.SetDeviceSpiClock('D', 80), 0);
  t.RemoveFromDeviceList('A');

  const auto c = t.FindDeviceEntry('C');
  ASSERT_TRUE(c.has_value());
  EXPECT_EQ(c->position, 1);
  EXPECT_EQ(c->lun, 3);
  EXPECT_EQ(c->spiClockMHz, 80);
  EXPECT_EQ(t.GetDeviceEntry(0)->spiClockMHz, kDefaultSpiClockMHz);
  EXPECT_FALSE(t.FindDeviceEntry('A').has_value());
}

// Workers write their own clock and slot while the UI thread keeps adding
// and removing other drives: no write may land on a moved or foreign entry.
TEST(DeviceSlotTable, WorkersAndDriveScansDoNotDisturbEachOther) {
  DeviceSlotTable t;
  const std::string workers = "WXYZ";
  t.AddToDeviceList(Entry('A'));
  for (char w : workers) t.AddToDeviceList(Entry(w));

  std::atomic<bool> stop{false};
  std::atomic<int> foreign{0};
  std::thread scanner([&] {
    for (int round = 0; round < 3000; ++round) {
      t.RemoveFromDeviceList('A');  // shifts every worker's entry down
      t.AddToDeviceList(Entry('A'));
      t.AddToDeviceList(Entry(char('B' + round % 8)));
      t.RemoveFromDeviceList(char('B' + round % 8));
    }
    stop = true;
  });
  std::vector<std::thread> threads;
  for (char w : workers) {
    threads.emplace_back([&, w] {
      int32_t clock = 0;
      do {
        ++clock;
        t.SetDeviceSpiClock(w, clock);
        t.SetDeviceProgress(w, clock % 100);
        const auto e = t.FindDeviceEntry(w);
        if (!e || e->driveLetter != w || e->spiClockMHz != clock) ++foreign;
      } while (!stop);
      t.SetDeviceSpiClock(w, -clock);
    });
  }
  scanner.join();
  for (auto& th : threads) th.join();

  EXPECT_EQ(foreign, 0);
  EXPECT_EQ(t.GetDeviceCount(), 5);
  for (char w : workers) {
    const auto e = t.FindDeviceEntry(w);
    ASSERT_TRUE(e.has_value());
    EXPECT_LT(e->spiClockMHz, 0) << w;  // each worker's last write survived
  }
  EXPECT_EQ(t.FindDeviceEntry('A')->spiClockMHz, kDefaultSpiClockMHz);
}

}  // namespace
}  // namespace ardentix
