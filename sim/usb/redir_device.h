// One emulated device on the wire: the usbredir protocol's usb-host side on
// a stream socket (QEMU's usb-redir device at the other end), carrying the
// mass-storage function's control and bulk traffic. A device the model
// reports unplugged (by command or by an "unplug" fault) is disconnected from
// the port; plugged again, it connects on the same port.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <string>

#include "bot.h"
#include "scsi_target.h"

struct usbredirparser;
struct usb_redir_hello_header;
struct usb_redir_set_configuration_header;
struct usb_redir_set_alt_setting_header;
struct usb_redir_get_alt_setting_header;
struct usb_redir_control_packet_header;
struct usb_redir_bulk_packet_header;
struct usb_redir_start_interrupt_receiving_header;
struct usb_redir_stop_interrupt_receiving_header;

namespace qmr::sim::usb {

class RedirDevice {
 public:
  using Log = std::function<void(const std::string&)>;

  RedirDevice(int index, std::shared_ptr<VirtualDevice> device, UsbIdentity identity, Log log);
  ~RedirDevice();
  RedirDevice(const RedirDevice&) = delete;
  RedirDevice& operator=(const RedirDevice&) = delete;

  // Takes a new peer connection (non-blocking socket), dropping any old one.
  void Attach(int fd);
  int Fd() const { return fd_; }
  bool WantsWrite() const;
  // False when the peer went away (the socket is closed then).
  bool OnReadable();
  bool OnWritable();

  // The model's plug state as the port should show it: connects or
  // disconnects the device when they differ.
  void Sync();

  VirtualDevice& Model() { return *device_; }
  int Index() const { return index_; }
  bool Connected() const { return connected_; }

 private:
  struct PendingIn {
    uint64_t id;
    uint8_t endpoint;
    uint32_t length;
  };
  void Close();
  void Connect();
  void Disconnect();
  void ServePending();
  void SendBulk(uint64_t id, uint8_t endpoint, uint8_t status, const uint8_t* data, uint32_t length);
  void Flush();

  // usbredirparser callbacks
  static int Read(void* priv, uint8_t* data, int count);
  static int Write(void* priv, uint8_t* data, int count);
  static void OnLog(void* priv, int level, const char* msg);
  static void OnHello(void* priv, usb_redir_hello_header* hello);
  static void OnReset(void* priv);
  static void OnSetConfiguration(void* priv, uint64_t id, usb_redir_set_configuration_header* h);
  static void OnGetConfiguration(void* priv, uint64_t id);
  static void OnSetAltSetting(void* priv, uint64_t id, usb_redir_set_alt_setting_header* h);
  static void OnGetAltSetting(void* priv, uint64_t id, usb_redir_get_alt_setting_header* h);
  static void OnCancel(void* priv, uint64_t id);
  static void OnDisconnectAck(void* priv);
  static void OnControl(void* priv, uint64_t id, usb_redir_control_packet_header* h, uint8_t* data, int length);
  static void OnBulk(void* priv, uint64_t id, usb_redir_bulk_packet_header* h, uint8_t* data, int length);
  static void OnStartInterrupt(void* priv, uint64_t id, usb_redir_start_interrupt_receiving_header* h);
  static void OnStopInterrupt(void* priv, uint64_t id, usb_redir_stop_interrupt_receiving_header* h);

  int index_;
  std::shared_ptr<VirtualDevice> device_;
  ScsiTarget target_;
  MassStorageFunction function_;
  Log log_;
  int fd_ = -1;
  usbredirparser* parser_ = nullptr;
  bool helloDone_ = false;
  bool connected_ = false;
  bool awaitingAck_ = false;  // disconnected; the peer has not confirmed yet
  bool peerGone_ = false;
  std::deque<PendingIn> pending_;
};

}  // namespace qmr::sim::usb
