// What a program linked only against QMR52916LIB gets: simulated devices that
// behave like the real family through the plain C exports.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "QMR52916LIB.h"
#include "QMR52916LIB_ext.h"

namespace {

using Bytes = std::vector<unsigned char>;

constexpr unsigned long kCardSectors = 16777216;  // 8 GiB

const char* kConfig = R"({"devices":[
  {"letter":"E", "flashSizeKB":1024, "sdSectors":16777216, "eraseBusyPolls":3},
  {"letter":"F", "identify":[1,0]}
]})";

class SimLibrary : public testing::Test {
 protected:
  void SetUp() override {
    char error[256] = {};
    ASSERT_EQ(QMR_SimConfigure(kConfig, error, sizeof error), 1) << error;
    ASSERT_EQ(QMR_SimStatus(nullptr, 0), 1);
  }
  void TearDown() override {
    for (void* h : handles_) QMR_CloseDevice(h);
    QMR_SimConfigure(nullptr, nullptr, 0);
  }
  void* Open(char letter, bool identifyCheck = true) {
    void* h = identifyCheck ? TVQ_OpenDevice(letter) : USB_OpenDevice(letter);
    if (h != QMR_INVALID_HANDLE) handles_.push_back(h);
    return h;
  }
  std::vector<void*> handles_;
};

TEST_F(SimLibrary, FlashIdBlockZeroEraseAndProgram) {
  void* h = Open('E');
  ASSERT_NE(h, QMR_INVALID_HANDLE);

  unsigned char id[4] = {};
  ASSERT_EQ(TVQ_GetFlashID(h, id), 1);
  EXPECT_EQ(Bytes(id, id + 4), (Bytes{0x00, 0xEF, 0x40, 0x18}));

  Bytes block(512);
  ASSERT_EQ(TVQ_FlashRead(h, block.data(), 0, 1), 1);
  Bytes serial;
  for (char c : std::string("000000012345")) serial.insert(serial.end(), {(unsigned char)c, 0});
  EXPECT_EQ(Bytes(block.begin() + 136, block.begin() + 160), serial);

  ASSERT_EQ(TVQ_SectorErase(h, 0, 2, 0), 1);
  int busyPolls = 0;
  unsigned char status[2] = {0xAA, 0xAA};
  for (int i = 0; i < 100; ++i) {
    ASSERT_EQ(TVQ_ReadFlashStatus(h, status), 1);
    if (status[0] == 0 && status[1] == 0) break;
    ++busyPolls;
  }
  EXPECT_EQ(busyPolls, 3);
  ASSERT_EQ(TVQ_FlashRead(h, block.data(), 0, 1), 1);
  EXPECT_EQ(block, Bytes(512, 0xFF));

  // Programming only clears bits.
  Bytes first(1024, 0x0F), second(1024, 0xF3);
  ASSERT_EQ(TVQ_FlashWrite(h, first.data(), 0, 2), 1);
  ASSERT_EQ(TVQ_FlashWrite(h, second.data(), 0, 2), 1);
  Bytes back(1024);
  ASSERT_EQ(TVQ_FlashRead(h, back.data(), 0, 2), 1);
  EXPECT_EQ(back, Bytes(1024, 0x03));
  Bytes peek(4);
  ASSERT_EQ(QMR_SimPeekFlash('E', 1020, peek.data(), 4), 1);
  EXPECT_EQ(peek, Bytes(4, 0x03));

  // 1 MiB of flash: the last unit reads, one past it does not.
  EXPECT_EQ(TVQ_FlashRead(h, block.data(), 1024 * 1024 - 512, 1), 1);
  EXPECT_EQ(TVQ_FlashRead(h, block.data(), 1024 * 1024, 1), 0);
}

TEST_F(SimLibrary, CardWriteReadBackAndSize) {
  void* h = Open('E');
  ASSERT_NE(h, QMR_INVALID_HANDLE);
  EXPECT_EQ(USB_ReadCapacity(h), kCardSectors - 1);
  EXPECT_EQ(SDTest_GetSector(h), kCardSectors);

  Bytes data(2048);
  for (size_t i = 0; i < data.size(); ++i) data[i] = (unsigned char)(i * 13 + 7);
  const unsigned long sector = kCardSectors - 4;
  ASSERT_EQ(USB_WriteSD(h, sector, 4, data.data()), 1);
  Bytes back(2048);
  ASSERT_EQ(USB_ReadSD(h, sector, 4, back.data()), 1);
  EXPECT_EQ(back, data);
  EXPECT_EQ(USB_ReadSD(h, sector, 5, Bytes(2560).data()), 0);

  Bytes peek(512);
  ASSERT_EQ(QMR_SimPeekSd('E', (unsigned long long)(sector + 3) * 512, peek.data(), 512), 1);
  EXPECT_EQ(peek, Bytes(data.begin() + 1536, data.end()));
}

TEST_F(SimLibrary, IdentifyDecidesWhichOpenWorks) {
  EXPECT_EQ(Open('F'), QMR_INVALID_HANDLE);
  void* h = Open('F', /*identifyCheck=*/false);
  ASSERT_NE(h, QMR_INVALID_HANDLE);
  unsigned char inquiry[36] = {};
  ASSERT_EQ(USB_Inquiry(h, inquiry), 1);
  EXPECT_EQ(std::string((const char*)inquiry + 8, 28), "Generic RQ4820 Disk     1.00");
  EXPECT_EQ(Open('Q', false), QMR_INVALID_HANDLE);  // no such drive
}

TEST_F(SimLibrary, InjectedFaultsSurfaceAsFailures) {
  void* h = Open('E');
  ASSERT_NE(h, QMR_INVALID_HANDLE);
  char error[256] = {};
  ASSERT_EQ(QMR_SimAddFault('E', R"({"on":"flash-read","after":1})", error, sizeof error), 1) << error;
  ASSERT_EQ(QMR_SimAddFault('E', R"({"on":"read-capacity","count":-1})", error, sizeof error), 1) << error;
  Bytes block(512);
  EXPECT_EQ(TVQ_FlashRead(h, block.data(), 0, 1), 1);
  EXPECT_EQ(TVQ_FlashRead(h, block.data(), 0, 1), 0);
  EXPECT_EQ(TVQ_FlashRead(h, block.data(), 0, 1), 1);
  EXPECT_EQ(USB_ReadCapacity(h), 0ul);
  EXPECT_EQ(USB_ReadCapacity(h), 0ul);

  EXPECT_EQ(QMR_SimAddFault('E', R"({"on":"flash-reed"})", error, sizeof error), 0);
  EXPECT_NE(std::strstr(error, "flash-reed"), nullptr) << error;
  EXPECT_EQ(QMR_SimAddFault('Q', R"({"on":"open"})", error, sizeof error), 0);

  ASSERT_EQ(QMR_SimAddFault('E', R"({"on":"sd-write","action":"unplug"})", error, sizeof error), 1) << error;
  Bytes sector(512, 1);
  EXPECT_EQ(USB_WriteSD(h, 0, 1, sector.data()), 0);
  EXPECT_EQ(QMR_SimDriveMask() & (1ul << ('E' - 'A')), 0ul);
  EXPECT_EQ(Open('E'), QMR_INVALID_HANDLE);
}

// A simulated stall honours the handle's timeout, and says it was one.
TEST_F(SimLibrary, AStalledDeviceFailsItsCommandsAtTheHandlesTimeout) {
  void* h = Open('E');
  ASSERT_NE(h, QMR_INVALID_HANDLE);
  ASSERT_EQ(QMR_SetCommandTimeout(h, 2), 1);
  char error[256] = {};
  ASSERT_EQ(QMR_SimAddFault('E', R"({"on":"sd-write","action":"stall"})", error, sizeof error), 1) << error;
  Bytes sector(512, 1);
  unsigned char status[2];
  EXPECT_EQ(USB_WriteSD(h, 0, 1, sector.data()), 0);
  EXPECT_EQ(QMR_CommandTimedOut(h), 1);
  EXPECT_EQ(TVQ_ReadFlashStatus(h, status), 0);  // everything waits while it stalls
  EXPECT_EQ(QMR_CommandTimedOut(h), 1);
  // Pulled out: a failure, not a timeout.
  QMR_SimUnplug('E');
  EXPECT_EQ(TVQ_ReadFlashStatus(h, status), 0);
  EXPECT_EQ(QMR_CommandTimedOut(h), 0);
  QMR_SimPlug('E');
  void* again = Open('E');
  ASSERT_NE(again, QMR_INVALID_HANDLE);
  EXPECT_EQ(USB_WriteSD(again, 0, 1, sector.data()), 1);
}

TEST_F(SimLibrary, UnpluggedDevicesCannotBeOpened) {
  const unsigned long e = 1ul << ('E' - 'A'), f = 1ul << ('F' - 'A');
  EXPECT_EQ(QMR_SimDriveMask(), e | f);
  void* h = Open('E');
  ASSERT_NE(h, QMR_INVALID_HANDLE);
  ASSERT_EQ(QMR_SimUnplug('E'), 1);
  EXPECT_EQ(QMR_SimDriveMask(), f);
  EXPECT_EQ(Open('E'), QMR_INVALID_HANDLE);
  EXPECT_EQ(Open('E', false), QMR_INVALID_HANDLE);
  unsigned char id[4];
  EXPECT_EQ(TVQ_GetFlashID(h, id), 0);  // the handle from before is dead too
  EXPECT_EQ(QMR_SimUnplug('Q'), 0);

  ASSERT_EQ(QMR_SimPlug('E'), 1);
  EXPECT_NE(Open('E'), QMR_INVALID_HANDLE);
  EXPECT_EQ(TVQ_GetFlashID(h, id), 1);
}

TEST_F(SimLibrary, ABadConfigurationKeepsTheCurrentOne) {
  char error[256] = {};
  EXPECT_EQ(QMR_SimConfigure(R"({"devices":[{"letter":"E","luns":5}]})", error, sizeof error), 0);
  EXPECT_STREQ(error, "simulator JSON: devices[0].luns: expected 1 to 2, got 5");
  EXPECT_NE(Open('F', false), QMR_INVALID_HANDLE);
}

}  // namespace
