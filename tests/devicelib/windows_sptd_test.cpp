// The pass-through-direct record: built by the same code on every host, with
// the system's own structure on Windows and one of the same layout elsewhere.
#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <functional>
#include <vector>

#include "QMR52916LIB_ext.h"
#include "drivemap.h"
#include "platform/windows_sptd.h"
#include "transport.h"

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

// Fills the record from whatever an export sends, as the Windows transport does.
class RecordBackend final : public Backend {
 public:
  explicit RecordBackend(PassThroughRecord* record) : record_(record) {}
  bool Execute(const ScsiRequest& request) override {
    FillPassThroughRecord(request, *record_);
    return true;
  }

 private:
  PassThroughRecord* record_;
};

void Put(std::vector<uint8_t>& bytes, size_t offset, uint64_t value, size_t width) {
  for (size_t i = 0; i < width; ++i) bytes[offset + i] = uint8_t(value >> (8 * i));  // little-endian
}

// The bytes the driver must see, spelled out from the layout table.
std::vector<uint8_t> ExpectedRecord(uint8_t dataIn, uint32_t length, const void* buffer,
                                    const std::array<uint8_t, 16>& cdb) {
  const RecordLayout& l = kRecordLayout;
  std::vector<uint8_t> bytes(l.size, 0);
  Put(bytes, 0, l.headerSize, 2);  // Length
  bytes[4] = 1;                    // TargetId; ScsiStatus, PathId and Lun stay 0
  bytes[6] = 16;                   // CdbLength
  bytes[7] = 24;                   // SenseInfoLength
  bytes[8] = dataIn;
  Put(bytes, l.dataTransferLength, length, 4);
  Put(bytes, l.timeOutValue, 4000, 4);
  Put(bytes, l.dataBuffer, uint64_t(reinterpret_cast<uintptr_t>(buffer)), sizeof(void*));
  Put(bytes, l.senseInfoOffset, l.sense, 4);
  std::memcpy(&bytes[l.cdb], cdb.data(), 16);
  return bytes;
}

TEST(PassThroughRecord, EveryByteOfReadWriteAndVendorCommands) {
  std::vector<uint8_t> data(65536);
  PassThroughRecord record;
  void* h = MakeHandle('E', std::make_unique<RecordBackend>(&record));
  struct Case {
    const char* name;
    std::function<int()> send;
    uint8_t dataIn;
    uint32_t length;
    const void* buffer;
    std::array<uint8_t, 16> cdb;
  } cases[] = {
      {"READ(10)", [&] { return USB_ReadSD(h, 0x00123456, 8, data.data()); }, 1, 4096, data.data(),
       {0x28, 0x00, 0x00, 0x12, 0x34, 0x56, 0x00, 0x00, 0x08}},
      {"WRITE(10)", [&] { return USB_WriteSD(h, 2048, 120, data.data()); }, 0, 61440, data.data(),
       {0x2A, 0x00, 0x00, 0x00, 0x08, 0x00, 0x00, 0x00, 0x78}},
      {"flash read", [&] { return TVQ_FlashRead(h, data.data(), 4096, 8); }, 1, 4096, data.data(),
       {0xF6, 0x05, 0x06, 0x00, 0x00, 0x10, 0x00, 0x00, 0x08}},
      {"sector erase, no data phase", [&] { return TVQ_SectorErase(h, 16, 0x0102, 0); }, 1, 0, nullptr,
       {0xF6, 0x15, 0x06, 0x00, 0x10, 0x01, 0x02, 0x00}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::memset(&record, 0xCC, sizeof record);  // every byte must be written
    ASSERT_EQ(c.send(), 1);
    const auto expected = ExpectedRecord(c.dataIn, c.length, c.buffer, c.cdb);
    const auto* actual = reinterpret_cast<const uint8_t*>(&record);
    ASSERT_EQ(sizeof record, expected.size());
    for (size_t i = 0; i < expected.size(); ++i) EXPECT_EQ(actual[i], expected[i]) << "byte " << i;
  }
  QMR_CloseDevice(h);
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

TEST(PassThroughRecord, TimeoutInWholeSecondsRoundedUp) {
  const std::pair<uint32_t, uint32_t> cases[] = {{4000u * 1000u, 4000}, {1000, 1}, {1001, 2}, {2500, 3}, {1, 1}, {0, 1}};
  for (const auto& [ms, seconds] : cases) {
    ScsiRequest r;
    r.timeoutMs = ms;
    PassThroughRecord rec;
    FillPassThroughRecord(r, rec);
    EXPECT_EQ(rec.header.TimeOutValue, seconds) << ms << " ms";
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
