#include "transport.h"

#include <cstring>

#include "QMR52916LIB_ext.h"
#include "trace.h"

namespace qmr {

void* InvalidHandle() { return reinterpret_cast<void*>(~uintptr_t{0}); }

bool IsInvalidHandle(void* handle) { return handle == nullptr || handle == InvalidHandle(); }

void* MakeHandle(char letter, std::unique_ptr<Backend> backend) {
  auto* h = new DeviceHandle;
  h->letter = letter;
  h->backend = std::move(backend);
  return h;
}

void CloseHandle(void* handle) {
  if (IsInvalidHandle(handle)) return;
  auto* h = static_cast<DeviceHandle*>(handle);
  if (h->magic != DeviceHandle::kMagic) return;  // not one of ours: leave it alone
  h->magic = 0;
  delete h;
}

ScsiRequest BuildRequest(const uint8_t cdb[16], uint8_t* inBuffer, int inLength, uint8_t* outBuffer,
                         int outLength) {
  ScsiRequest r;
  std::memcpy(r.cdb, cdb, 16);
  if (inLength > 0 && inBuffer != nullptr) {
    r.direction = DataDirection::In;
    r.buffer = inBuffer;
    r.length = static_cast<uint32_t>(inLength);
  } else if (outLength > 0 && outBuffer != nullptr) {
    r.direction = DataDirection::Out;
    r.buffer = outBuffer;
    r.length = static_cast<uint32_t>(outLength);
  } else {
    r.direction = DataDirection::None;
  }
  r.timeoutSeconds = kCommandTimeoutSeconds;
  return r;
}

int SendScsiCommand(void* handle, const uint8_t cdb[16], uint8_t* inBuffer, int inLength,
                    uint8_t* outBuffer, int outLength) {
  if (IsInvalidHandle(handle)) return 0;
  auto* h = static_cast<DeviceHandle*>(handle);
  if (h->magic != DeviceHandle::kMagic || !h->backend) return 0;
  const ScsiRequest request = BuildRequest(cdb, inBuffer, inLength, outBuffer, outLength);
  const bool ok = h->backend->Execute(request);
  TraceCommand(h->letter, request, ok);
  return ok ? 1 : 0;
}

}  // namespace qmr

extern "C" QMR_API void QMR_CloseDevice(void* handle) { qmr::CloseHandle(handle); }
