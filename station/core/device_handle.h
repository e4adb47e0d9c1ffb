// An opened device that closes itself: every road out of a function that
// opened one closes it, and a handle is closed exactly once.
#pragma once

#include <utility>

#include "QMR52916LIB.h"
#include "QMR52916LIB_ext.h"

namespace ardentix {

class DeviceHandle {
 public:
  DeviceHandle() = default;
  explicit DeviceHandle(void* h) : h_(h) {}
  ~DeviceHandle() { Close(); }
  DeviceHandle(DeviceHandle&& other) noexcept : h_(std::exchange(other.h_, QMR_INVALID_HANDLE)) {}
  DeviceHandle& operator=(DeviceHandle&& other) noexcept {
    if (this != &other) {
      Close();
      h_ = std::exchange(other.h_, QMR_INVALID_HANDLE);
    }
    return *this;
  }
  DeviceHandle(const DeviceHandle&) = delete;
  DeviceHandle& operator=(const DeviceHandle&) = delete;

  // The vendor open (the identify check) and the plain one.
  static DeviceHandle Open(char letter) { return DeviceHandle(TVQ_OpenDevice(letter)); }
  static DeviceHandle OpenPlain(char letter) { return DeviceHandle(USB_OpenDevice(letter)); }

  void* get() const { return h_; }
  bool valid() const { return h_ != QMR_INVALID_HANDLE; }
  explicit operator bool() const { return valid(); }
  void Close() {
    if (valid()) QMR_CloseDevice(std::exchange(h_, QMR_INVALID_HANDLE));
  }

 private:
  void* h_ = QMR_INVALID_HANDLE;
};

}  // namespace ardentix
