// What the SCSI target answers a host's disk driver: the standard commands a
// real USB disk answers, the family's own commands through the virtual
// device, and CHECK CONDITION with sense for everything else.
#include "fixture.h"

namespace qmr::sim::usb::test {
namespace {

struct Answer {
  uint8_t status;
  Bytes data;
};

class ScsiTargetTest : public ::testing::Test {
 protected:
  Answer In(const Bytes& cdb, uint32_t length, int lun = 0) {
    Bytes data(length, 0xEE);
    const ScsiResult r = device.target.Execute(lun, cdb.data(), cdb.size(), Direction::In, data.data(), length);
    data.resize(r.transferred);
    return {r.status, data};
  }
  Sense SenseAfter(const Bytes& cdb, uint32_t length = 0) {
    EXPECT_EQ(In(cdb, length).status, ScsiTarget::kCheckCondition);
    const Answer s = In(Cdb({0x03, 0, 0, 0, 18}, 6), 18);
    EXPECT_EQ(s.status, ScsiTarget::kGood);
    return s.data.size() == 18 ? Sense{s.data[2], s.data[12], s.data[13]} : Sense{0xFF, 0xFF, 0xFF};
  }
  EmulatedDevice device;
};

TEST_F(ScsiTargetTest, InquiryAsLinuxAndAsTheLibraryAskIt) {
  // Linux: a 6-byte CDB with an allocation length. The library: 16 bytes,
  // allocation length 0, a 36-byte transfer; the family answers into it.
  for (const Bytes& cdb : {Cdb({0x12, 0, 0, 0, 36, 0}, 6), Cdb({0x12, 0, 0, 0, 0, 0, 0, 0, 1})}) {
    const Answer a = In(cdb, 36);
    ASSERT_EQ(a.status, ScsiTarget::kGood);
    ASSERT_EQ(a.data.size(), 36u);
    EXPECT_EQ(a.data[0], 0x00);  // direct access
    EXPECT_EQ(a.data[1], 0x80);  // removable
    EXPECT_EQ(std::string(a.data.begin() + 8, a.data.begin() + 32), "Generic RQ4820 Disk     ");
  }
  EXPECT_EQ(In(Cdb({0x12, 0, 0, 0, 5}, 6), 5).data.size(), 5u) << "no more than the allocation length";
  EXPECT_EQ(In(Cdb({0x12, 0, 0, 0, 96}, 6), 96).data.size(), 36u) << "the standard data is 36 bytes";

  const Answer serial = In(Cdb({0x12, 1, 0x80, 0, 64}, 6), 64);
  ASSERT_EQ(serial.status, ScsiTarget::kGood);
  EXPECT_EQ(std::string(serial.data.begin() + 4, serial.data.end()), "202612000001");
  const Sense s = SenseAfter(Cdb({0x12, 1, 0x83, 0, 64}, 6), 64);
  EXPECT_EQ(s.key, 0x05);
  EXPECT_EQ(s.asc, 0x24) << "a page it does not have: invalid field";
}

TEST_F(ScsiTargetTest, WhatSdAsksAtAttach) {
  EXPECT_EQ(In(Cdb({0x00}, 6), 0).status, ScsiTarget::kGood);  // TEST UNIT READY
  const Answer cap = In(Cdb({0x25}, 10), 8);
  ASSERT_EQ(cap.data.size(), 8u);
  EXPECT_EQ(Bytes(cap.data.begin(), cap.data.begin() + 4), (Bytes{0x00, 0x0F, 0xFF, 0xFF}));  // 1048576 sectors
  EXPECT_EQ(Bytes(cap.data.begin() + 4, cap.data.end()), (Bytes{0x00, 0x00, 0x02, 0x00}));
  const Answer cap16 = In(Cdb({0x9E, 0x10, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 32}), 32);
  ASSERT_EQ(cap16.data.size(), 32u);
  EXPECT_EQ(cap16.data[5], 0x0F);
  EXPECT_EQ(cap16.data[7], 0xFF);

  const Answer all = In(Cdb({0x1A, 0, 0x3F, 0, 192, 0}, 6), 192);
  ASSERT_EQ(all.status, ScsiTarget::kGood);
  ASSERT_EQ(all.data.size(), 4u + 20 + 12);
  EXPECT_EQ(all.data[0], all.data.size() - 1);
  EXPECT_EQ(all.data[2] & 0x80, 0) << "not write protected";
  EXPECT_EQ(all.data[4], 0x08);
  EXPECT_EQ(all.data[24], 0x1C);
  const Answer caching10 = In(Cdb({0x5A, 0, 0x08, 0, 0, 0, 0, 0, 64, 0}, 10), 64);
  ASSERT_EQ(caching10.data.size(), 8u + 20);
  EXPECT_EQ(caching10.data[1], caching10.data.size() - 2);
  EXPECT_EQ(caching10.data[8], 0x08);
  EXPECT_EQ(caching10.data[10] & 0x04, 0) << "write cache off";

  for (const Bytes& cdb : {Cdb({0x1E, 0, 0, 0, 1, 0}, 6), Cdb({0x1B, 0, 0, 0, 1, 0}, 6), Cdb({0x35}, 10)})
    EXPECT_EQ(In(cdb, 0).status, ScsiTarget::kGood) << int(cdb[0]);
}

TEST_F(ScsiTargetTest, RefusalsCarrySense) {
  struct Case {
    const char* what;
    Bytes cdb;
    uint32_t length;
    Sense sense;
  } cases[] = {
      {"REPORT LUNS, not implemented", Cdb({0xA0}, 12), 16, sense::kInvalidOpcode},
      {"an unknown vendor sub-command", Cdb({0xF6, 0x77}), 0, sense::kInvalidOpcode},
      {"flash read with byte 2 not 06", Cdb({0xF6, 0x05, 0x07, 0, 0, 0, 0, 0, 1}), 512, sense::kInvalidField},
      {"flash id with a reserved byte set", Cdb({0xF6, 0x09, 0x01, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1}), 4,
       sense::kInvalidField},
      {"identify asking for 4 bytes", Cdb({0xF6}), 4, sense::kInvalidField},
      {"READ(10) past the card", Cdb({0x28, 0, 0x00, 0x10, 0x00, 0x00, 0, 0, 1, 0}, 10), 512, sense::kLbaOutOfRange},
      {"MODE SENSE of a page it has not", Cdb({0x1A, 0, 0x0A, 0, 64, 0}, 6), 64, sense::kInvalidField},
      {"MODE SENSE of saved values", Cdb({0x1A, 0, 0xFF, 0, 64, 0}, 6), 64, Sense{0x05, 0x39, 0x00}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const Sense s = SenseAfter(c.cdb, c.length);
    EXPECT_EQ(s.key, c.sense.key);
    EXPECT_EQ(s.asc, c.sense.asc);
    EXPECT_EQ(s.ascq, c.sense.ascq);
  }
  // REQUEST SENSE reads the sense once.
  EXPECT_EQ(In(Cdb({0x03, 0, 0, 0, 18}, 6), 18).data[2], 0x00);
}

TEST_F(ScsiTargetTest, FamilyCommandsAndFaultsReachTheModel) {
  const Answer id = In(Cdb({0xF6}), 2);
  ASSERT_EQ(id.status, ScsiTarget::kGood);
  EXPECT_EQ(id.data, (Bytes{1, 1}));
  const Answer flashId = In(Cdb({0xF6, 0x09, 0x01}), 4);
  EXPECT_EQ(flashId.data, (Bytes{0x00, 0xEF, 0x40, 0x18}));

  FaultSpec fault;
  fault.on = FaultTarget::SdRead;
  fault.action = FaultAction::Fail;
  device.model->AddFault(fault);
  const Sense s = SenseAfter(Cdb({0x28, 0, 0, 0, 0, 0, 0, 0, 1, 0}, 10), 512);
  EXPECT_EQ(s.key, 0x03);
  EXPECT_EQ(s.asc, 0x11) << "a failed card read is an unrecovered read error";
  EXPECT_EQ(In(Cdb({0x28, 0, 0, 0, 0, 0, 0, 0, 1, 0}, 10), 512).status, ScsiTarget::kGood) << "it fired once";
}

TEST_F(ScsiTargetTest, FlashDataWhileTheEraseRunsIsNotReady) {
  ASSERT_EQ(In(Cdb({0xF6, 0x15, 0x06, 0, 0, 0, 16}), 0).status, ScsiTarget::kGood);
  const Sense s = SenseAfter(Cdb({0xF6, 0x05, 0x06, 0, 0, 0, 0, 0, 1}), 512);
  EXPECT_EQ(s.key, sense::kOperationInProgress.key);
  EXPECT_EQ(s.asc, sense::kOperationInProgress.asc);
  EXPECT_EQ(s.ascq, sense::kOperationInProgress.ascq);
  Answer status;
  do status = In(Cdb({0xF6, 0x01}), 2);
  while (status.status == ScsiTarget::kGood && status.data != Bytes{0, 0});
  EXPECT_EQ(In(Cdb({0xF6, 0x05, 0x06, 0, 0, 0, 0, 0, 1}), 512).status, ScsiTarget::kGood);
}

TEST_F(ScsiTargetTest, UnitsBeyondTheDeviceAreAbsent) {
  const Answer a = In(Cdb({0x12, 0, 0, 0, 36, 0}, 6), 36, 1);
  ASSERT_EQ(a.status, ScsiTarget::kGood);
  EXPECT_EQ(a.data[0], 0x7F) << "no unit 1 on a one-unit device";
  EXPECT_EQ(In(Cdb({0x00}, 6), 0, 1).status, ScsiTarget::kCheckCondition);

  DeviceConfig two;
  two.luns = 2;
  two.sd2Sectors = 8192;
  EmulatedDevice twoUnits(two);
  Bytes cap(8);
  ASSERT_EQ(twoUnits.target.Execute(1, Cdb({0x25}, 10).data(), 10, Direction::In, cap.data(), 8).status,
            ScsiTarget::kGood);
  EXPECT_EQ(cap[2], 0x1F);  // 8192 sectors: last block 0x1FFF
  EXPECT_EQ(cap[3], 0xFF);
}

}  // namespace
}  // namespace qmr::sim::usb::test
