#include "trace.h"

#include "QMR52916LIB_ext.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <mutex>

namespace qmr {
namespace {

struct TraceState {
  std::mutex mutex;
  int fd = -1;
  bool initialised = false;
};

TraceState& State() {
  static TraceState state;
  return state;
}

int OpenForAppend(const char* path) {
  if (path == nullptr || *path == '\0') return -1;
  return ::open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
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
  if (s.fd < 0) return;
  const std::string line = FormatTraceLine(letter, request, ok);
  // One write per line with O_APPEND: lines from threads and processes never mix.
  [[maybe_unused]] ssize_t written = ::write(s.fd, line.data(), line.size());
}

bool SetTraceFile(const char* path) {
  TraceState& s = State();
  std::lock_guard lock(s.mutex);
  s.initialised = true;
  if (s.fd >= 0) ::close(s.fd);
  s.fd = OpenForAppend(path);
  return path == nullptr || *path == '\0' || s.fd >= 0;
}

}  // namespace qmr

extern "C" QMR_API int QMR_SetTraceFile(const char* path) { return qmr::SetTraceFile(path) ? 1 : 0; }
