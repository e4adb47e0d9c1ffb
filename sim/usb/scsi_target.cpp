#include "scsi_target.h"

#include <algorithm>
#include <cstring>

namespace qmr::sim::usb {
namespace {

constexpr uint32_t kBlock = 512;
constexpr uint32_t kStandardInquiry = 36;

uint16_t Be16(const uint8_t* p) { return uint16_t(p[0] << 8 | p[1]); }
uint32_t Be32(const uint8_t* p) { return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3]; }
void PutBe32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = uint8_t(v >> (8 * (3 - i)));
}
void PutBe64(uint8_t* p, uint64_t v) {
  for (int i = 0; i < 8; ++i) p[i] = uint8_t(v >> (8 * (7 - i)));
}

// The family's vendor commands (first byte 0xF6) and their data phases, from
// the simulator's command table. A CDB with a wrong fixed byte keeps its
// command's phase, so that the transfer is answered with the refusal.
Phase VendorPhase(const uint8_t* c) {
  const CdbDescription d = DescribeCdb(c);
  if (d.check == CdbCheck::UnknownCommand) return {Direction::None, 0, false};
  return {d.direction, uint32_t(d.length)};
}

// The CDB as the library itself sends the command, which is what the
// virtual device decodes: opcode, address and count in place, rest zero.
void Canonical(const uint8_t* cdb, size_t cdbLength, uint8_t (&out)[16]) {
  std::memset(out, 0, sizeof out);
  out[0] = cdb[0];
  switch (cdb[0]) {
    case 0x12:  // INQUIRY
    case 0x25:  // READ CAPACITY(10)
      out[8] = 1;
      break;
    case 0x28:  // READ(10)
    case 0x2A:  // WRITE(10)
      std::memcpy(out + 2, cdb + 2, 4);
      std::memcpy(out + 7, cdb + 7, 2);
      break;
    default:
      std::memcpy(out, cdb, std::min<size_t>(cdbLength, 16));
      break;
  }
}

}  // namespace

ScsiTarget::ScsiTarget(std::shared_ptr<VirtualDevice> device, std::string serial)
    : device_(std::move(device)), serial_(std::move(serial)) {}

int ScsiTarget::LunCount() const { return device_->config().luns == 2 ? 2 : 1; }

uint64_t ScsiTarget::Sectors(int lun) const {
  return lun == 0 ? device_->config().sdSectors : device_->config().sd2Sectors;
}

Phase ScsiTarget::PhaseOf(const uint8_t* c, size_t cdbLength, uint32_t hostLength) const {
  if (cdbLength == 0) return {Direction::None, 0, false};
  auto need = [&](size_t n) { return cdbLength >= n; };
  switch (c[0]) {
    case 0x00:  // TEST UNIT READY
    case 0x1B:  // START STOP UNIT
    case 0x1E:  // PREVENT ALLOW MEDIUM REMOVAL
      return {Direction::None, 0};
    case 0x35:  // SYNCHRONIZE CACHE(10)
      if (need(10)) return {Direction::None, 0};
      break;
    case 0x03:  // REQUEST SENSE
    case 0x1A:  // MODE SENSE(6)
      if (need(6)) return {Direction::In, c[4]};
      break;
    case 0x12: {  // INQUIRY
      if (!need(6)) break;
      const uint32_t allocation = Be16(c + 3);
      return {Direction::In, allocation != 0 ? allocation : hostLength};
    }
    case 0x5A:  // MODE SENSE(10)
      if (need(10)) return {Direction::In, Be16(c + 7)};
      break;
    case 0x25:  // READ CAPACITY(10)
      if (need(10)) return {Direction::In, 8};
      break;
    case 0x9E:  // SERVICE ACTION IN(16): READ CAPACITY(16)
      if (need(16) && (c[1] & 0x1F) == 0x10) return {Direction::In, Be32(c + 10)};
      break;
    case 0x28:  // READ(10)
      if (need(10)) return {Direction::In, uint32_t(Be16(c + 7)) * kBlock};
      break;
    case 0x2A:  // WRITE(10)
      if (need(10)) return {Direction::Out, uint32_t(Be16(c + 7)) * kBlock};
      break;
    case 0xF6:
      if (need(16)) return VendorPhase(c);
      break;
    default:
      break;
  }
  return {Direction::None, 0, false};
}

Sense ScsiTarget::PendingSense(int lun) const { return lun >= 0 && lun < 2 ? sense_[size_t(lun)] : sense::kNone; }

void ScsiTarget::Reset() { sense_ = {}; }

ScsiResult ScsiTarget::Fail(int lun, Sense s) {
  if (lun >= 0 && lun < 2) sense_[size_t(lun)] = s;
  return {kCheckCondition, 0};
}

ScsiResult ScsiTarget::NoAnswer() {
  ScsiResult r;
  r.noAnswer = true;
  return r;
}

ScsiResult ScsiTarget::Good(int lun, uint32_t transferred) {
  if (lun >= 0 && lun < 2) sense_[size_t(lun)] = sense::kNone;
  return {kGood, transferred};
}

ScsiResult ScsiTarget::Execute(int lun, const uint8_t* cdb, size_t cdbLength, Direction direction, uint8_t* buffer,
                               uint32_t length) {
  if (cdb == nullptr || cdbLength == 0) return Fail(lun, sense::kInvalidOpcode);
  if (length > 0 && buffer == nullptr) return Fail(lun, sense::kInvalidField);
  // A stalled controller answers nothing, not even what this target
  // answers on the device's behalf.
  if (device_->Stalled()) return NoAnswer();
  if (cdb[0] == 0x03) return RequestSense(lun, cdb, buffer, length);
  if (lun < 0 || lun >= LunCount()) {
    if (cdb[0] != 0x12) return Fail(lun, sense::kLunNotSupported);
    // A unit that is not there: peripheral qualifier 3, no device type.
    std::memset(buffer, 0, length);
    if (length > 0) buffer[0] = 0x7F;
    return Good(lun, std::min<uint32_t>(length, kStandardInquiry));
  }
  const Phase phase = PhaseOf(cdb, cdbLength, length);
  if (!phase.known) return Fail(lun, sense::kInvalidOpcode);
  switch (cdb[0]) {
    case 0x00:
    case 0x1B:
    case 0x1E:
    case 0x35:
      return Good(lun, 0);
    case 0x12:
      return Inquiry(lun, cdb, buffer, length);
    case 0x1A:
      return ModeSense(lun, cdb, false, buffer, length);
    case 0x5A:
      return ModeSense(lun, cdb, true, buffer, length);
    case 0x9E:
      return ReadCapacity16(lun, cdb, buffer, length);
    case 0x28:
    case 0x2A: {
      const uint64_t lba = Be32(cdb + 2);
      const uint64_t count = Be16(cdb + 7);
      if (lba + count > Sectors(lun)) return Fail(lun, sense::kLbaOutOfRange);
      if (count == 0) return Good(lun, 0);
      return PassThrough(lun, cdb, cdbLength, direction, buffer, length);
    }
    default:
      return PassThrough(lun, cdb, cdbLength, direction, buffer, length);
  }
}

ScsiResult ScsiTarget::PassThrough(int lun, const uint8_t* cdb, size_t cdbLength, Direction direction,
                                   uint8_t* buffer, uint32_t length) {
  uint8_t c[16];
  Canonical(cdb, cdbLength, c);
  // The emulator serves every port from one loop: a stall is noticed at
  // once and the command left unanswered, never waited out here.
  switch (device_->Run(lun, c, direction, length > 0 ? buffer : nullptr, length, kStallNoticeMs)) {
    case CommandResult::Good:
      return Good(lun, length);
    case CommandResult::TimedOut:
      return NoAnswer();
    case CommandResult::UnknownCommand:
      return Fail(lun, sense::kInvalidOpcode);
    case CommandResult::InvalidField:
    case CommandResult::PhaseMismatch:
      return Fail(lun, sense::kInvalidField);
    case CommandResult::OutOfRange:
      return Fail(lun, sense::kLbaOutOfRange);
    case CommandResult::FlashBusy:
      return Fail(lun, sense::kOperationInProgress);
    case CommandResult::Failed:
    case CommandResult::Gone:
      break;
  }
  switch (cdb[0]) {
    case 0x28:
      return Fail(lun, sense::kReadError);
    case 0x2A:
      return Fail(lun, sense::kWriteError);
    default:
      return Fail(lun, sense::kTargetFailure);
  }
}

ScsiResult ScsiTarget::Inquiry(int lun, const uint8_t* cdb, uint8_t* buffer, uint32_t length) {
  if (cdb[1] & 0x01) {  // vital product data
    std::string page;
    switch (cdb[2]) {
      case 0x00:
        page = std::string("\x00\x00\x00\x02\x00\x80", 6);
        break;
      case 0x80:
        page = std::string("\x00\x80\x00", 3) + char(serial_.size()) + serial_;
        break;
      default:
        return Fail(lun, sense::kInvalidField);
    }
    const uint32_t n = std::min<uint32_t>(length, uint32_t(page.size()));
    std::memcpy(buffer, page.data(), n);
    return Good(lun, n);
  }
  if (cdb[2] != 0) return Fail(lun, sense::kInvalidField);
  uint8_t data[kStandardInquiry] = {};
  uint8_t c[16];
  Canonical(cdb, 6, c);
  if (!device_->Execute(lun, c, Direction::In, data, sizeof data)) return Fail(lun, sense::kTargetFailure);
  const uint32_t n = std::min<uint32_t>(length, sizeof data);
  std::memcpy(buffer, data, n);
  return Good(lun, n);
}

ScsiResult ScsiTarget::ModeSense(int lun, const uint8_t* cdb, bool ten, uint8_t* buffer, uint32_t length) {
  const uint8_t page = cdb[2] & 0x3F;
  const uint8_t control = cdb[2] >> 6;  // 0 current, 1 changeable, 2 default, 3 saved
  if (control == 3) return Fail(lun, Sense{0x05, 0x39, 0x00});
  std::string pages;
  auto add = [&](uint8_t code, uint8_t bodyLength) {
    std::string p(size_t(bodyLength) + 2, '\0');
    p[0] = char(code);
    p[1] = char(bodyLength);
    pages += p;  // write cache off, no exceptions reporting: all zero
  };
  if (page == 0x08 || page == 0x3F) add(0x08, 0x12);
  if (page == 0x1C || page == 0x3F) add(0x1C, 0x0A);
  if (pages.empty()) return Fail(lun, sense::kInvalidField);
  std::string header(ten ? 8 : 4, '\0');
  const size_t total = header.size() + pages.size();
  if (ten) {
    header[0] = char((total - 2) >> 8);
    header[1] = char((total - 2) & 0xFF);
  } else {
    header[0] = char(total - 1);
  }
  const std::string answer = header + pages;
  const uint32_t n = std::min<uint32_t>(length, uint32_t(answer.size()));
  std::memcpy(buffer, answer.data(), n);
  return Good(lun, n);
}

ScsiResult ScsiTarget::ReadCapacity16(int lun, const uint8_t*, uint8_t* buffer, uint32_t length) {
  uint8_t data[32] = {};
  const uint64_t sectors = Sectors(lun);
  PutBe64(data, sectors == 0 ? 0 : sectors - 1);
  PutBe32(data + 8, kBlock);
  const uint32_t n = std::min<uint32_t>(length, sizeof data);
  std::memcpy(buffer, data, n);
  return Good(lun, n);
}

ScsiResult ScsiTarget::RequestSense(int lun, const uint8_t* cdb, uint8_t* buffer, uint32_t length) {
  const Sense s = lun >= 0 && lun < LunCount() ? PendingSense(lun) : sense::kLunNotSupported;
  uint8_t data[18] = {};
  data[0] = 0x70;  // current error, fixed format
  data[2] = s.key;
  data[7] = 10;  // additional length
  data[12] = s.asc;
  data[13] = s.ascq;
  const uint32_t n = std::min<uint32_t>(length, sizeof data);
  if (n > 0) std::memcpy(buffer, data, n);
  if (lun >= 0 && lun < 2) sense_[size_t(lun)] = sense::kNone;
  return {kGood, n};
}

}  // namespace qmr::sim::usb
