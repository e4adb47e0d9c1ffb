#include "trace.h"

#include "QMR52916LIB_ext.h"

#if defined(_WIN32)
#include <windows.h>
#else
#include <fcntl.h>
#include <unistd.h>
#endif

#include <cstdio>
#include <cstdlib>
#include <mutex>

namespace qmr {
namespace {

// One write per line to a file opened for appending only: lines from
// threads and processes never mix.
#if defined(_WIN32)
using TraceFile = HANDLE;
const TraceFile kNoFile = INVALID_HANDLE_VALUE;

TraceFile OpenForAppend(const char* path) {
  if (path == nullptr || *path == '\0') return kNoFile;
  // With append access alone every write goes to the end of the file at once.
  return ::CreateFileA(path, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                       OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
}
void AppendLine(TraceFile file, const std::string& line) {
  DWORD written = 0;
  ::WriteFile(file, line.data(), DWORD(line.size()), &written, nullptr);
}
void CloseFile(TraceFile file) { ::CloseHandle(file); }
#else
using TraceFile = int;
const TraceFile kNoFile = -1;

TraceFile OpenForAppend(const char* path) {
  if (path == nullptr || *path == '\0') return kNoFile;
  return ::open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
}
void AppendLine(TraceFile file, const std::string& line) {
  [[maybe_unused]] ssize_t written = ::write(file, line.data(), line.size());
}
void CloseFile(TraceFile file) { ::close(file); }
#endif

struct TraceState {
  std::mutex mutex;
  TraceFile fd = kNoFile;
  bool initialised = false;
};

TraceState& State() {
  static TraceState state;
  return state;
}

// Caller holds the mutex.
void InitFromEnvironment(TraceState& s) {
  if (s.initialised) return;
  s.initialised = true;
  s.fd = OpenForAppend(std::getenv("QMR52916_TRACE"));
}

}  // namespace

std::string FormatTraceLine(char letter, const ScsiRequest& request, bool ok) {
  static const char* const kDirection[] = {"in", "out", "none"};
  char line[128];
  int n = std::snprintf(line, sizeof line, "%c", letter);
  for (uint8_t b : request.cdb) n += std::snprintf(line + n, sizeof line - n, " %02X", b);
  std::snprintf(line + n, sizeof line - n, " %s %u %s\n",
                kDirection[static_cast<int>(request.direction)], request.length, ok ? "ok" : "fail");
  return line;
}

void TraceCommand(char letter, const ScsiRequest& request, bool ok) {
  TraceState& s = State();
  std::lock_guard lock(s.mutex);
  InitFromEnvironment(s);
  if (s.fd == kNoFile) return;
  AppendLine(s.fd, FormatTraceLine(letter, request, ok));
}

bool SetTraceFile(const char* path) {
  TraceState& s = State();
  std::lock_guard lock(s.mutex);
  s.initialised = true;
  if (s.fd != kNoFile) CloseFile(s.fd);
  s.fd = OpenForAppend(path);
  return path == nullptr || *path == '\0' || s.fd != kNoFile;
}

}  // namespace qmr

extern "C" QMR_API int QMR_SetTraceFile(const char* path) { return qmr::SetTraceFile(path) ? 1 : 0; }
