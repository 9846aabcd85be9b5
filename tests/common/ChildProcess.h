// Runs a piece of a test in a forked child, for what only several processes can show: locks
// across processes, concurrent writers, resource limits that must not touch the test runner.
#pragma once

#include <sys/wait.h>
#include <unistd.h>

#include <functional>

namespace OrvelTest {

// Starts body in a child that ends with body's result as its exit code, without running the
// parent's exit handlers. Returns the child's id, or -1.
inline pid_t startChild(const std::function<int()>& body) {
  pid_t pid = ::fork();
  if (pid == 0) ::_exit(body());
  return pid;
}

// The child's exit code; -1 when it did not exit normally.
inline int waitChild(pid_t pid) {
  int status = 0;
  if (::waitpid(pid, &status, 0) != pid) return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

inline int runInChild(const std::function<int()>& body) { return waitChild(startChild(body)); }

}  // namespace OrvelTest
