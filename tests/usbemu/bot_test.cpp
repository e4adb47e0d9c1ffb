// The Bulk-Only Transport as a host drives it: descriptors and class
// requests, CBW / data / CSW with residues, and the cases where the host's
// idea of the data phase and the command's disagree.
#include "fixture.h"

namespace qmr::sim::usb::test {
namespace {

using Result = MassStorageFunction::Result;
constexpr uint8_t kIn = MassStorageFunction::kBulkIn;
constexpr uint8_t kOut = MassStorageFunction::kBulkOut;

const Bytes kInquiry = Cdb({0x12, 0, 0, 0, 36, 0}, 6);
Bytes Read10(uint32_t lba, uint16_t blocks) {
  return Cdb({0x28, 0, int(lba >> 24), int(lba >> 16 & 255), int(lba >> 8 & 255), int(lba & 255), 0, blocks >> 8,
              blocks & 255, 0},
             10);
}
Bytes Write10(uint32_t lba, uint16_t blocks) {
  Bytes c = Read10(lba, blocks);
  c[0] = 0x2A;
  return c;
}

TEST(MassStorageDescriptors, WhatTheHostEnumerates) {
  EmulatedDevice d;
  const Bytes device = d.function.DeviceDescriptor();
  ASSERT_EQ(device.size(), 18u);
  EXPECT_EQ(device[8] | device[9] << 8, 0x1209);
  EXPECT_EQ(device[16], 3) << "a serial number string";
  const Bytes config = d.function.ConfigurationDescriptor();
  ASSERT_EQ(config.size(), 32u);
  EXPECT_EQ(config[2], 32);
  EXPECT_EQ(Bytes(config.begin() + 14, config.begin() + 17), (Bytes{0x08, 0x06, 0x50})) << "bulk-only SCSI";
  EXPECT_EQ(config[20], kIn);
  EXPECT_EQ(config[27], kOut);
  const auto serial = d.function.Control(0x80, 0x06, 0x0303, 0x0409, 255, nullptr);
  ASSERT_EQ(serial.result, Result::Ok);
  ASSERT_EQ(serial.data.size(), 2u + 2 * 12);
  EXPECT_EQ(serial.data[2], '2');
  EXPECT_EQ(serial.data[3], 0);
  EXPECT_EQ(d.function.Control(0x80, 0x06, 0x0100, 0, 8, nullptr).data.size(), 8u) << "clipped to the request";
  EXPECT_EQ(d.function.Control(0x80, 0x06, 0x0600, 0, 10, nullptr).result, Result::Stall)
      << "no device qualifier: full speed only";

  EXPECT_EQ(d.function.Control(0xA1, 0xFE, 0, 0, 1, nullptr).data, Bytes{0});
  DeviceConfig two;
  two.luns = 2;
  EmulatedDevice twoUnits(two);
  EXPECT_EQ(twoUnits.function.Control(0xA1, 0xFE, 0, 0, 1, nullptr).data, Bytes{1}) << "Get Max LUN";
}

TEST(BulkOnly, CommandsWithEachDataPhase) {
  EmulatedDevice d;
  Csw csw;
  const Bytes inquiry = d.In(kInquiry, 36, &csw);
  EXPECT_EQ(inquiry.size(), 36u);
  EXPECT_EQ(csw.signature, MassStorageFunction::kCswSignature);
  EXPECT_EQ(csw.status, 0);
  EXPECT_EQ(csw.residue, 0u);

  // Out in two packets, read back in one.
  Bytes block(512);
  for (size_t i = 0; i < block.size(); ++i) block[i] = uint8_t(i * 7);
  ASSERT_EQ(d.SendCbw(Write10(100, 1), 512, false), Result::Ok);
  EXPECT_EQ(d.function.BulkIn(13).result, Result::Pending) << "no CSW before the data";
  ASSERT_EQ(d.function.BulkOut(block.data(), 256), Result::Ok);
  ASSERT_EQ(d.function.BulkOut(block.data() + 256, 256), Result::Ok);
  csw = d.ReadCsw();
  EXPECT_EQ(csw.status, 0);
  EXPECT_EQ(csw.residue, 0u);
  EXPECT_EQ(d.In(Read10(100, 1), 512, &csw), block);
  EXPECT_EQ(csw.status, 0);

  // A data-in read over several requests.
  ASSERT_EQ(d.SendCbw(Read10(100, 1), 512, true), Result::Ok);
  Bytes pieces;
  for (int i = 0; i < 8; ++i) {
    const auto r = d.function.BulkIn(64);
    ASSERT_EQ(r.result, Result::Ok);
    pieces.insert(pieces.end(), r.data.begin(), r.data.end());
  }
  EXPECT_EQ(pieces, block);
  EXPECT_EQ(d.ReadCsw().status, 0);

  EXPECT_EQ(d.None(Cdb({0x00}, 6)).status, 0);
}

TEST(BulkOnly, ResiduesAndPhaseErrors) {
  struct Case {
    const char* what;
    Bytes cdb;
    uint32_t hostLength;
    bool hostIn;
    uint8_t status;
    uint32_t residue;
  } cases[] = {
      {"INQUIRY asked 96, 36 sent", Cdb({0x12, 0, 0, 0, 96, 0}, 6), 96, true, 0, 60},
      {"the host expects data, the command has none", Cdb({0x00}, 6), 512, true, 0, 512},
      {"the host expects none, the command reads", Read10(0, 1), 0, false, 2, 0},
      {"the host expects to read, the command writes", Write10(0, 1), 512, true, 2, 512},
      {"the host sends, the command reads", Read10(0, 1), 512, false, 2, 512},
      {"the host sends less than the command takes", Write10(0, 2), 512, false, 2, 512},
      {"the host sends data to a command without any", Cdb({0x00}, 6), 64, false, 0, 64},
      {"the command fails: no data, status 1", Cdb({0xA0}, 12), 16, true, 1, 16},
      {"the host reads less than the command sends", Read10(0, 2), 512, true, 2, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    EmulatedDevice d;
    Csw csw;
    if (c.hostIn) {
      d.In(c.cdb, c.hostLength, &csw);
    } else if (c.hostLength == 0) {
      csw = d.None(c.cdb);
    } else {
      csw = d.Out(c.cdb, Bytes(c.hostLength, 0x5A));
    }
    EXPECT_EQ(csw.signature, MassStorageFunction::kCswSignature);
    EXPECT_EQ(csw.status, c.status);
    EXPECT_EQ(csw.residue, c.residue);
    // The transport is in step again.
    EXPECT_EQ(d.In(kInquiry, 36).size(), 36u);
  }
}

// sg_raw -r 512 of a two-sector READ(10): the first sector, then a phase error.
TEST(BulkOnly, AShortHostBufferGetsWhatFitsThenAPhaseError) {
  EmulatedDevice d;
  Bytes sectors(1024);
  for (size_t i = 0; i < sectors.size(); ++i) sectors[i] = uint8_t(i * 3 + (i >> 9));
  ASSERT_EQ(d.Out(Write10(40, 2), sectors).status, 0);
  Csw csw;
  const Bytes got = d.In(Read10(40, 2), 512, &csw);
  EXPECT_EQ(got, Bytes(sectors.begin(), sectors.begin() + 512));
  EXPECT_EQ(csw.status, 2);
}

// A stalled device sends nothing for the command it stalled on: no data and
// no CSW, through resets, until it is pulled out and plugged in again.
TEST(BulkOnly, AStalledDeviceSendsNoDataAndNoStatus) {
  struct Case {
    const char* what;
    const char* on;
    bool hostIn;
  } cases[] = {
      {"mid-write: the data is taken, no CSW comes", "sd-write", false},
      {"a read: no data comes", "sd-read", true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    EmulatedDevice d;
    FaultSpec f;
    std::string error;
    ASSERT_TRUE(ParseFault(std::string(R"({"action":"stall","on":")") + c.on + "\"}", f, error)) << error;
    d.model->AddFault(f);
    ASSERT_EQ(d.SendCbw(c.hostIn ? Read10(8, 1) : Write10(8, 1), 512, c.hostIn), Result::Ok);
    if (!c.hostIn) {
      const Bytes data(512, 0x77);
      EXPECT_EQ(d.function.BulkOut(data.data(), 512), Result::Ok);
    }
    EXPECT_EQ(d.function.BulkIn(512).result, Result::Pending);
    EXPECT_EQ(d.function.BulkIn(13).result, Result::Pending);
    // The host's reset recovery: still nothing, not even for a TEST UNIT READY.
    d.function.BusReset();
    d.function.SetConfiguration(1);
    ASSERT_EQ(d.SendCbw(Cdb({0x00}, 6), 0, false), Result::Ok);
    EXPECT_EQ(d.function.BulkIn(13).result, Result::Pending);
    // Re-plugged, it answers again.
    d.model->SetPlugged(false);
    d.model->SetPlugged(true);
    d.function.BusReset();
    d.function.SetConfiguration(1);
    EXPECT_EQ(d.None(Cdb({0x00}, 6)).status, 0);
  }
}

TEST(BulkOnly, DataThatFillsTheRequestEndsWithAStall) {
  // MODE SENSE answers 36 of the 192 bytes the host expects: a request of
  // exactly 36 is filled, and the host's next request for data is stalled.
  EmulatedDevice d;
  ASSERT_EQ(d.SendCbw(Cdb({0x1A, 0, 0x3F, 0, 192, 0}, 6), 192, true), Result::Ok);
  EXPECT_EQ(d.function.BulkIn(36).data.size(), 36u);
  EXPECT_EQ(d.function.BulkIn(156).result, Result::Stall);
  EXPECT_TRUE(d.function.Halted(kIn));
  ASSERT_TRUE(d.ClearHalt(kIn));
  const Csw csw = d.ReadCsw();
  EXPECT_EQ(csw.status, 0);
  EXPECT_EQ(csw.residue, 156u);
}

TEST(BulkOnly, AnInvalidCbwNeedsTheResetRecovery) {
  EmulatedDevice d;
  EXPECT_EQ(d.SendCbw(kInquiry, 36, true, 0, 0x12345678), Result::Stall);
  EXPECT_TRUE(d.function.Halted(kIn));
  EXPECT_TRUE(d.function.Halted(kOut));
  ASSERT_TRUE(d.ClearHalt(kIn));
  EXPECT_TRUE(d.function.Halted(kIn)) << "a cleared halt does not end the stall before the reset";
  EXPECT_EQ(d.function.BulkIn(13).result, Result::Stall);

  ASSERT_EQ(d.function.Control(0x21, 0xFF, 0, 0, 0, nullptr).result, Result::Ok);  // Bulk-Only Mass Storage Reset
  ASSERT_TRUE(d.ClearHalt(kIn));
  ASSERT_TRUE(d.ClearHalt(kOut));
  EXPECT_FALSE(d.function.Halted(kIn));
  Csw csw;
  EXPECT_EQ(d.In(kInquiry, 36, &csw).size(), 36u);
  EXPECT_EQ(csw.status, 0);

  // A CBW of the wrong length or for a unit the device does not have is no better.
  EmulatedDevice other;
  uint8_t shortCbw[30] = {0x55, 0x53, 0x42, 0x43};
  EXPECT_EQ(other.function.BulkOut(shortCbw, sizeof shortCbw), Result::Stall);
  EmulatedDevice third;
  EXPECT_EQ(third.SendCbw(kInquiry, 36, true, 1), Result::Stall);
}

TEST(BulkOnly, AFamilyCommandThroughTheWire) {
  // The library's identify: 16-byte CDB F6 00 with 2 bytes in.
  EmulatedDevice d;
  Csw csw;
  EXPECT_EQ(d.In(Cdb({0xF6}), 2, &csw), (Bytes{1, 1}));
  EXPECT_EQ(csw.status, 0);
  // Flash write: 512 bytes out, then read back.
  Bytes data(512, 0x3C);
  csw = d.Out(Cdb({0xF6, 0x06, 0x06, 0, 0, 0x10, 0, 0, 1}), data);
  EXPECT_EQ(csw.status, 0);
  EXPECT_EQ(d.In(Cdb({0xF6, 0x05, 0x06, 0, 0, 0x10, 0, 0, 1}), 512, &csw), data);
}

}  // namespace
}  // namespace qmr::sim::usb::test
