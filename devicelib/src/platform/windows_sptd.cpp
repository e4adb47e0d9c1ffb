#include "windows_sptd.h"

#include <cstring>

#if defined(_WIN32)
#include <mutex>
#include <unordered_map>
#endif

namespace qmr::windows_sptd {

void FillPassThroughRecord(const ScsiRequest& request, PassThroughRecord& record) {
  std::memset(&record, 0, sizeof record);
  SCSI_PASS_THROUGH_DIRECT& h = record.header;
  h.Length = sizeof(SCSI_PASS_THROUGH_DIRECT);
  h.PathId = 0;
  h.TargetId = 1;
  h.Lun = 0;
  h.CdbLength = 16;
  h.SenseInfoLength = kSenseInfoLength;
  // No data phase is sent as data in with length 0, as the device expects.
  h.DataIn = request.direction == DataDirection::Out ? 0 /* SCSI_IOCTL_DATA_OUT */ : 1 /* SCSI_IOCTL_DATA_IN */;
  h.DataTransferLength = request.direction == DataDirection::None ? 0 : request.length;
  h.TimeOutValue = PassThroughSeconds(request.timeoutMs);
  h.DataBuffer = request.direction == DataDirection::None ? nullptr : request.buffer;
  h.SenseInfoOffset = offsetof(PassThroughRecord, sense);
  std::memcpy(h.Cdb, request.cdb, 16);
}

uint32_t PassThroughSeconds(uint32_t milliseconds) {
  // Whole seconds, rounded up: a shorter wait than asked would fail commands
  // the caller allowed for.
  const uint32_t seconds = milliseconds / 1000u + (milliseconds % 1000u != 0 ? 1u : 0u);
  return seconds == 0 ? 1u : seconds;
}

bool JudgePassThrough(bool callSucceeded, uint32_t bytesReturned, const PassThroughRecord& record) {
  return callSucceeded && bytesReturned != 0 && record.header.ScsiStatus == 0;
}

std::string VolumePath(char letter) {
  std::string path = "\\\\.\\C:";
  path[4] = letter;
  return path;
}

#if defined(_WIN32)
namespace {

// Letters of the volume handles opened here. A handle closed with the
// system's CloseHandle leaves its entry behind; the system hands the value
// out again only to a later open, which replaces the entry.
struct Volume {
  char letter = '?';
  uint32_t timeoutMs = kDefaultCommandTimeoutMs;
  bool timedOut = false;
};
struct Letters {
  std::mutex mutex;
  std::unordered_map<void*, Volume> byHandle;
};

Letters& OpenLetters() {
  static Letters* letters = new Letters;  // outlives handles closed at process exit
  return *letters;
}

}  // namespace

void* OpenVolume(char letter) {
  const std::string path = VolumePath(letter);
  HANDLE h = ::CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                           OPEN_EXISTING, 0, nullptr);
  if (h == INVALID_HANDLE_VALUE) return INVALID_HANDLE_VALUE;
  Letters& l = OpenLetters();
  std::lock_guard lock(l.mutex);
  l.byHandle[h] = Volume{letter, DefaultCommandTimeout(), false};
  return h;
}

bool SendToVolume(void* volume, const ScsiRequest& request) {
  PassThroughRecord record;
  FillPassThroughRecord(request, record);
  DWORD returned = 0;
  const BOOL ok = ::DeviceIoControl(static_cast<HANDLE>(volume), kIoctlScsiPassThroughDirect, &record, sizeof record,
                                    &record, sizeof record, &returned, nullptr);
  const bool good = JudgePassThrough(ok != FALSE, returned, record);
  // The port driver's timeout ends the call with ERROR_SEM_TIMEOUT.
  const bool timedOut = !good && ok == FALSE && ::GetLastError() == ERROR_SEM_TIMEOUT;
  Letters& l = OpenLetters();
  std::lock_guard lock(l.mutex);
  const auto it = l.byHandle.find(volume);
  if (it != l.byHandle.end()) it->second.timedOut = timedOut;
  return good;
}

void CloseVolume(void* volume) {
  {
    Letters& l = OpenLetters();
    std::lock_guard lock(l.mutex);
    l.byHandle.erase(volume);
  }
  ::CloseHandle(static_cast<HANDLE>(volume));
}

char LetterOf(void* volume) {
  Letters& l = OpenLetters();
  std::lock_guard lock(l.mutex);
  const auto it = l.byHandle.find(volume);
  return it == l.byHandle.end() ? '?' : it->second.letter;
}

bool SetVolumeTimeout(void* volume, uint32_t milliseconds) {
  Letters& l = OpenLetters();
  std::lock_guard lock(l.mutex);
  const auto it = l.byHandle.find(volume);
  if (it == l.byHandle.end()) return false;
  it->second.timeoutMs = milliseconds;
  return true;
}

uint32_t VolumeTimeout(void* volume) {
  Letters& l = OpenLetters();
  std::lock_guard lock(l.mutex);
  const auto it = l.byHandle.find(volume);
  return it == l.byHandle.end() ? DefaultCommandTimeout() : it->second.timeoutMs;
}

bool VolumeTimedOut(void* volume) {
  Letters& l = OpenLetters();
  std::lock_guard lock(l.mutex);
  const auto it = l.byHandle.find(volume);
  return it != l.byHandle.end() && it->second.timedOut;
}
#endif

}  // namespace qmr::windows_sptd
