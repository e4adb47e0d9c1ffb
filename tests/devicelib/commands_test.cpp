// Every export builds its CDB, data phase and result exactly as the device
// family expects.
#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "QMR52916LIB_ext.h"
#include "fake_backend.h"

namespace qmr {
namespace {

using testing::RecordingBackend;
using testing::SentCommand;

struct Harness {
  std::vector<SentCommand> log;
  RecordingBackend* backend = nullptr;
  void* handle = nullptr;
  Harness() {
    auto b = std::make_unique<RecordingBackend>(&log);
    backend = b.get();
    handle = MakeHandle('E', std::move(b));
  }
  ~Harness() { QMR_CloseDevice(handle); }
};

std::vector<uint8_t> Cdb(std::initializer_list<uint8_t> head) {
  std::vector<uint8_t> c(16, 0);
  std::copy(head.begin(), head.end(), c.begin());
  return c;
}

struct CdbCase {
  std::string name;
  std::function<int(void*, uint8_t*)> call;
  std::vector<uint8_t> cdb;
  DataDirection direction;
  uint32_t length;
};

class CdbTable : public ::testing::TestWithParam<CdbCase> {};

TEST_P(CdbTable, SendsTheFamilyCommand) {
  const CdbCase& c = GetParam();
  Harness h;
  std::vector<uint8_t> buffer(65535u * 512u + 16);
  EXPECT_EQ(c.call(h.handle, buffer.data()), 1);
  ASSERT_EQ(h.log.size(), 1u);
  EXPECT_EQ(h.log[0].cdb, c.cdb);
  EXPECT_EQ(h.log[0].direction, c.direction);
  EXPECT_EQ(h.log[0].length, c.length);
  EXPECT_EQ(h.log[0].timeoutMs, 4000u * 1000u);
  if (c.direction == DataDirection::None) {
    EXPECT_EQ(h.log[0].buffer, nullptr);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Exports, CdbTable,
    ::testing::Values(
        CdbCase{"ReadFlashStatus", [](void* h, uint8_t* b) { return TVQ_ReadFlashStatus(h, b); }, Cdb({0xF6, 0x01}),
                DataDirection::In, 2},
        CdbCase{"FlashReadAt4096", [](void* h, uint8_t* b) { return TVQ_FlashRead(h, b, 4096, 8); },
                Cdb({0xF6, 0x05, 0x06, 0x00, 0x00, 0x10, 0x00, 0x00, 0x08}), DataDirection::In, 4096},
        CdbCase{"FlashReadHighAddress", [](void* h, uint8_t* b) { return TVQ_FlashRead(h, b, 0x12345678, 1); },
                Cdb({0xF6, 0x05, 0x06, 0x12, 0x34, 0x56, 0x78, 0x00, 0x01}), DataDirection::In, 512},
        CdbCase{"FlashWrite", [](void* h, uint8_t* b) { return TVQ_FlashWrite(h, b, 8192, 4); },
                Cdb({0xF6, 0x06, 0x06, 0x00, 0x00, 0x20, 0x00, 0x00, 0x04}), DataDirection::Out, 2048},
        CdbCase{"FlashErase", [](void* h, uint8_t*) { return TVQ_FlashErase(h); }, Cdb({0xF6, 0x08}),
                DataDirection::None, 0},
        CdbCase{"GetFlashID", [](void* h, uint8_t* b) { return TVQ_GetFlashID(h, b); }, Cdb({0xF6, 0x09, 0x01}),
                DataDirection::In, 4},
        CdbCase{"SectorErase", [](void* h, uint8_t*) { return TVQ_SectorErase(h, 16, 0x0102, 0); },
                Cdb({0xF6, 0x15, 0x06, 0x00, 0x10, 0x01, 0x02, 0x00}), DataDirection::None, 0},
        CdbCase{"SectorEraseMode", [](void* h, uint8_t*) { return TVQ_SectorErase(h, 0xABCD, 0xFFFF, 0x5A); },
                Cdb({0xF6, 0x15, 0x06, 0xAB, 0xCD, 0xFF, 0xFF, 0x5A}), DataDirection::None, 0},
        CdbCase{"ResetDevice", [](void* h, uint8_t*) { return TVQ_ResetDevice(h); }, Cdb({0xF6, 0xFF}),
                DataDirection::None, 0},
        CdbCase{"SetSDOffset", [](void* h, uint8_t*) { return TVQ_SetSDOffset(h, 2048); }, Cdb({0xF6, 0xE0}),
                DataDirection::Out, 4},
        CdbCase{"VendorReadSD", [](void* h, uint8_t* b) { return TVQ_ReadSD(h, 0x01020304, 3, b); },
                Cdb({0xF6, 0xE1, 0x00, 0x01, 0x02, 0x03, 0x04, 0x00, 0x03}), DataDirection::In, 1536},
        CdbCase{"VendorWriteSD", [](void* h, uint8_t* b) { return TVQ_WriteSD(h, 7, 0x0100, b); },
                Cdb({0xF6, 0xE2, 0x00, 0x00, 0x00, 0x00, 0x07, 0x01, 0x00}), DataDirection::Out, 131072},
        CdbCase{"Read10", [](void* h, uint8_t* b) { return USB_ReadSD(h, 0xA0B0C0D0, 2, b); },
                Cdb({0x28, 0x00, 0xA0, 0xB0, 0xC0, 0xD0, 0x00, 0x00, 0x02}), DataDirection::In, 1024},
        CdbCase{"Write10SdChunk", [](void* h, uint8_t* b) { return USB_WriteSD(h, 2048, 120, b); },
                Cdb({0x2A, 0x00, 0x00, 0x00, 0x08, 0x00, 0x00, 0x00, 0x78}), DataDirection::Out, 61440},
        CdbCase{"Write10LargestCount", [](void* h, uint8_t* b) { return USB_WriteSD(h, 0, 65535, b); },
                Cdb({0x2A, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0xFF, 0xFF}), DataDirection::Out, 65535u * 512u},
        CdbCase{"ReadZeroCountHasNoDataPhase", [](void* h, uint8_t* b) { return USB_ReadSD(h, 5, 0, b); },
                Cdb({0x28, 0x00, 0x00, 0x00, 0x00, 0x05}), DataDirection::None, 0},
        CdbCase{"ReadCapacity", [](void* h, uint8_t*) { return int(USB_ReadCapacity(h) == 0); },
                Cdb({0x25, 0, 0, 0, 0, 0, 0, 0, 0x01}), DataDirection::In, 8},
        CdbCase{"Inquiry", [](void* h, uint8_t* b) { return USB_Inquiry(h, b); },
                Cdb({0x12, 0, 0, 0, 0, 0, 0, 0, 0x01}), DataDirection::In, 36},
        CdbCase{"GetSector", [](void* h, uint8_t*) { return int(SDTest_GetSector(h) == 0); },
                Cdb({0xF6, 0xF0, 0xF0}), DataDirection::In, 4},
        CdbCase{"GetReadTime", [](void* h, uint8_t*) { return int(SDTest_GetReadTime(h, 0x11223344) == 0); },
                Cdb({0xF6, 0xF0, 0xF1, 0x11, 0x22, 0x33, 0x44}), DataDirection::In, 4}),
    [](const auto& info) { return info.param.name; });

TEST(SetSdOffset, PayloadIsLittleEndian) {
  Harness h;
  ASSERT_EQ(TVQ_SetSDOffset(h.handle, 2048), 1);
  EXPECT_EQ(h.log.at(0).outData, (std::vector<uint8_t>{0x00, 0x08, 0x00, 0x00}));
}

struct AnswerCase {
  std::string name;
  std::vector<uint8_t> answer;
  bool succeed;
  std::function<unsigned long(void*)> call;
  unsigned long expected;
};

class AnswerTable : public ::testing::TestWithParam<AnswerCase> {};

TEST_P(AnswerTable, AssemblesTheResult) {
  const AnswerCase& c = GetParam();
  Harness h;
  h.backend->answer = c.answer;
  h.backend->succeed = c.succeed;
  EXPECT_EQ(c.call(h.handle), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Results, AnswerTable,
    ::testing::Values(
        AnswerCase{"CapacityBigEndian", {0x00, 0x00, 0x10, 0x00, 0x00, 0x00, 0x02, 0x00}, true, USB_ReadCapacity, 4096},
        AnswerCase{"CapacityFailedIsZero", {0x00, 0x00, 0x10, 0x00}, false, USB_ReadCapacity, 0},
        AnswerCase{"SectorLittleEndian", {0x10, 0x27, 0x00, 0x00}, true, SDTest_GetSector, 10000},
        AnswerCase{"SectorFailedIsZero", {0x10, 0x27, 0x00, 0x00}, false, SDTest_GetSector, 0},
        AnswerCase{"ReadTimeTimesTen", {0x10, 0x27, 0x00, 0x00}, true,
                   [](void* h) { return SDTest_GetReadTime(h, 1); }, 100000},
        AnswerCase{"ReadTimeFailedIsZero", {0x10, 0x27, 0x00, 0x00}, false,
                   [](void* h) { return SDTest_GetReadTime(h, 1); }, 0}),
    [](const auto& info) { return info.param.name; });

TEST(RawCommands, PassTheCallersCdbAndFallBackToNoDataPhase) {
  uint8_t cdb[16] = {0xF6, 0x42, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14};
  uint8_t buffer[64] = {};
  struct Case {
    std::function<int(void*)> call;
    DataDirection direction;
    uint32_t length;
  } cases[] = {
      {[&](void* h) { return TVQ_BulkNone(h, cdb); }, DataDirection::None, 0},
      {[&](void* h) { return TVQ_BulkIn(h, cdb, buffer, 64); }, DataDirection::In, 64},
      {[&](void* h) { return TVQ_BulkOut(h, cdb, buffer, 10); }, DataDirection::Out, 10},
      {[&](void* h) { return TVQ_BulkIn(h, cdb, buffer, 0); }, DataDirection::None, 0},
      {[&](void* h) { return TVQ_BulkIn(h, cdb, nullptr, 64); }, DataDirection::None, 0},
      {[&](void* h) { return TVQ_BulkOut(h, cdb, nullptr, 64); }, DataDirection::None, 0},
      {[&](void* h) { return TVQ_BulkOut(h, cdb, buffer, -5); }, DataDirection::None, 0},
  };
  for (const auto& c : cases) {
    Harness h;
    EXPECT_EQ(c.call(h.handle), 1);
    ASSERT_EQ(h.log.size(), 1u);
    EXPECT_EQ(h.log[0].cdb, std::vector<uint8_t>(cdb, cdb + 16));
    EXPECT_EQ(h.log[0].direction, c.direction);
    EXPECT_EQ(h.log[0].length, c.length);
  }
}

TEST(RawCommands, RefuseWhatOneCommandCannotCarry) {
  Harness h;
  uint8_t buffer[16] = {};
  EXPECT_EQ(TVQ_BulkNone(h.handle, nullptr), 0);
  if (sizeof(long) > sizeof(int)) {
    EXPECT_EQ(TVQ_BulkIn(h.handle, buffer, buffer, long(1) << 40), 0);
  }
  EXPECT_TRUE(h.log.empty());
}

TEST(InvalidHandle, EveryExportFailsWithoutSending) {
  uint8_t buffer[512] = {};
  void* bad = QMR_INVALID_HANDLE;
  const std::function<unsigned long()> calls[] = {
      [&] { return TVQ_ReadFlashStatus(bad, buffer); },   [&] { return TVQ_FlashRead(bad, buffer, 0, 1); },
      [&] { return TVQ_FlashWrite(bad, buffer, 0, 1); },  [&] { return TVQ_FlashErase(bad); },
      [&] { return TVQ_GetFlashID(bad, buffer); },        [&] { return TVQ_SectorErase(bad, 0, 16, 0); },
      [&] { return TVQ_ResetDevice(bad); },               [&] { return TVQ_SetSDOffset(bad, 1); },
      [&] { return TVQ_ReadSD(bad, 0, 1, buffer); },      [&] { return TVQ_WriteSD(bad, 0, 1, buffer); },
      [&] { return USB_ReadSD(bad, 0, 1, buffer); },      [&] { return USB_WriteSD(bad, 0, 1, buffer); },
      [&] { return USB_ReadCapacity(bad); },              [&] { return USB_Inquiry(bad, buffer); },
      [&] { return SDTest_GetSector(bad); },              [&] { return SDTest_GetReadTime(bad, 1); },
      [&] { return TVQ_BulkNone(bad, buffer); },          [&] { return TVQ_BulkIn(bad, buffer, buffer, 16); },
      [&] { return TVQ_BulkOut(bad, buffer, buffer, 16); }, [&] { return TVQ_FlashRead(nullptr, buffer, 0, 1); },
  };
  for (const auto& call : calls) EXPECT_EQ(call(), 0u);
}

}  // namespace
}  // namespace qmr
