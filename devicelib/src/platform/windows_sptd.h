// Windows transport: IOCTL_SCSI_PASS_THROUGH_DIRECT on the volume "\\.\E:".
// The record is built by portable code so that it is tested on any host.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "../transport.h"

#if defined(_WIN32)
#include <windows.h>
#include <ntddscsi.h>
#else
// Same field types and order as the Windows SDK's structure, so that sizes
// and offsets on this host follow the same rules as on Windows.
using UCHAR = unsigned char;
using USHORT = unsigned short;
using ULONG = uint32_t;
using PVOID = void*;
struct SCSI_PASS_THROUGH_DIRECT {
  USHORT Length;
  UCHAR ScsiStatus;
  UCHAR PathId;
  UCHAR TargetId;
  UCHAR Lun;
  UCHAR CdbLength;
  UCHAR SenseInfoLength;
  UCHAR DataIn;
  ULONG DataTransferLength;
  ULONG TimeOutValue;
  PVOID DataBuffer;
  ULONG SenseInfoOffset;
  UCHAR Cdb[16];
};
#endif

namespace qmr::windows_sptd {

constexpr uint32_t kIoctlScsiPassThroughDirect = 0x4D014;
constexpr uint32_t kFsctlLockVolume = 0x90018;
constexpr uint32_t kFsctlUnlockVolume = 0x9001C;
constexpr unsigned char kSenseInfoLength = 24;

// The pass-through header, then the sense area. The header is 44 bytes and the
// sense area starts at 48 only in 32-bit builds; sizes and offsets are taken
// from the structure so that 64-bit builds describe themselves correctly.
struct PassThroughRecord {
  SCSI_PASS_THROUGH_DIRECT header;
  ULONG filler;
  UCHAR sense[32];
};

void FillPassThroughRecord(const ScsiRequest& request, PassThroughRecord& record);

// The control call's outcome: success, a nonzero returned-byte count and SCSI
// status 0.
bool JudgePassThrough(bool callSucceeded, uint32_t bytesReturned, const PassThroughRecord& record);

// "\\.\E:" with the caller's letter unchanged.
std::string VolumePath(char letter);

#if defined(_WIN32)
std::unique_ptr<Backend> OpenVolume(char letter);
#endif

}  // namespace qmr::windows_sptd
