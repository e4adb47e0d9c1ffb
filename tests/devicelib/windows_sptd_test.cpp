// The pass-through-direct record, built on this host with the Windows layout rules.
#include <gtest/gtest.h>

#include <cstring>

#include "drivemap.h"
#include "platform/windows_sptd.h"

namespace qmr::windows_sptd {
namespace {

TEST(PassThroughRecord, LayoutFollowsThePointerSize) {
  // 32-bit builds: 44-byte header, sense at 48. 64-bit: the pointer widens the header.
  if (sizeof(void*) == 4) {
    EXPECT_EQ(sizeof(SCSI_PASS_THROUGH_DIRECT), 44u);
    EXPECT_EQ(offsetof(PassThroughRecord, sense), 48u);
  } else {
    EXPECT_EQ(sizeof(SCSI_PASS_THROUGH_DIRECT), 56u);
    EXPECT_EQ(offsetof(PassThroughRecord, sense), 60u);
  }
}

TEST(PassThroughRecord, FilledFromTheRequest) {
  uint8_t data[36];
  struct Case {
    DataDirection direction;
    uint8_t* buffer;
    uint32_t length;
    int dataIn;
  } cases[] = {
      {DataDirection::In, data, 36, 1},
      {DataDirection::Out, data, 36, 0},
      {DataDirection::None, nullptr, 0, 1},
  };
  for (const auto& c : cases) {
    ScsiRequest r;
    r.cdb[0] = 0x12;
    r.cdb[8] = 0x01;
    r.direction = c.direction;
    r.buffer = c.buffer;
    r.length = c.length;
    PassThroughRecord rec;
    std::memset(&rec, 0xCC, sizeof rec);
    FillPassThroughRecord(r, rec);
    const auto& h = rec.header;
    EXPECT_EQ(h.Length, sizeof(SCSI_PASS_THROUGH_DIRECT));
    EXPECT_EQ(h.ScsiStatus, 0);
    EXPECT_EQ(h.PathId, 0);
    EXPECT_EQ(h.TargetId, 1);
    EXPECT_EQ(h.Lun, 0);
    EXPECT_EQ(h.CdbLength, 16);
    EXPECT_EQ(h.SenseInfoLength, 24);
    EXPECT_EQ(h.DataIn, c.dataIn);
    EXPECT_EQ(h.DataTransferLength, c.length);
    EXPECT_EQ(h.TimeOutValue, 4000u);
    EXPECT_EQ(h.DataBuffer, c.buffer);
    EXPECT_EQ(h.SenseInfoOffset, offsetof(PassThroughRecord, sense));
    EXPECT_EQ(h.Cdb[0], 0x12);
    EXPECT_EQ(h.Cdb[8], 0x01);
    EXPECT_EQ(rec.filler, 0u);
    for (UCHAR s : rec.sense) EXPECT_EQ(s, 0);
  }
}

TEST(PassThroughVerdict, NeedsCallBytesAndGoodStatus) {
  PassThroughRecord rec{};
  EXPECT_TRUE(JudgePassThrough(true, 80, rec));
  EXPECT_FALSE(JudgePassThrough(false, 80, rec));
  EXPECT_FALSE(JudgePassThrough(true, 0, rec));
  rec.header.ScsiStatus = 0x02;
  EXPECT_FALSE(JudgePassThrough(true, 80, rec));
}

TEST(VolumePath, LetterIsUsedUnchanged) {
  EXPECT_EQ(VolumePath('E'), "\\\\.\\E:");
  EXPECT_EQ(VolumePath('e'), "\\\\.\\e:");
}

TEST(DriveList, ParsesLetterAssignments) {
  const auto map = ParseDriveList("E=/dev/sdb, f=/dev/sdc,bogus,1=/dev/sdd,G=");
  EXPECT_EQ(map.size(), 2u);
  EXPECT_EQ(map.at('E'), "/dev/sdb");
  EXPECT_EQ(map.at('F'), "/dev/sdc");
}

}  // namespace
}  // namespace qmr::windows_sptd
