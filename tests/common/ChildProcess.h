// Runs a piece of a test in a forked child, for what only several processes can show: locks
// across processes, concurrent writers, resource limits that must not touch the test runner.
#pragma once

#include <poll.h>
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

// One-byte messages between a test and its child processes ("I hold the lock", "go on").
struct Pipe {
  int fds[2] = {-1, -1};
  Pipe() { (void)!::pipe(fds); }
  ~Pipe() { ::close(fds[0]), ::close(fds[1]); }
  void send(char message = 'x') { (void)!::write(fds[1], &message, 1); }
  // The message; 0 when none came in time (a minute: only a broken test waits that long).
  char receive(int milliseconds = 60000) {
    pollfd entry{fds[0], POLLIN, 0};
    char message = 0;
    return ::poll(&entry, 1, milliseconds) == 1 && ::read(fds[0], &message, 1) == 1 ? message : 0;
  }
};

}  // namespace OrvelTest
