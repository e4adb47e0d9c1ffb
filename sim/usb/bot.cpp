#include "bot.h"

#include <algorithm>
#include <cstring>

namespace qmr::sim::usb {
namespace {

constexpr uint8_t kCswPassed = 0;
constexpr uint8_t kCswFailed = 1;
constexpr uint8_t kCswPhaseError = 2;

uint32_t Le32(const uint8_t* p) { return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24; }
void PutLe16(std::vector<uint8_t>& v, uint16_t x) {
  v.push_back(uint8_t(x));
  v.push_back(uint8_t(x >> 8));
}
void PutLe32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = uint8_t(v >> (8 * i));
}

std::vector<uint8_t> Clip(std::vector<uint8_t> v, uint16_t length) {
  if (v.size() > length) v.resize(length);
  return v;
}

uint8_t CswStatus(const ScsiResult& r) { return r.status == ScsiTarget::kGood ? kCswPassed : kCswFailed; }

}  // namespace

MassStorageFunction::MassStorageFunction(ScsiTarget& target, UsbIdentity identity)
    : target_(target), identity_(std::move(identity)) {}

std::vector<uint8_t> MassStorageFunction::DeviceDescriptor() const {
  std::vector<uint8_t> d = {18, 0x01};
  PutLe16(d, 0x0200);         // bcdUSB
  d.insert(d.end(), {0, 0, 0});  // class at the interface
  d.push_back(64);            // endpoint 0 packet size
  PutLe16(d, identity_.vendorId);
  PutLe16(d, identity_.productId);
  PutLe16(d, identity_.bcdDevice);
  d.insert(d.end(), {1, 2, uint8_t(identity_.serial.empty() ? 0 : 3), 1});
  return d;
}

std::vector<uint8_t> MassStorageFunction::ConfigurationDescriptor() const {
  std::vector<uint8_t> d = {9, 0x02};
  PutLe16(d, 9 + 9 + 7 + 7);
  d.insert(d.end(), {1, 1, 0, 0x80, 50});                   // 1 interface, value 1, bus powered, 100 mA
  d.insert(d.end(), {9, 0x04, 0, 0, 2, 0x08, 0x06, 0x50, 0});  // mass storage, SCSI transparent, bulk-only
  d.insert(d.end(), {7, 0x05, kBulkIn, 0x02});
  PutLe16(d, kMaxPacket);
  d.push_back(0);
  d.insert(d.end(), {7, 0x05, kBulkOut, 0x02});
  PutLe16(d, kMaxPacket);
  d.push_back(0);
  return d;
}

std::vector<uint8_t> MassStorageFunction::StringDescriptor(uint8_t index) const {
  if (index == 0) return {4, 0x03, 0x09, 0x04};  // US English
  const std::string* text = index == 1 ? &identity_.manufacturer
                            : index == 2 ? &identity_.product
                            : index == 3 && !identity_.serial.empty() ? &identity_.serial
                                                                     : nullptr;
  if (text == nullptr) return {};
  const size_t chars = std::min<size_t>(text->size(), 126);
  std::vector<uint8_t> d = {uint8_t(2 + 2 * chars), 0x03};
  for (size_t i = 0; i < chars; ++i) PutLe16(d, uint8_t((*text)[i]));
  return d;
}

MassStorageFunction::Reply MassStorageFunction::Control(uint8_t requestType, uint8_t request, uint16_t value,
                                                        uint16_t index, uint16_t length, const uint8_t* data) {
  const Reply stall{Result::Stall, {}};
  const Reply ok{Result::Ok, {}};
  const uint8_t endpoint = uint8_t(index & 0xFF);
  switch (requestType) {
    case 0x80:  // standard, device to host, device
      if (request == 0x06) {  // GET_DESCRIPTOR
        std::vector<uint8_t> d;
        switch (value >> 8) {
          case 1:
            d = DeviceDescriptor();
            break;
          case 2:
            if ((value & 0xFF) == 0) d = ConfigurationDescriptor();
            break;
          case 3:
            d = StringDescriptor(uint8_t(value & 0xFF));
            break;
          default:  // no device qualifier: a full-speed-only device
            break;
        }
        if (d.empty()) return stall;
        return {Result::Ok, Clip(std::move(d), length)};
      }
      if (request == 0x00) return {Result::Ok, Clip({0x00, 0x00}, length)};  // GET_STATUS
      if (request == 0x08) return {Result::Ok, Clip({configuration_}, length)};
      return stall;
    case 0x81:  // standard, interface
      if (request == 0x00) return {Result::Ok, Clip({0, 0}, length)};
      if (request == 0x0A && index == 0) return {Result::Ok, Clip({0}, length)};  // GET_INTERFACE
      return stall;
    case 0x82:  // standard, endpoint: GET_STATUS
      if (request != 0x00) return stall;
      if (endpoint == 0 || endpoint == 0x80) return {Result::Ok, Clip({0, 0}, length)};
      if (endpoint != kBulkIn && endpoint != kBulkOut) return stall;
      return {Result::Ok, Clip({uint8_t(Halted(endpoint) ? 1 : 0), 0}, length)};
    case 0x00:  // standard, host to device, device
      if (request == 0x09) return SetConfiguration(uint8_t(value)) ? ok : stall;
      return stall;
    case 0x01:  // SET_INTERFACE
      return request == 0x0B && index == 0 && value == 0 ? ok : stall;
    case 0x02:  // standard, endpoint: CLEAR_FEATURE / SET_FEATURE (ENDPOINT_HALT)
      if ((request != 0x01 && request != 0x03) || value != 0) return stall;
      if (endpoint != kBulkIn && endpoint != kBulkOut) return endpoint == 0 || endpoint == 0x80 ? ok : stall;
      if (request == 0x03) {
        (endpoint == kBulkIn ? haltIn_ : haltOut_) = true;
      } else if (!wedged_) {
        // Until the reset a wedged device keeps both pipes stalled.
        (endpoint == kBulkIn ? haltIn_ : haltOut_) = false;
      }
      return ok;
    case 0xA1:  // class, interface, device to host: GET MAX LUN
      if (request == 0xFE && value == 0 && length >= 1) return {Result::Ok, {uint8_t(target_.LunCount() - 1)}};
      return stall;
    case 0x21:  // class, interface, host to device: BULK-ONLY MASS STORAGE RESET
      if (request == 0xFF && value == 0 && length == 0) {
        TransportReset();
        wedged_ = false;
        return ok;
      }
      return stall;
    default:
      (void)data;
      return stall;
  }
}

void MassStorageFunction::TransportReset() {
  stage_ = Stage::Command;
  data_.clear();
  dataAt_ = 0;
  dataOutWanted_ = 0;
}

void MassStorageFunction::BusReset() {
  TransportReset();
  configuration_ = 0;
  haltIn_ = haltOut_ = wedged_ = false;
  target_.Reset();
}

bool MassStorageFunction::SetConfiguration(uint8_t value) {
  if (value > 1) return false;
  configuration_ = value;
  TransportReset();
  haltIn_ = haltOut_ = wedged_ = false;
  return true;
}

void MassStorageFunction::Wedge() {
  wedged_ = true;
  haltIn_ = haltOut_ = true;
  TransportReset();
}

MassStorageFunction::Result MassStorageFunction::GoSilent() {
  stage_ = Stage::Silent;
  data_.clear();
  dataAt_ = 0;
  return Result::Ok;
}

void MassStorageFunction::Finish(uint8_t status, uint32_t residue) {
  status_ = status;
  residue_ = residue;
  ++commands_;
}

MassStorageFunction::Result MassStorageFunction::TakeCommand(const uint8_t* cbw, uint32_t length) {
  if (length != kCbwLength || Le32(cbw) != kCbwSignature) {
    Wedge();
    return Result::Stall;
  }
  const uint8_t flags = cbw[12];
  const uint8_t lun = cbw[13] & 0x0F;
  const uint8_t cdbLength = cbw[14] & 0x1F;
  if ((flags & 0x7F) != 0 || (cbw[13] & 0xF0) != 0 || (cbw[14] & 0xE0) != 0 || cdbLength == 0 || cdbLength > 16 ||
      lun >= target_.LunCount()) {
    Wedge();  // not meaningful
    return Result::Stall;
  }
  tag_ = Le32(cbw + 4);
  hostLength_ = Le32(cbw + 8);
  lun_ = lun;
  cdbLength_ = cdbLength;
  std::memset(cdb_, 0, sizeof cdb_);
  std::memcpy(cdb_, cbw + 15, cdbLength);
  const bool hostIn = (flags & 0x80) != 0;
  const Phase phase = target_.PhaseOf(cdb_, cdbLength_, hostLength_);
  const bool deviceNone = phase.direction == Direction::None || phase.length == 0;
  data_.clear();
  dataAt_ = 0;

  if (hostLength_ == 0) {
    if (!deviceNone) {  // the host expects no data, the command moves some
      Finish(kCswPhaseError, 0);
    } else {
      const ScsiResult r = target_.Execute(lun_, cdb_, cdbLength_, Direction::None, nullptr, 0);
      if (r.noAnswer) return GoSilent();
      Finish(CswStatus(r), 0);
    }
    stage_ = Stage::Status;
    return Result::Ok;
  }

  if (hostIn) {
    stage_ = Stage::DataIn;
    if (!deviceNone && phase.direction == Direction::Out) {
      Finish(kCswPhaseError, hostLength_);
      return Result::Ok;
    }
    if (deviceNone) {  // the device has nothing to send: it stalls the data phase
      const ScsiResult r = target_.Execute(lun_, cdb_, cdbLength_, Direction::None, nullptr, 0);
      if (r.noAnswer) return GoSilent();
      Finish(CswStatus(r), hostLength_);
      return Result::Ok;
    }
    // The command runs whole, whatever the host takes: the device does not
    // shorten a transfer for a smaller host buffer, it sends what fits.
    data_.assign(phase.length, 0);
    const ScsiResult r = target_.Execute(lun_, cdb_, cdbLength_, Direction::In, data_.data(), phase.length);
    if (r.noAnswer) return GoSilent();
    if (r.status != ScsiTarget::kGood) {
      data_.clear();
      Finish(kCswFailed, hostLength_);
      return Result::Ok;
    }
    data_.resize(std::min<size_t>(r.transferred, hostLength_));
    // The device would send more than the host takes: it sends what fits and says so.
    Finish(phase.length > hostLength_ ? kCswPhaseError : kCswPassed, hostLength_ - uint32_t(data_.size()));
    return Result::Ok;
  }

  // The host sends data.
  if (deviceNone) {
    haltOut_ = true;  // the device takes none of it
    const ScsiResult r = target_.Execute(lun_, cdb_, cdbLength_, Direction::None, nullptr, 0);
    if (r.noAnswer) return GoSilent();
    Finish(CswStatus(r), hostLength_);
    stage_ = Stage::Status;
    return Result::Ok;
  }
  if (phase.direction == Direction::In || hostLength_ < phase.length) {
    haltOut_ = true;
    Finish(kCswPhaseError, hostLength_);
    stage_ = Stage::Status;
    return Result::Ok;
  }
  stage_ = Stage::DataOut;
  dataOutWanted_ = phase.length;
  data_.reserve(dataOutWanted_);
  return Result::Ok;
}

MassStorageFunction::Result MassStorageFunction::BulkOut(const uint8_t* data, uint32_t length) {
  if (haltOut_) return Result::Stall;
  if (stage_ == Stage::Silent) return Result::Ok;  // taken and dropped: nothing comes back
  if (stage_ == Stage::Command) return TakeCommand(data, length);
  if (stage_ != Stage::DataOut) {
    // Out data where none belongs (the CSW is due): the pipe stalls.
    haltOut_ = true;
    return Result::Stall;
  }
  const uint32_t take = std::min<uint32_t>(length, dataOutWanted_ - uint32_t(data_.size()));
  data_.insert(data_.end(), data, data + take);
  if (data_.size() < dataOutWanted_) return Result::Ok;
  const ScsiResult r = target_.Execute(lun_, cdb_, cdbLength_, Direction::Out, data_.data(), dataOutWanted_);
  if (r.noAnswer) {
    GoSilent();
    return Result::Ok;
  }
  const uint32_t moved = r.status == ScsiTarget::kGood ? dataOutWanted_ : 0;
  Finish(CswStatus(r), hostLength_ - moved);
  stage_ = Stage::Status;
  data_.clear();
  // More offered than the command takes: the rest is refused with a stall.
  if (hostLength_ > dataOutWanted_) haltOut_ = true;
  return Result::Ok;
}

MassStorageFunction::Reply MassStorageFunction::BulkIn(uint32_t maxLength) {
  if (haltIn_) return {Result::Stall, {}};
  switch (stage_) {
    case Stage::Command:
    case Stage::DataOut:
    case Stage::Silent:
      return {Result::Pending, {}};
    case Stage::DataIn: {
      const size_t left = data_.size() - dataAt_;
      if (left == 0) {
        // All sent and the host wants more: end the data phase with a stall.
        haltIn_ = true;
        stage_ = Stage::Status;
        return {Result::Stall, {}};
      }
      const size_t n = std::min<size_t>(left, maxLength);
      Reply reply{Result::Ok, std::vector<uint8_t>(data_.begin() + long(dataAt_), data_.begin() + long(dataAt_ + n))};
      dataAt_ += n;
      // A reply shorter than asked ends the data phase; one that fills the
      // request while the host expects more is followed by a stall.
      if (dataAt_ == data_.size() && (dataAt_ == hostLength_ || n < maxLength)) stage_ = Stage::Status;
      return reply;
    }
    case Stage::Status: {
      std::vector<uint8_t> csw(kCswLength, 0);
      PutLe32(csw.data(), kCswSignature);
      PutLe32(csw.data() + 4, tag_);
      PutLe32(csw.data() + 8, residue_);
      csw[12] = status_;
      stage_ = Stage::Command;
      return {Result::Ok, std::move(csw)};
    }
  }
  return {Result::Stall, {}};
}

}  // namespace qmr::sim::usb
