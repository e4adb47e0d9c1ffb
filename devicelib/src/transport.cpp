#include "transport.h"

#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <unordered_set>

#include "QMR52916LIB_ext.h"
#include "simroute.h"
#include "trace.h"

#if defined(_WIN32)
#include "platform/windows_sptd.h"
#endif

namespace qmr {
namespace {

// The record handles alive now. A handle is looked up here before it is
// used, so a stale or foreign value is never read as a record.
struct Records {
  std::mutex mutex;
  std::unordered_set<void*> live;
};

Records& LiveRecords() {
  static Records* records = new Records;  // outlives handles closed at process exit
  return *records;
}

// The record behind a handle, or null when the handle is not a live record.
// The caller owns the handle, so the record stays valid while it is used.
DeviceHandle* FindRecord(void* handle) {
  Records& r = LiveRecords();
  std::lock_guard lock(r.mutex);
  return r.live.count(handle) ? static_cast<DeviceHandle*>(handle) : nullptr;
}

std::atomic<uint32_t> defaultTimeoutMs{kDefaultCommandTimeoutMs};

}  // namespace

void SetDefaultCommandTimeout(uint32_t milliseconds) {
  defaultTimeoutMs = milliseconds == 0 ? kDefaultCommandTimeoutMs : milliseconds;
}

uint32_t DefaultCommandTimeout() { return defaultTimeoutMs.load(); }

bool SetCommandTimeout(void* handle, uint32_t milliseconds) {
  if (IsInvalidHandle(handle)) return false;
  const uint32_t ms = milliseconds == 0 ? DefaultCommandTimeout() : milliseconds;
  if (DeviceHandle* h = FindRecord(handle)) {
    h->timeoutMs = ms;
    return true;
  }
#if defined(_WIN32)
  return windows_sptd::SetVolumeTimeout(handle, ms);
#else
  return false;
#endif
}

uint32_t CommandTimeout(void* handle) {
  if (IsInvalidHandle(handle)) return 0;
  if (DeviceHandle* h = FindRecord(handle)) return h->timeoutMs.load();
#if defined(_WIN32)
  return windows_sptd::VolumeTimeout(handle);
#else
  return 0;
#endif
}

bool LastCommandTimedOut(void* handle) {
  if (IsInvalidHandle(handle)) return false;
  if (DeviceHandle* h = FindRecord(handle)) return h->lastTimedOut.load();
#if defined(_WIN32)
  return windows_sptd::VolumeTimedOut(handle);
#else
  return false;
#endif
}

void* InvalidHandle() { return reinterpret_cast<void*>(~uintptr_t{0}); }

bool IsInvalidHandle(void* handle) { return handle == nullptr || handle == InvalidHandle(); }

void* MakeHandle(char letter, std::unique_ptr<Backend> backend) {
  auto* h = new DeviceHandle;
  h->letter = letter;
  h->backend = std::move(backend);
  h->timeoutMs = DefaultCommandTimeout();
  Records& r = LiveRecords();
  std::lock_guard lock(r.mutex);
  r.live.insert(h);
  return h;
}

void CloseHandle(void* handle) {
  if (IsInvalidHandle(handle)) return;
  {
    Records& r = LiveRecords();
    std::lock_guard lock(r.mutex);
    if (r.live.erase(handle) == 1) {
      delete static_cast<DeviceHandle*>(handle);
      return;
    }
  }
#if defined(_WIN32)
  windows_sptd::CloseVolume(handle);
#endif
  // Elsewhere a value that is not a live record is not ours: leave it alone.
}

ScsiRequest BuildRequest(const uint8_t cdb[16], uint8_t* inBuffer, int inLength, uint8_t* outBuffer,
                         int outLength, uint32_t timeoutMs) {
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
  r.timeoutMs = timeoutMs == 0 ? kDefaultCommandTimeoutMs : timeoutMs;
  return r;
}

int SendScsiCommand(void* handle, const uint8_t cdb[16], uint8_t* inBuffer, int inLength,
                    uint8_t* outBuffer, int outLength) {
  if (IsInvalidHandle(handle) || !LibraryUsable()) return 0;
  char letter = 0;
  bool ok = false;
  ScsiRequest request;
  if (DeviceHandle* h = FindRecord(handle)) {
    if (!h->backend) return 0;
    letter = h->letter;
    request = BuildRequest(cdb, inBuffer, inLength, outBuffer, outLength, h->timeoutMs.load());
    ok = h->backend->Execute(request);
    h->lastTimedOut = !ok && h->backend->TimedOut();
  } else {
#if defined(_WIN32)
    letter = windows_sptd::LetterOf(handle);
    request = BuildRequest(cdb, inBuffer, inLength, outBuffer, outLength, windows_sptd::VolumeTimeout(handle));
    ok = windows_sptd::SendToVolume(handle, request);
#else
    return 0;
#endif
  }
  TraceCommand(letter, request, ok);
  return ok ? 1 : 0;
}

}  // namespace qmr

extern "C" QMR_API void QMR_CloseDevice(void* handle) { qmr::CloseHandle(handle); }

extern "C" QMR_API void QMR_SetDefaultCommandTimeout(unsigned long milliseconds) {
  qmr::SetDefaultCommandTimeout(uint32_t(std::min<unsigned long>(milliseconds, UINT32_MAX)));
}

extern "C" QMR_API unsigned long QMR_GetDefaultCommandTimeout(void) { return qmr::DefaultCommandTimeout(); }

extern "C" QMR_API int QMR_SetCommandTimeout(void* handle, unsigned long milliseconds) {
  return qmr::SetCommandTimeout(handle, uint32_t(std::min<unsigned long>(milliseconds, UINT32_MAX))) ? 1 : 0;
}

extern "C" QMR_API unsigned long QMR_GetCommandTimeout(void* handle) { return qmr::CommandTimeout(handle); }

extern "C" QMR_API int QMR_CommandTimedOut(void* handle) { return qmr::LastCommandTimedOut(handle) ? 1 : 0; }

extern "C" QMR_API int QMR_OpenHandleCount(void) {
  qmr::Records& r = qmr::LiveRecords();
  std::lock_guard lock(r.mutex);
  return int(r.live.size());
}
