// Per-device results travel as numbers and become text only when shown.
#pragma once

#include <cstdint>
#include <string>

namespace ardentix {

using StatusCode = int32_t;

namespace status {
inline constexpr StatusCode kNoDeviceFound = 4001;
inline constexpr StatusCode kRemoveDevice = 4003;
inline constexpr StatusCode kSuccess = 4004;
inline constexpr StatusCode kFail = 4005;
inline constexpr StatusCode kPending = 4006;  // "---"
inline constexpr StatusCode kEraseFlash = 5001;
inline constexpr StatusCode kEraseSdOk = 5002;
inline constexpr StatusCode kEraseFlashFailed = 5003;
inline constexpr StatusCode kSdWriting = 6003;
inline constexpr StatusCode kSdVerifying = 6004;
inline constexpr StatusCode kSdWriteOk = 6005;
inline constexpr StatusCode kSdWriteFailed = 6006;
inline constexpr StatusCode kSdVerifyFailed = 6007;
inline constexpr StatusCode kFlashWriting = 6009;
inline constexpr StatusCode kFlashVerifying = 6010;
inline constexpr StatusCode kFlashWriteFailed = 6012;
inline constexpr StatusCode kFlashVerifyFailed = 6013;
inline constexpr StatusCode kLockDevice = 6016;
inline constexpr StatusCode kLockFailed = 6017;
inline constexpr StatusCode kUnlockFailed = 6018;
inline constexpr StatusCode kDeviceReady = 6019;
inline constexpr StatusCode kImageLoadFailed = 6024;
inline constexpr StatusCode kPackageLoadFailed = 6025;
inline constexpr StatusCode kDownloadOk = 6026;
inline constexpr StatusCode kSpiTypeError = 6028;
inline constexpr StatusCode kDataTooBig = 6029;
inline constexpr StatusCode kSpiTooSlow = 6030;
inline constexpr StatusCode kSdSizeError = 6062;
inline constexpr StatusCode kSdPreparing = 6070;  // the run's SD image decoded and checked
inline constexpr StatusCode kNotResponding = 6063;  // a command got no answer within its bound
// Another unit stands behind the letter than the one identified: not burned,
// identified anew (the next START burns it with its own serial).
inline constexpr StatusCode kOtherUnit = 6071;
// The drive's logical unit could not be read: it is not burned blind.
inline constexpr StatusCode kLunUnknown = 6072;
}  // namespace status

// The text shown for a code; "" for 0, negative or unknown codes.
std::string StatusText(StatusCode code);

}  // namespace ardentix
