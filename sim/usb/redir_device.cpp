#include "redir_device.h"

#include <usbredirparser.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace qmr::sim::usb {
namespace {

RedirDevice* Self(void* priv) { return static_cast<RedirDevice*>(priv); }

// usbredir's endpoint index: out endpoints 0..15, in endpoints 16..31.
int EndpointIndex(uint8_t endpoint) { return ((endpoint & 0x80) >> 3) | (endpoint & 0x0F); }

}  // namespace

RedirDevice::RedirDevice(int index, std::shared_ptr<VirtualDevice> device, UsbIdentity identity, Log log)
    : index_(index),
      device_(std::move(device)),
      target_(device_, identity.serial),
      function_(target_, std::move(identity)),
      log_(std::move(log)) {}

RedirDevice::~RedirDevice() { Close(); }

void RedirDevice::Close() {
  if (parser_) usbredirparser_destroy(parser_);
  parser_ = nullptr;
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
  helloDone_ = connected_ = awaitingAck_ = false;
  pending_.clear();
}

void RedirDevice::Attach(int fd) {
  Close();
  fd_ = fd;
  peerGone_ = false;
  parser_ = usbredirparser_create();
  parser_->priv = this;
  parser_->log_func = &RedirDevice::OnLog;
  parser_->read_func = &RedirDevice::Read;
  parser_->write_func = &RedirDevice::Write;
  parser_->hello_func = &RedirDevice::OnHello;
  parser_->reset_func = &RedirDevice::OnReset;
  parser_->set_configuration_func = &RedirDevice::OnSetConfiguration;
  parser_->get_configuration_func = &RedirDevice::OnGetConfiguration;
  parser_->set_alt_setting_func = &RedirDevice::OnSetAltSetting;
  parser_->get_alt_setting_func = &RedirDevice::OnGetAltSetting;
  parser_->cancel_data_packet_func = &RedirDevice::OnCancel;
  parser_->device_disconnect_ack_func = &RedirDevice::OnDisconnectAck;
  parser_->control_packet_func = &RedirDevice::OnControl;
  parser_->bulk_packet_func = &RedirDevice::OnBulk;
  parser_->start_interrupt_receiving_func = &RedirDevice::OnStartInterrupt;
  parser_->stop_interrupt_receiving_func = &RedirDevice::OnStopInterrupt;
  uint32_t caps[USB_REDIR_CAPS_SIZE] = {};
  usbredirparser_caps_set_cap(caps, usb_redir_cap_connect_device_version);
  usbredirparser_caps_set_cap(caps, usb_redir_cap_device_disconnect_ack);
  usbredirparser_caps_set_cap(caps, usb_redir_cap_ep_info_max_packet_size);
  usbredirparser_caps_set_cap(caps, usb_redir_cap_64bits_ids);
  usbredirparser_caps_set_cap(caps, usb_redir_cap_32bits_bulk_length);
  usbredirparser_init(parser_, "ardentix-usbemu", caps, USB_REDIR_CAPS_SIZE, usbredirparser_fl_usb_host);
  function_.BusReset();
  Flush();
}

bool RedirDevice::WantsWrite() const { return parser_ && usbredirparser_has_data_to_write(parser_); }

bool RedirDevice::OnReadable() {
  if (!parser_) return false;
  const int rc = usbredirparser_do_read(parser_);
  if (rc == usbredirparser_read_io_error || peerGone_) {
    log_("peer closed the connection");
    Close();
    return false;
  }
  Sync();
  Flush();
  return true;
}

bool RedirDevice::OnWritable() {
  if (!parser_) return false;
  if (usbredirparser_do_write(parser_) != 0) {
    log_("write to the peer failed");
    Close();
    return false;
  }
  return true;
}

void RedirDevice::Flush() {
  if (parser_ && usbredirparser_has_data_to_write(parser_)) usbredirparser_do_write(parser_);
}

void RedirDevice::Sync() {
  if (!parser_ || !helloDone_) return;
  const bool plugged = device_->Plugged();
  if (plugged && !connected_ && !awaitingAck_) Connect();
  if (!plugged && connected_) Disconnect();
  Flush();
}

void RedirDevice::Connect() {
  usb_redir_interface_info_header interfaces{};
  interfaces.interface_count = 1;
  interfaces.interface[0] = 0;
  interfaces.interface_class[0] = 0x08;
  interfaces.interface_subclass[0] = 0x06;
  interfaces.interface_protocol[0] = 0x50;
  usbredirparser_send_interface_info(parser_, &interfaces);

  usb_redir_ep_info_header endpoints{};
  std::memset(endpoints.type, usb_redir_type_invalid, sizeof endpoints.type);
  endpoints.type[0] = endpoints.type[16] = usb_redir_type_control;
  endpoints.max_packet_size[0] = endpoints.max_packet_size[16] = 64;
  for (uint8_t ep : {MassStorageFunction::kBulkIn, MassStorageFunction::kBulkOut}) {
    endpoints.type[EndpointIndex(ep)] = usb_redir_type_bulk;
    endpoints.max_packet_size[EndpointIndex(ep)] = MassStorageFunction::kMaxPacket;
  }
  usbredirparser_send_ep_info(parser_, &endpoints);

  const auto d = function_.DeviceDescriptor();
  usb_redir_device_connect_header connect{};
  connect.speed = usb_redir_speed_full;
  connect.device_class = 0;
  connect.device_subclass = 0;
  connect.device_protocol = 0;
  connect.vendor_id = uint16_t(d[8] | d[9] << 8);
  connect.product_id = uint16_t(d[10] | d[11] << 8);
  connect.device_version_bcd = uint16_t(d[12] | d[13] << 8);
  function_.BusReset();
  usbredirparser_send_device_connect(parser_, &connect);
  connected_ = true;
  log_("connected");
}

void RedirDevice::Disconnect() {
  usbredirparser_send_device_disconnect(parser_);
  connected_ = false;
  awaitingAck_ = usbredirparser_peer_has_cap(parser_, usb_redir_cap_device_disconnect_ack);
  pending_.clear();  // the peer cancels what it had outstanding
  function_.BusReset();
  log_("disconnected");
}

void RedirDevice::SendBulk(uint64_t id, uint8_t endpoint, uint8_t status, const uint8_t* data, uint32_t length) {
  usb_redir_bulk_packet_header h{};
  h.endpoint = endpoint;
  h.status = status;
  h.length = uint16_t(length & 0xFFFF);
  h.length_high = uint16_t(length >> 16);
  usbredirparser_send_bulk_packet(parser_, id, &h, const_cast<uint8_t*>(data), (endpoint & 0x80) ? int(length) : 0);
}

void RedirDevice::ServePending() {
  while (!pending_.empty() && connected_) {
    const PendingIn p = pending_.front();
    auto reply = function_.BulkIn(p.length);
    if (reply.result == MassStorageFunction::Result::Pending) return;
    pending_.pop_front();
    if (reply.result == MassStorageFunction::Result::Stall)
      SendBulk(p.id, p.endpoint, usb_redir_stall, nullptr, 0);
    else
      SendBulk(p.id, p.endpoint, usb_redir_success, reply.data.data(), uint32_t(reply.data.size()));
  }
}

// --- callbacks -----------------------------------------------------------------

int RedirDevice::Read(void* priv, uint8_t* data, int count) {
  RedirDevice* self = Self(priv);
  const ssize_t n = ::read(self->fd_, data, size_t(count));
  if (n > 0) return int(n);
  if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) return 0;
  self->peerGone_ = true;
  return -1;
}

int RedirDevice::Write(void* priv, uint8_t* data, int count) {
  RedirDevice* self = Self(priv);
  const ssize_t n = ::write(self->fd_, data, size_t(count));
  if (n >= 0) return int(n);
  if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) return 0;
  return -1;
}

void RedirDevice::OnLog(void* priv, int level, const char* msg) {
  if (level <= usbredirparser_warning) Self(priv)->log_(std::string("usbredir: ") + msg);
}

void RedirDevice::OnHello(void* priv, usb_redir_hello_header* hello) {
  RedirDevice* self = Self(priv);
  self->helloDone_ = true;
  self->log_(std::string("peer hello: ") + hello->version);
  self->Sync();
}

void RedirDevice::OnReset(void* priv) {
  RedirDevice* self = Self(priv);
  self->pending_.clear();
  self->function_.BusReset();
}

void RedirDevice::OnSetConfiguration(void* priv, uint64_t id, usb_redir_set_configuration_header* h) {
  RedirDevice* self = Self(priv);
  usb_redir_configuration_status_header status{};
  status.status = self->function_.SetConfiguration(h->configuration) ? usb_redir_success : usb_redir_stall;
  status.configuration = self->function_.Configuration();
  self->pending_.clear();
  usbredirparser_send_configuration_status(self->parser_, id, &status);
}

void RedirDevice::OnGetConfiguration(void* priv, uint64_t id) {
  RedirDevice* self = Self(priv);
  usb_redir_configuration_status_header status{};
  status.status = usb_redir_success;
  status.configuration = self->function_.Configuration();
  usbredirparser_send_configuration_status(self->parser_, id, &status);
}

void RedirDevice::OnSetAltSetting(void* priv, uint64_t id, usb_redir_set_alt_setting_header* h) {
  RedirDevice* self = Self(priv);
  usb_redir_alt_setting_status_header status{};
  status.status = h->interface == 0 && h->alt == 0 ? usb_redir_success : usb_redir_inval;
  status.interface = h->interface;
  status.alt = 0;
  usbredirparser_send_alt_setting_status(self->parser_, id, &status);
}

void RedirDevice::OnGetAltSetting(void* priv, uint64_t id, usb_redir_get_alt_setting_header* h) {
  RedirDevice* self = Self(priv);
  usb_redir_alt_setting_status_header status{};
  status.status = h->interface == 0 ? usb_redir_success : usb_redir_inval;
  status.interface = h->interface;
  status.alt = 0;
  usbredirparser_send_alt_setting_status(self->parser_, id, &status);
}

void RedirDevice::OnCancel(void* priv, uint64_t id) {
  RedirDevice* self = Self(priv);
  for (auto it = self->pending_.begin(); it != self->pending_.end(); ++it) {
    if (it->id != id) continue;
    const PendingIn p = *it;
    self->pending_.erase(it);
    self->SendBulk(p.id, p.endpoint, usb_redir_cancelled, nullptr, 0);
    return;
  }
}

void RedirDevice::OnDisconnectAck(void* priv) {
  RedirDevice* self = Self(priv);
  self->awaitingAck_ = false;
  self->Sync();
}

void RedirDevice::OnControl(void* priv, uint64_t id, usb_redir_control_packet_header* h, uint8_t* data, int length) {
  RedirDevice* self = Self(priv);
  usb_redir_control_packet_header reply = *h;
  if (!self->connected_) {
    reply.status = usb_redir_ioerror;
    reply.length = 0;
    usbredirparser_send_control_packet(self->parser_, id, &reply, nullptr, 0);
  } else {
    const bool in = (h->requesttype & 0x80) != 0;
    auto r = self->function_.Control(h->requesttype, h->request, h->value, h->index, h->length, in ? nullptr : data);
    if (r.result != MassStorageFunction::Result::Ok) {
      reply.status = usb_redir_stall;
      reply.length = 0;
      usbredirparser_send_control_packet(self->parser_, id, &reply, nullptr, 0);
    } else if (in) {
      reply.status = usb_redir_success;
      reply.length = uint16_t(r.data.size());
      usbredirparser_send_control_packet(self->parser_, id, &reply, r.data.data(), int(r.data.size()));
    } else {
      reply.status = usb_redir_success;
      reply.length = uint16_t(length);
      usbredirparser_send_control_packet(self->parser_, id, &reply, nullptr, 0);
    }
    // A mass storage reset or a cleared halt may let a waiting request go on.
    self->ServePending();
  }
  if (data) usbredirparser_free_packet_data(self->parser_, data);
}

void RedirDevice::OnBulk(void* priv, uint64_t id, usb_redir_bulk_packet_header* h, uint8_t* data, int length) {
  RedirDevice* self = Self(priv);
  const uint32_t asked = uint32_t(h->length) | uint32_t(h->length_high) << 16;
  const uint8_t endpoint = h->endpoint;
  if (!self->connected_) {
    self->SendBulk(id, endpoint, usb_redir_ioerror, nullptr, 0);
  } else if (endpoint == MassStorageFunction::kBulkIn) {
    self->pending_.push_back({id, endpoint, asked});
    self->ServePending();
  } else if (endpoint == MassStorageFunction::kBulkOut) {
    const auto result = self->function_.BulkOut(data, uint32_t(length));
    if (!self->device_->Plugged()) {
      // The command pulled the device out: no answer, the port goes dark.
      self->Disconnect();
    } else {
      if (result == MassStorageFunction::Result::Stall)
        self->SendBulk(id, endpoint, usb_redir_stall, nullptr, 0);
      else
        self->SendBulk(id, endpoint, usb_redir_success, nullptr, uint32_t(length));
      self->ServePending();
    }
  } else {
    self->SendBulk(id, endpoint, usb_redir_inval, nullptr, 0);
  }
  if (data) usbredirparser_free_packet_data(self->parser_, data);
}

// The function has no interrupt endpoints.
void RedirDevice::OnStartInterrupt(void* priv, uint64_t id, usb_redir_start_interrupt_receiving_header* h) {
  RedirDevice* self = Self(priv);
  usb_redir_interrupt_receiving_status_header status{};
  status.status = usb_redir_inval;
  status.endpoint = h->endpoint;
  usbredirparser_send_interrupt_receiving_status(self->parser_, id, &status);
}

void RedirDevice::OnStopInterrupt(void* priv, uint64_t id, usb_redir_stop_interrupt_receiving_header* h) {
  RedirDevice* self = Self(priv);
  usb_redir_interrupt_receiving_status_header status{};
  status.status = usb_redir_inval;
  status.endpoint = h->endpoint;
  usbredirparser_send_interrupt_receiving_status(self->parser_, id, &status);
}

}  // namespace qmr::sim::usb
