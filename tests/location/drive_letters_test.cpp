// Drive letters for USB disks: port order at the first scan, letters that
// stay with their device, the environment override, and the change record
// the host's watcher reads.
#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "drives/drive_letters.h"
#include "drives/usb_disks.h"
#include "location/fake_sysfs.h"

namespace qmr::drives {
namespace {

using Disk = ardentix::test::FakeSysfs::Disk;
constexpr auto kNoOverride = std::nullopt;

uint32_t Bit(char letter) { return 1u << (letter - 'A'); }

std::string Letters(uint32_t mask) {
  std::string s;
  for (char c = 'A'; c <= 'Z'; ++c)
    if (mask & Bit(c)) s += c;
  return s;
}

TEST(PortPath, NumericPerComponent) {
  struct Case {
    const char* a;
    const char* b;
    bool less;
  } cases[] = {
      {"1-1.2", "1-1.10", true},  {"1-1.10", "1-1.2", false}, {"1-9", "2-1", true},
      {"1-1", "1-1.1", true},     {"10-1", "9-1", false},     {"1-1.2", "1-1.2", false},
      {"1-1.2", "usbX", true},  // anything that is no port path sorts last
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.a) + " < " + c.b);
    EXPECT_EQ(PortPathLess(c.a, c.b), c.less);
  }
}

TEST(ScanUsbDisks, OnlyRemovableUsbSdDisks) {
  ardentix::test::FakeSysfs sys;
  sys.Add(Disk("sda").Port(""));             // SATA
  sys.Add(Disk("sdb").Port("1-2").Fixed());  // a USB hard disk
  sys.Add(Disk("sdc").Port("1-3"));
  const auto disks = ScanUsbDisks(sys.root());
  ASSERT_EQ(disks.size(), 1u);
  EXPECT_EQ(disks[0].name, "sdc");
  EXPECT_EQ(disks[0].portPath, "1-3");
}

TEST(DriveLetters, FirstScanFollowsThePortOrder) {
  ardentix::test::FakeSysfs sys;
  // Kernel names follow enumeration order, which is not the port order.
  sys.Add(Disk("sdb").Port("1-1.10").Host(6));
  sys.Add(Disk("sdc").Port("2-1").Host(7));
  sys.Add(Disk("sdd").Port("1-1.2").Host(8).Lun(1));
  sys.Add(Disk("sde").Port("1-1.9").Host(9));
  sys.Add(Disk("sdf").Port("1-1.2").Host(8).Lun(0));
  DriveLetters letters(sys.root());
  letters.Refresh(kNoOverride);
  EXPECT_EQ(Letters(letters.Mask()), "CDEFG");
  EXPECT_EQ(letters.Node('C'), "/dev/sdf");  // 1-1.2 unit 0
  EXPECT_EQ(letters.Node('D'), "/dev/sdd");  // 1-1.2 unit 1
  EXPECT_EQ(letters.Node('E'), "/dev/sde");  // 1-1.9
  EXPECT_EQ(letters.Node('F'), "/dev/sdb");  // 1-1.10
  EXPECT_EQ(letters.Node('G'), "/dev/sdc");  // 2-1
  EXPECT_EQ(letters.Node('H'), "");
  EXPECT_EQ(letters.Node('?'), "");
}

TEST(DriveLetters, LettersStayWithTheirDevices) {
  ardentix::test::FakeSysfs sys;
  const Disk port2 = Disk("sdb").Port("1-1.2").Host(6);
  const Disk port9 = Disk("sdc").Port("1-1.9").Host(7);
  const Disk port10 = Disk("sdd").Port("1-1.10").Host(8);
  sys.Add(port2);
  sys.Add(port9);
  sys.Add(port10);
  DriveLetters letters(sys.root());
  letters.Refresh(kNoOverride);
  ASSERT_EQ(Letters(letters.Mask()), "CDE");

  // Pulling C and D leaves E where it is.
  sys.Remove(port2);
  sys.Remove(port9);
  letters.Refresh(kNoOverride);
  EXPECT_EQ(Letters(letters.Mask()), "E");
  EXPECT_EQ(letters.Node('E'), "/dev/sdd");

  // A device back on its port gets its former letter even when a lower one is free...
  sys.Add(Disk("sdf").Port("1-1.9").Host(9));
  letters.Refresh(kNoOverride);
  EXPECT_EQ(letters.Node('D'), "/dev/sdf");
  // ...and a device on a new port a letter no port has held, not C, which
  // waits for its own device: given to the newcomer while the station has
  // not yet seen C's device leave, C would pass for that device.
  sys.Add(Disk("sdg").Port("1-1.5").Host(10));
  letters.Refresh(kNoOverride);
  EXPECT_EQ(letters.Node('F'), "/dev/sdg");
  EXPECT_EQ(letters.Node('C'), "");
  sys.Add(Disk("sdh").Port("1-1.2").Host(11));
  letters.Refresh(kNoOverride);
  EXPECT_EQ(letters.Node('C'), "/dev/sdh");
  EXPECT_EQ(Letters(letters.Mask()), "CDEF");
}

TEST(DriveLetters, ChangesAreKeptUntilTaken) {
  ardentix::test::FakeSysfs sys;
  const Disk first = Disk("sdb").Port("1-2").Host(6);
  sys.Add(first);
  sys.Add(Disk("sdc").Port("1-3").Host(7));
  DriveLetters letters(sys.root());
  letters.Refresh(kNoOverride);
  uint32_t arrived = 0, removed = 0;
  letters.TakeChanges(arrived, removed);
  EXPECT_EQ(Letters(arrived), "CD");
  EXPECT_EQ(removed, 0u);

  letters.Refresh(kNoOverride);
  letters.TakeChanges(arrived, removed);
  EXPECT_EQ(arrived | removed, 0u) << "nothing changed";

  // Between two takes, C's device is swapped for another on its port: C is in both.
  sys.Remove(first);
  letters.Refresh(kNoOverride);
  sys.Add(Disk("sdd").Port("1-2").Host(8));
  letters.Refresh(kNoOverride);
  letters.TakeChanges(arrived, removed);
  EXPECT_EQ(Letters(arrived), "C");
  EXPECT_EQ(Letters(removed), "C");
  EXPECT_EQ(letters.Node('C'), "/dev/sdd");
}

TEST(DriveLetters, OverrideAloneDecides) {
  ardentix::test::FakeSysfs sys;
  sys.Add(Disk("sdb").Port("1-2"));
  DriveLetters letters(sys.root());
  letters.Refresh(kNoOverride);
  uint32_t arrived = 0, removed = 0;
  letters.TakeChanges(arrived, removed);

  letters.Refresh(std::string("E=/dev/sdx, f=/dev/sdy"));
  EXPECT_EQ(Letters(letters.Mask()), "EF");
  EXPECT_EQ(letters.Node('E'), "/dev/sdx");
  EXPECT_EQ(letters.Node('C'), "");
  letters.TakeChanges(arrived, removed);
  EXPECT_EQ(Letters(arrived), "EF");
  EXPECT_EQ(Letters(removed), "C");

  letters.Refresh(std::string(""));
  EXPECT_EQ(letters.Mask(), 0u) << "set but empty: no drives";

  letters.Refresh(kNoOverride);
  EXPECT_EQ(letters.Node('C'), "/dev/sdb") << "the USB lettering was kept meanwhile";
}

TEST(DriveLetters, LettersRunOutAtZ) {
  ardentix::test::FakeSysfs sys;
  std::vector<Disk> disks;
  for (int i = 0; i < 25; ++i)
    disks.push_back(Disk("sdb" + std::string(1, char('a' + i))).Port("1-" + std::to_string(i + 1)).Host(10 + i));
  for (const auto& d : disks) sys.Add(d);
  DriveLetters letters(sys.root());
  letters.Refresh(kNoOverride);
  EXPECT_EQ(Letters(letters.Mask()), "CDEFGHIJKLMNOPQRSTUVWXYZ");
  EXPECT_EQ(letters.Node('Z'), "/dev/" + disks[23].name);

  sys.Remove(disks[0]);
  letters.Refresh(kNoOverride);
  EXPECT_EQ(letters.Node('C'), "/dev/" + disks[24].name) << "the waiting disk gets the freed letter";
}

}  // namespace
}  // namespace qmr::drives
