// The SG_IO request as built for the kernel, and how its answer is judged,
// with the ioctl replaced.
#include <gtest/gtest.h>

#include <cerrno>

#include <fcntl.h>

#include <filesystem>
#include <fstream>

#include "platform/linux_sg.h"

namespace qmr::linux_sg {
namespace {

ScsiRequest Request(DataDirection d, uint8_t* buffer, uint32_t length) {
  ScsiRequest r;
  r.cdb[0] = 0xF6;
  r.cdb[1] = 0x05;
  r.cdb[15] = 0xEE;
  r.direction = d;
  r.buffer = buffer;
  r.length = length;
  return r;
}

TEST(SgIoHeader, DescribesTheCommand) {
  uint8_t data[512];
  struct Case {
    DataDirection direction;
    int sgDirection;
    void* buffer;
    unsigned length;
  } cases[] = {
      {DataDirection::In, SG_DXFER_FROM_DEV, data, 512},
      {DataDirection::Out, SG_DXFER_TO_DEV, data, 512},
      {DataDirection::None, SG_DXFER_NONE, nullptr, 0},
  };
  for (const auto& c : cases) {
    unsigned char cdb[16], sense[kSenseBytes];
    sg_io_hdr_t h;
    BuildSgIoHeader(Request(c.direction, c.direction == DataDirection::None ? nullptr : data,
                            c.direction == DataDirection::None ? 0 : 512),
                    cdb, sense, h);
    EXPECT_EQ(h.interface_id, 'S');
    EXPECT_EQ(h.dxfer_direction, c.sgDirection);
    EXPECT_EQ(h.dxferp, c.buffer);
    EXPECT_EQ(h.dxfer_len, c.length);
    EXPECT_EQ(h.cmd_len, 16);
    EXPECT_EQ(h.cmdp, cdb);
    EXPECT_EQ(cdb[0], 0xF6);
    EXPECT_EQ(cdb[15], 0xEE);
    EXPECT_EQ(h.timeout, 4000u * 1000u);  // 4000 seconds, in milliseconds
    EXPECT_EQ(h.sbp, sense);
    EXPECT_EQ(h.mx_sb_len, kSenseBytes);
  }
}

TEST(SgIoHeader, TimeoutIsTheRequestsMilliseconds) {
  for (uint32_t ms : {1u, 2500u, 4000u * 1000u}) {
    ScsiRequest r;
    r.timeoutMs = ms;
    unsigned char cdb[16], sense[kSenseBytes];
    sg_io_hdr_t h;
    BuildSgIoHeader(r, cdb, sense, h);
    EXPECT_EQ(h.timeout, ms);
  }
}

TEST(SgIoVerdict, TimeoutsAreToldFromOtherFailures) {
  struct Case {
    const char* name;
    int ioctlResult, error;
    unsigned short host, driver;
    bool timedOut;
  } cases[] = {
      {"host adapter gave up (DID_TIME_OUT)", 0, 0, 0x03, 0, true},
      {"driver timeout", 0, 0, 0, 0x06, true},
      {"driver timeout with sense", 0, 0, 0, 0x16, true},
      {"the ioctl itself timed out", -1, ETIMEDOUT, 0, 0, true},
      {"device gone", 0, 0, 0x01, 0, false},
      {"ioctl refused", -1, EINVAL, 0, 0, false},
      {"check condition", 0, 0, 0, 0x08, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    sg_io_hdr_t h{};
    h.host_status = c.host;
    h.driver_status = c.driver;
    EXPECT_EQ(SgIoTimedOut(c.ioctlResult, c.error, h), c.timedOut);
  }
}

TEST(SgIoVerdict, AllStatusesMustBeGood) {
  struct Case {
    const char* name;
    int ioctlResult;
    unsigned char status;
    unsigned short host, driver;
    bool ok;
  } cases[] = {
      {"good", 0, 0, 0, 0, true},
      {"ioctl failed", -1, 0, 0, 0, false},
      {"check condition", 0, 0x02, 0, 0x08, false},
      {"busy", 0, 0x08, 0, 0, false},
      {"host error (device gone)", 0, 0, 0x01, 0, false},
      {"driver timeout", 0, 0, 0, 0x06, false},
      {"sense alone is not a failure", 0, 0, 0, 0x08, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    sg_io_hdr_t h{};
    h.status = c.status;
    h.host_status = c.host;
    h.driver_status = c.driver;
    EXPECT_EQ(JudgeSgIo(c.ioctlResult, h), c.ok);
  }
}

// The fake kernel: checks the request and answers with a scripted status.
struct FakeKernel {
  static inline unsigned long lastRequest = 0;
  static inline unsigned char status = 0;
  static inline int calls = 0;
  static int Ioctl(int, unsigned long request, void* arg) {
    ++calls;
    lastRequest = request;
    auto* h = static_cast<sg_io_hdr_t*>(arg);
    if (h->dxfer_direction == SG_DXFER_FROM_DEV) static_cast<uint8_t*>(h->dxferp)[0] = 0x5A;
    h->status = status;
    return 0;
  }
};

TEST(SgBackend, SendsThroughTheIoctl) {
  SgBackend backend(::open("/dev/null", O_RDWR), &FakeKernel::Ioctl);
  uint8_t data[2] = {};
  FakeKernel::status = 0;
  EXPECT_TRUE(backend.Execute(Request(DataDirection::In, data, 2)));
  EXPECT_EQ(FakeKernel::lastRequest, unsigned(SG_IO));
  EXPECT_EQ(data[0], 0x5A);
  FakeKernel::status = 0x02;
  EXPECT_FALSE(backend.Execute(Request(DataDirection::None, nullptr, 0)));
  EXPECT_EQ(FakeKernel::calls, 2);
}

TEST(GenericNode, FoundInSysfs) {
  namespace fs = std::filesystem;
  const fs::path root = fs::temp_directory_path() / ("qmr-sysfs-" + std::to_string(::getpid()));
  fs::create_directories(root / "block/sdb/device/scsi_generic/sg3");
  fs::create_directories(root / "block/sdc/device");
  EXPECT_EQ(FindGenericNode(root.string(), "/dev/sdb"), "/dev/sg3");
  EXPECT_EQ(FindGenericNode(root.string(), "sdb"), "/dev/sg3");
  EXPECT_EQ(FindGenericNode(root.string(), "/dev/sdc"), "");
  EXPECT_EQ(FindGenericNode(root.string(), "/dev/sdz"), "");
  fs::remove_all(root);
}

}  // namespace
}  // namespace qmr::linux_sg
