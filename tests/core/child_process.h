// Runs a piece of a test in a forked child, for conditions that must not
// leak into the test process (a file size limit standing in for a full disk)
// or that need a second process (cross-process locking). Windows has no
// fork(): there the full disk is the file layer's stand-in, in this process,
// and there is no second process.
#pragma once

#include <functional>

#if defined(_WIN32)
#include "core/limited_writes.h"
#else
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

namespace ardentix::test {

// What a child reports.
enum class ChildResult { True, False, Broken };

#if defined(_WIN32)
inline ChildResult RunWithFileSizeLimit(uint64_t limit, const std::function<bool()>& f) {
  LimitedWrites writes(limit);
  return f() ? ChildResult::True : ChildResult::False;
}
#else

// Starts f in a child; its exit status carries f's result.
inline pid_t StartChild(const std::function<bool()>& f) {
  const pid_t pid = ::fork();
  if (pid == 0) ::_exit(f() ? 0 : 1);
  return pid;
}

inline ChildResult WaitChild(pid_t pid) {
  int status = 0;
  if (pid < 0 || ::waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) return ChildResult::Broken;
  switch (WEXITSTATUS(status)) {
    case 0: return ChildResult::True;
    case 1: return ChildResult::False;
    default: return ChildResult::Broken;
  }
}

// f's result when every file it writes may hold at most `limit` bytes: a
// write beyond fails with EFBIG, as on a full disk.
inline ChildResult RunWithFileSizeLimit(rlim_t limit, const std::function<bool()>& f) {
  return WaitChild(StartChild([&] {
    ::signal(SIGXFSZ, SIG_IGN);
    const rlimit rl{limit, limit};
    if (::setrlimit(RLIMIT_FSIZE, &rl) != 0) ::_exit(2);
    return f();
  }));
}
#endif

}  // namespace ardentix::test
