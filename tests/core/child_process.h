// Runs a piece of a test in a forked child, for conditions that must not
// leak into the test process (a file size limit standing in for a full disk)
// or that need a second process (cross-process locking).
#pragma once

#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>

namespace ardentix::test {

// What a child reports.
enum class ChildResult { True, False, Broken };

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

}  // namespace ardentix::test
