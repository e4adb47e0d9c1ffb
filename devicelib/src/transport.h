// The one operation every device command goes through: send a 16-byte CDB
// with at most one data phase and report whether the device accepted it.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>

namespace qmr {

enum class DataDirection : uint8_t { In, Out, None };

// Commands block for up to 4000 seconds unless the caller sets a shorter
// time (some firmware erases are that slow, and line software relies on it).
constexpr uint32_t kDefaultCommandTimeoutMs = 4000u * 1000u;

struct ScsiRequest {
  uint8_t cdb[16] = {};
  DataDirection direction = DataDirection::None;
  uint8_t* buffer = nullptr;  // caller's buffer, used directly; null when no data phase
  uint32_t length = 0;        // data-phase bytes, 0 when none
  uint32_t timeoutMs = kDefaultCommandTimeoutMs;
};

// One opened device volume. Each OS (and the simulator) supplies its own.
class Backend {
 public:
  virtual ~Backend() = default;
  // Sends the command; true only when the platform call and the device both
  // report success.
  virtual bool Execute(const ScsiRequest& request) = 0;
  // After a failed Execute: whether the device did not answer within the
  // request's timeout (as opposed to answering with an error).
  virtual bool TimedOut() const { return false; }
};

// A device handle is one of two things. A simulated device's handle (and on
// systems other than Windows every handle) is a record of the library, a
// DeviceHandle, known by its address. On Windows a real device's handle is
// the volume handle itself, so that the volume lock (FSCTL_LOCK_VOLUME) and
// the pass-through go through the same handle and CloseHandle closes it.
struct DeviceHandle {
  char letter = 0;
  std::unique_ptr<Backend> backend;
  std::atomic<uint32_t> timeoutMs{kDefaultCommandTimeoutMs};
  std::atomic<bool> lastTimedOut{false};
};

// The timeout new handles start with (and their open's identify command
// uses); kDefaultCommandTimeoutMs until a caller changes it. 0 restores it.
void SetDefaultCommandTimeout(uint32_t milliseconds);
uint32_t DefaultCommandTimeout();
// A handle's own timeout; false for a handle that is not open.
bool SetCommandTimeout(void* handle, uint32_t milliseconds);
uint32_t CommandTimeout(void* handle);  // 0 for a handle that is not open
// Whether the last command on the handle ended without an answer in time.
bool LastCommandTimedOut(void* handle);

void* InvalidHandle();
bool IsInvalidHandle(void* handle);

// Wraps a backend into a record handle that the exports accept. Never fails.
void* MakeHandle(char letter, std::unique_ptr<Backend> backend);
// Closes a record handle or, on Windows, a volume handle.
void CloseHandle(void* handle);

// Chooses the data phase: data in when inLength > 0 and inBuffer is given,
// else data out when outLength > 0 and outBuffer is given, else none.
ScsiRequest BuildRequest(const uint8_t cdb[16], uint8_t* inBuffer, int inLength, uint8_t* outBuffer,
                         int outLength, uint32_t timeoutMs = kDefaultCommandTimeoutMs);

// Returns 1 when the device accepted the command, 0 otherwise (also for the
// invalid handle, which sends nothing).
int SendScsiCommand(void* handle, const uint8_t cdb[16], uint8_t* inBuffer, int inLength,
                    uint8_t* outBuffer, int outLength);

}  // namespace qmr
