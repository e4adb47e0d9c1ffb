// Runs a program of the build as a child process, the way an operator or a
// script does, with its output in files: for what only a separate process
// shows (a memory limit, a kill at a random moment).
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "core/files.h"

namespace ardentix::test {

struct ChildOptions {
  rlim_t addressSpaceLimit = 0;     // bytes; 0: none
  std::string extraAsanOptions;     // appended to ASAN_OPTIONS (a sanitized child ignores address limits)
};

// Starts `program` with `args`; its stdout and stderr go to `output` + ".out"
// and ".err". -1 when it cannot be started.
inline pid_t StartProgram(const std::string& program, const std::vector<std::string>& args,
                          const std::filesystem::path& output, const ChildOptions& options = {}) {
  const std::string out = output.string() + ".out", err = output.string() + ".err";
  std::vector<char*> argv{const_cast<char*>(program.c_str())};
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  if (options.addressSpaceLimit == 0 && options.extraAsanOptions.empty()) {
    // Without a fork: copying a sanitized test's huge address space for each
    // of hundreds of children would be most of the time spent.
    posix_spawn_file_actions_t files;
    posix_spawn_file_actions_init(&files);
    posix_spawn_file_actions_addopen(&files, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&files, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    pid_t pid = -1;
    const int rc = ::posix_spawn(&pid, program.c_str(), &files, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&files);
    return rc == 0 ? pid : -1;
  }
  const pid_t pid = ::fork();
  if (pid != 0) return pid;
  if (!std::freopen(out.c_str(), "w", stdout) || !std::freopen(err.c_str(), "w", stderr)) ::_exit(126);
  if (options.addressSpaceLimit != 0) {
    const rlimit limit{options.addressSpaceLimit, options.addressSpaceLimit};
    if (::setrlimit(RLIMIT_AS, &limit) != 0) ::_exit(126);
  }
  if (!options.extraAsanOptions.empty()) {
    const char* old = ::getenv("ASAN_OPTIONS");
    const std::string asan = (old != nullptr && *old != '\0' ? std::string(old) + ":" : std::string()) +
                             options.extraAsanOptions;
    ::setenv("ASAN_OPTIONS", asan.c_str(), 1);
  }
  ::execv(program.c_str(), argv.data());
  ::_exit(127);
}

struct ChildEnd {
  int exitCode = -1;  // when it exited
  int signal = 0;     // when a signal ended it
  std::string out, err;
};

inline ChildEnd WaitProgram(pid_t pid, const std::filesystem::path& output) {
  ChildEnd end;
  int status = 0;
  if (pid > 0 && ::waitpid(pid, &status, 0) == pid) {
    if (WIFEXITED(status)) end.exitCode = WEXITSTATUS(status);
    if (WIFSIGNALED(status)) end.signal = WTERMSIG(status);
  }
  end.out = ReadWholeFile(output.string() + ".out").value_or("");
  end.err = ReadWholeFile(output.string() + ".err").value_or("");
  return end;
}

inline ChildEnd RunProgram(const std::string& program, const std::vector<std::string>& args,
                           const std::filesystem::path& output, const ChildOptions& options = {}) {
  return WaitProgram(StartProgram(program, args, output, options), output);
}

}  // namespace ardentix::test
