// The USB storage instance id behind a disk, read from a fake sysfs.
#include <gtest/gtest.h>

#include "drives/usb_disks.h"
#include "location/fake_sysfs.h"
#include "location/sysfs_location.h"

namespace qmr::location {
namespace {

using Disk = ardentix::test::FakeSysfs::Disk;

TEST(SysfsParentString, SerialOrPortThenTheUnitDigit) {
  struct Case {
    const char* name;
    Disk disk;
    std::string want;
  } cases[] = {
      {"serial, unit 0", Disk("sdb").Port("1-1.2").Serial("000000012345"), "000000012345&0"},
      {"serial, unit 1", Disk("sdb").Port("1-1.2").Lun(1).Serial("000000012345"), "000000012345&1"},
      {"no serial: the port path", Disk("sdb").Port("1-1.2"), "1-1.2&0"},
      {"serial with a blank: the port path", Disk("sdb").Port("2-3").Serial("12 34"), "2-3&0"},
      {"33-character serial fits 35", Disk("sdb").Serial(std::string(33, '7')), std::string(33, '7') + "&0"},
      // A longer serial would not leave room for "&<unit>": the port names the device.
      {"34-character serial: the port path", Disk("sdb").Port("1-1.2").Serial(std::string(34, '7')), "1-1.2&0"},
      {"long serial, unit 1: the port path", Disk("sdb").Port("3-2").Lun(1).Serial(std::string(60, 'A')), "3-2&1"},
      {"unit 10 has no single digit", Disk("sdb").Lun(10).Serial("000000012345"), ""},
      {"not on USB", Disk("sdb").Port(""), ""},
      {"disk under a flat /sys/block folder", Disk("sdb").Port("1-4").Lun(1).Serial("ABC").Flat(), "ABC&1"},
      {"the nearest USB device, not its hub", Disk("sdb").Port("1-1.4.2"), "1-1.4.2&0"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ardentix::test::FakeSysfs sys;
    sys.Add(c.disk);
    EXPECT_EQ(SysfsParentString(sys.root(), "/dev/sdb"), c.want);
    EXPECT_EQ(SysfsParentString(sys.root(), "sdb"), c.want);
  }
}

TEST(SysfsParentString, UnknownDisk) {
  ardentix::test::FakeSysfs sys;
  EXPECT_EQ(SysfsParentString(sys.root(), "/dev/sdz"), "");
  EXPECT_EQ(SysfsParentString(sys.root(), ""), "");
  EXPECT_EQ(SysfsParentString(sys.root() + "/nowhere", "/dev/sdb"), "");
}

TEST(SysfsParentString, BothUnitsShareTheIdUpToTheDigit) {
  ardentix::test::FakeSysfs sys;
  sys.Add(Disk("sdb").Port("1-2").Lun(0));
  sys.Add(Disk("sdc").Port("1-2").Lun(1).Dev("8:32"));
  EXPECT_EQ(SysfsParentString(sys.root(), "sdb"), "1-2&0");
  EXPECT_EQ(SysfsParentString(sys.root(), "sdc"), "1-2&1");
}

}  // namespace
}  // namespace qmr::location
