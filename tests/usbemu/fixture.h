// A simulated device behind the SCSI target and the Bulk-Only function, and
// the host's side of the wire: CBWs, data stages and CSWs.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <vector>

#include "bot.h"
#include "scsi_target.h"

namespace qmr::sim::usb::test {

using Bytes = std::vector<uint8_t>;

inline Bytes Cdb(std::initializer_list<int> bytes, size_t length = 16) {
  Bytes c(length, 0);
  size_t i = 0;
  for (int b : bytes) c[i++] = uint8_t(b);
  return c;
}

struct Csw {
  uint32_t signature = 0, tag = 0, residue = 0;
  uint8_t status = 0xFF;
};

class EmulatedDevice {
 public:
  explicit EmulatedDevice(DeviceConfig config = {})
      : model(std::make_shared<VirtualDevice>(config)),
        target(model, "202612000001"),
        function(target, UsbIdentity{0x1209, 0x0001, 0x0100, "Generic", "RQ4820 Disk", "202612000001"}) {
    function.SetConfiguration(1);
  }

  MassStorageFunction::Result SendCbw(const Bytes& cdb, uint32_t hostLength, bool in, uint8_t lun = 0,
                                      uint32_t signature = MassStorageFunction::kCbwSignature) {
    uint8_t cbw[31] = {};
    std::memcpy(cbw, &signature, 4);
    ++tag;
    std::memcpy(cbw + 4, &tag, 4);
    std::memcpy(cbw + 8, &hostLength, 4);
    cbw[12] = in ? 0x80 : 0x00;
    cbw[13] = lun;
    cbw[14] = uint8_t(cdb.size());
    std::memcpy(cbw + 15, cdb.data(), cdb.size());
    return function.BulkOut(cbw, sizeof cbw);
  }

  Csw ReadCsw() {
    auto r = function.BulkIn(MassStorageFunction::kCswLength);
    Csw csw;
    if (r.result != MassStorageFunction::Result::Ok || r.data.size() != 13) return csw;
    std::memcpy(&csw.signature, r.data.data(), 4);
    std::memcpy(&csw.tag, r.data.data() + 4, 4);
    std::memcpy(&csw.residue, r.data.data() + 8, 4);
    csw.status = r.data[12];
    return csw;
  }

  bool ClearHalt(uint8_t endpoint) {
    return function.Control(0x02, 0x01, 0, endpoint, 0, nullptr).result == MassStorageFunction::Result::Ok;
  }

  // A data-in command the host reads in one request of hostLength bytes.
  Bytes In(const Bytes& cdb, uint32_t hostLength, Csw* csw = nullptr, uint8_t lun = 0) {
    EXPECT_EQ(SendCbw(cdb, hostLength, true, lun), MassStorageFunction::Result::Ok);
    auto r = function.BulkIn(hostLength);
    Bytes data;
    if (r.result == MassStorageFunction::Result::Ok) {
      data = r.data;
    } else {
      EXPECT_EQ(r.result, MassStorageFunction::Result::Stall);
      EXPECT_TRUE(ClearHalt(MassStorageFunction::kBulkIn));
    }
    const Csw got = ReadCsw();
    EXPECT_EQ(got.tag, tag);
    if (csw) *csw = got;
    return data;
  }

  Csw Out(const Bytes& cdb, const Bytes& data, uint8_t lun = 0) {
    EXPECT_EQ(SendCbw(cdb, uint32_t(data.size()), false, lun), MassStorageFunction::Result::Ok);
    if (function.BulkOut(data.data(), uint32_t(data.size())) == MassStorageFunction::Result::Stall) {
      EXPECT_TRUE(ClearHalt(MassStorageFunction::kBulkOut));
    }
    return ReadCsw();
  }

  Csw None(const Bytes& cdb, uint8_t lun = 0) {
    EXPECT_EQ(SendCbw(cdb, 0, false, lun), MassStorageFunction::Result::Ok);
    return ReadCsw();
  }

  std::shared_ptr<VirtualDevice> model;
  ScsiTarget target;
  MassStorageFunction function;
  uint32_t tag = 0x1000;
};

}  // namespace qmr::sim::usb::test
