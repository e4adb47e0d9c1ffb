// A simulated device as a SCSI target on a real host's storage stack: the
// family's own commands go to the virtual device unchanged, and the standard
// commands that a host's disk driver sends at attach and during use get the
// answers a real USB disk gives. Failures come back as CHECK CONDITION with
// sense data, kept for REQUEST SENSE.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>

#include "sim/sim.h"

namespace qmr::sim::usb {

// The data phase a command asks for, as the device reads its CDB.
struct Phase {
  Direction direction = Direction::None;
  uint32_t length = 0;  // bytes; for data in, the most the device sends
  bool known = true;    // false: the device does not implement the command
};

struct Sense {
  uint8_t key = 0;
  uint8_t asc = 0;
  uint8_t ascq = 0;
};

namespace sense {
constexpr Sense kNone{0, 0, 0};
constexpr Sense kInvalidOpcode{0x05, 0x20, 0x00};
constexpr Sense kInvalidField{0x05, 0x24, 0x00};
constexpr Sense kLbaOutOfRange{0x05, 0x21, 0x00};
constexpr Sense kLunNotSupported{0x05, 0x25, 0x00};
constexpr Sense kReadError{0x03, 0x11, 0x00};
constexpr Sense kWriteError{0x03, 0x0C, 0x00};
constexpr Sense kTargetFailure{0x04, 0x44, 0x00};
constexpr Sense kOperationInProgress{0x02, 0x04, 0x07};  // not ready: the flash erase still runs
}  // namespace sense

struct ScsiResult {
  uint8_t status = 0;        // 0 GOOD, 2 CHECK CONDITION
  uint32_t transferred = 0;  // data-phase bytes the device moved
  bool noAnswer = false;     // the device stalls: no data, no status, until the host resets or it ends
};

class ScsiTarget {
 public:
  static constexpr uint8_t kGood = 0x00;
  static constexpr uint8_t kCheckCondition = 0x02;

  // serial: the unit serial number page's text (the USB serial).
  ScsiTarget(std::shared_ptr<VirtualDevice> device, std::string serial);

  int LunCount() const;

  // What the command's data phase is, from its CDB alone. hostLength is the
  // transfer the host offers; the family's INQUIRY, sent with an allocation
  // length of 0, answers into whatever the host offers.
  Phase PhaseOf(const uint8_t* cdb, size_t cdbLength, uint32_t hostLength) const;

  // Runs one command. For data out, buffer holds length bytes from the host;
  // for data in, the device fills up to length bytes of it.
  ScsiResult Execute(int lun, const uint8_t* cdb, size_t cdbLength, Direction direction, uint8_t* buffer,
                     uint32_t length);

  // The sense of the last command of a unit that failed, until REQUEST SENSE
  // reads it or a command succeeds.
  Sense PendingSense(int lun) const;

  // A bus reset or power cycle forgets pending sense.
  void Reset();

 private:
  static constexpr uint32_t kStallNoticeMs = 1;
  ScsiResult Fail(int lun, Sense s);
  static ScsiResult NoAnswer();
  ScsiResult Good(int lun, uint32_t transferred);
  ScsiResult Inquiry(int lun, const uint8_t* cdb, uint8_t* buffer, uint32_t length);
  ScsiResult ModeSense(int lun, const uint8_t* cdb, bool ten, uint8_t* buffer, uint32_t length);
  ScsiResult ReadCapacity16(int lun, const uint8_t* cdb, uint8_t* buffer, uint32_t length);
  ScsiResult RequestSense(int lun, const uint8_t* cdb, uint8_t* buffer, uint32_t length);
  ScsiResult PassThrough(int lun, const uint8_t* cdb, size_t cdbLength, Direction direction, uint8_t* buffer,
                         uint32_t length);
  uint64_t Sectors(int lun) const;

  std::shared_ptr<VirtualDevice> device_;
  std::string serial_;
  std::array<Sense, 2> sense_{};
};

}  // namespace qmr::sim::usb
