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

// Where the driver reads each field, for the width of this build: 32-bit
// Windows and 64-bit Windows. The record must match these byte for byte,
// whichever header declared it: the 32-bit and the 64-bit cross builds check
// them against the system header of their width.
struct RecordLayout {
  size_t headerSize, dataTransferLength, timeOutValue, dataBuffer, senseInfoOffset, cdb, filler, sense, size;
};
constexpr RecordLayout kLayout32{44, 12, 16, 20, 24, 28, 44, 48, 80};
constexpr RecordLayout kLayout64{56, 12, 16, 24, 32, 36, 56, 60, 96};
constexpr RecordLayout kRecordLayout = sizeof(void*) == 4 ? kLayout32 : kLayout64;

static_assert(sizeof(SCSI_PASS_THROUGH_DIRECT) == kRecordLayout.headerSize);
static_assert(offsetof(SCSI_PASS_THROUGH_DIRECT, Length) == 0);
static_assert(offsetof(SCSI_PASS_THROUGH_DIRECT, ScsiStatus) == 2);
static_assert(offsetof(SCSI_PASS_THROUGH_DIRECT, PathId) == 3);
static_assert(offsetof(SCSI_PASS_THROUGH_DIRECT, TargetId) == 4);
static_assert(offsetof(SCSI_PASS_THROUGH_DIRECT, Lun) == 5);
static_assert(offsetof(SCSI_PASS_THROUGH_DIRECT, CdbLength) == 6);
static_assert(offsetof(SCSI_PASS_THROUGH_DIRECT, SenseInfoLength) == 7);
static_assert(offsetof(SCSI_PASS_THROUGH_DIRECT, DataIn) == 8);
static_assert(offsetof(SCSI_PASS_THROUGH_DIRECT, DataTransferLength) == kRecordLayout.dataTransferLength);
static_assert(offsetof(SCSI_PASS_THROUGH_DIRECT, TimeOutValue) == kRecordLayout.timeOutValue);
static_assert(offsetof(SCSI_PASS_THROUGH_DIRECT, DataBuffer) == kRecordLayout.dataBuffer);
static_assert(offsetof(SCSI_PASS_THROUGH_DIRECT, SenseInfoOffset) == kRecordLayout.senseInfoOffset);
static_assert(offsetof(SCSI_PASS_THROUGH_DIRECT, Cdb) == kRecordLayout.cdb);
static_assert(sizeof(SCSI_PASS_THROUGH_DIRECT::Cdb) == 16);
static_assert(offsetof(PassThroughRecord, filler) == kRecordLayout.filler);
static_assert(offsetof(PassThroughRecord, sense) == kRecordLayout.sense);
static_assert(sizeof(PassThroughRecord) == kRecordLayout.size);


void FillPassThroughRecord(const ScsiRequest& request, PassThroughRecord& record);
// TimeOutValue counts seconds: the request's milliseconds rounded up, at least 1.
uint32_t PassThroughSeconds(uint32_t milliseconds);

// The control call's outcome: success, a nonzero returned-byte count and SCSI
// status 0.
bool JudgePassThrough(bool callSucceeded, uint32_t bytesReturned, const PassThroughRecord& record);

// "\\.\E:" with the caller's letter unchanged.
std::string VolumePath(char letter);

#if defined(_WIN32)
// The device handle of a real device is the volume handle itself: the one
// CreateFileA gives, or the invalid handle.
void* OpenVolume(char letter);
// One command through IOCTL_SCSI_PASS_THROUGH_DIRECT on a volume handle.
bool SendToVolume(void* volume, const ScsiRequest& request);
void CloseVolume(void* volume);
// The letter a volume handle was opened for, for the command trace ('?' for
// a handle the library did not open).
char LetterOf(void* volume);
// A volume handle's command timeout and whether its last command timed out.
bool SetVolumeTimeout(void* volume, uint32_t milliseconds);
uint32_t VolumeTimeout(void* volume);
bool VolumeTimedOut(void* volume);
#endif

}  // namespace qmr::windows_sptd
