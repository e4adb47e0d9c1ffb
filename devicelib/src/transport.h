// The one operation every device command goes through: send a 16-byte CDB
// with at most one data phase and report whether the device accepted it.
#pragma once

#include <cstdint>
#include <memory>

namespace qmr {

enum class DataDirection : uint8_t { In, Out, None };

// Commands block for up to 4000 seconds (some firmware erases are that slow).
constexpr uint32_t kCommandTimeoutSeconds = 4000;

struct ScsiRequest {
  uint8_t cdb[16] = {};
  DataDirection direction = DataDirection::None;
  uint8_t* buffer = nullptr;  // caller's buffer, used directly; null when no data phase
  uint32_t length = 0;        // data-phase bytes, 0 when none
  uint32_t timeoutSeconds = kCommandTimeoutSeconds;
};

// One opened device volume. Each OS (and the simulator) supplies its own.
class Backend {
 public:
  virtual ~Backend() = default;
  // Sends the command; true only when the platform call and the device both
  // report success.
  virtual bool Execute(const ScsiRequest& request) = 0;
};

// A device handle is one of two things. A simulated device's handle (and on
// systems other than Windows every handle) is a record of the library, a
// DeviceHandle, known by its address. On Windows a real device's handle is
// the volume handle itself, so that the volume lock (FSCTL_LOCK_VOLUME) and
// the pass-through go through the same handle and CloseHandle closes it.
struct DeviceHandle {
  char letter = 0;
  std::unique_ptr<Backend> backend;
};

void* InvalidHandle();
bool IsInvalidHandle(void* handle);

// Wraps a backend into a record handle that the exports accept. Never fails.
void* MakeHandle(char letter, std::unique_ptr<Backend> backend);
// Closes a record handle or, on Windows, a volume handle.
void CloseHandle(void* handle);

// Chooses the data phase: data in when inLength > 0 and inBuffer is given,
// else data out when outLength > 0 and outBuffer is given, else none.
ScsiRequest BuildRequest(const uint8_t cdb[16], uint8_t* inBuffer, int inLength, uint8_t* outBuffer,
                         int outLength);

// Returns 1 when the device accepted the command, 0 otherwise (also for the
// invalid handle, which sends nothing).
int SendScsiCommand(void* handle, const uint8_t cdb[16], uint8_t* inBuffer, int inLength,
                    uint8_t* outBuffer, int outLength);

}  // namespace qmr
