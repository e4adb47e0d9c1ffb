// A USB mass-storage function, Bulk-Only Transport, in front of a SCSI
// target: the descriptors, the standard and class control requests, and the
// CBW / data / CSW sequence with residues, stalls and phase errors. It knows
// nothing of how packets travel; the usbredir link (or a test) drives it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "scsi_target.h"

namespace qmr::sim::usb {

struct UsbIdentity {
  uint16_t vendorId = 0x1209;  // pid.codes, test product ids
  uint16_t productId = 0x0001;
  uint16_t bcdDevice = 0x0100;
  std::string manufacturer = "Generic";
  std::string product = "RQ4820 Disk";
  std::string serial;  // the iSerialNumber string
};

class MassStorageFunction {
 public:
  static constexpr uint8_t kBulkIn = 0x81;
  static constexpr uint8_t kBulkOut = 0x02;
  static constexpr uint16_t kMaxPacket = 64;  // full speed: the only speed a QEMU hub port takes
  static constexpr uint32_t kCbwSignature = 0x43425355;
  static constexpr uint32_t kCswSignature = 0x53425355;
  static constexpr uint32_t kCbwLength = 31;
  static constexpr uint32_t kCswLength = 13;

  enum class Result { Ok, Stall, Pending };

  struct Reply {
    Result result = Result::Ok;
    std::vector<uint8_t> data;  // control and bulk in: what the device sends
  };

  MassStorageFunction(ScsiTarget& target, UsbIdentity identity);

  std::vector<uint8_t> DeviceDescriptor() const;
  std::vector<uint8_t> ConfigurationDescriptor() const;
  // Index 0: the language list; 1 manufacturer, 2 product, 3 serial.
  std::vector<uint8_t> StringDescriptor(uint8_t index) const;

  // One control transfer on endpoint 0. data: the host's data stage for
  // host-to-device requests.
  Reply Control(uint8_t requestType, uint8_t request, uint16_t value, uint16_t index, uint16_t length,
                const uint8_t* data);

  // A packet from the host on the bulk out endpoint. Ok: taken whole.
  Result BulkOut(const uint8_t* data, uint32_t length);
  // The host asks for up to maxLength bytes on the bulk in endpoint. Pending:
  // nothing to send yet (a real device NAKs); ask again after the next out.
  Reply BulkIn(uint32_t maxLength);

  // USB port reset: unconfigured, transport idle, halts cleared.
  void BusReset();
  // SET_CONFIGURATION: 0 or 1; false for any other value.
  bool SetConfiguration(uint8_t value);
  uint8_t Configuration() const { return configuration_; }
  bool Halted(uint8_t endpoint) const { return endpoint == kBulkIn ? haltIn_ : endpoint == kBulkOut ? haltOut_ : false; }
  // Commands completed since attach (for logs).
  uint64_t Commands() const { return commands_; }

 private:
  // Silent: the device stalled on the command; it sends nothing more for it
  // (no data, no CSW) until a reset.
  enum class Stage { Command, DataIn, DataOut, Status, Silent };
  void TransportReset();
  Result TakeCommand(const uint8_t* cbw, uint32_t length);
  void Finish(uint8_t status, uint32_t residue);
  Result GoSilent();
  void Wedge();

  ScsiTarget& target_;
  UsbIdentity identity_;
  uint8_t configuration_ = 0;
  bool haltIn_ = false;
  bool haltOut_ = false;
  bool wedged_ = false;  // an invalid CBW: stalled until a Bulk-Only Mass Storage Reset

  Stage stage_ = Stage::Command;
  uint32_t tag_ = 0;
  uint32_t hostLength_ = 0;  // dCBWDataTransferLength
  uint8_t lun_ = 0;
  uint8_t cdb_[16] = {};
  uint8_t cdbLength_ = 0;
  std::vector<uint8_t> data_;  // data in to send, or data out gathered
  size_t dataAt_ = 0;
  uint32_t dataOutWanted_ = 0;
  uint8_t status_ = 0;
  uint32_t residue_ = 0;
  uint64_t commands_ = 0;
};

}  // namespace qmr::sim::usb
