#include "ProgramRun.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <thread>

extern char** environ;

namespace OrvelPlatform {

namespace {

using Clock = std::chrono::steady_clock;

int millisecondsLeft(Clock::time_point deadline) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
  return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

// Reads until the program closes its output; false when the deadline comes first.
bool readUntilEnd(int fd, Clock::time_point deadline, ProgramRun& run) {
  char buffer[4096];
  for (;;) {
    pollfd ready{fd, POLLIN, 0};
    const int polled = ::poll(&ready, 1, millisecondsLeft(deadline));
    if (polled < 0 && errno == EINTR) continue;
    if (polled <= 0) return false;
    const ssize_t got = ::read(fd, buffer, sizeof buffer);
    if (got < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    if (got <= 0) return true;
    const std::size_t room = ProgramRun::kMaxOutputBytes - run.output.size();
    run.output.append(buffer, std::min(room, static_cast<std::size_t>(got)));
    if (static_cast<std::size_t>(got) > room) run.outputCut = true;
  }
}

// A program may close its output and go on running; its end is awaited within the same deadline.
bool waitForExit(pid_t pid, Clock::time_point deadline, int& status) {
  for (;;) {
    const pid_t ended = ::waitpid(pid, &status, WNOHANG);
    if (ended == pid) return true;
    if (ended < 0 && errno != EINTR) return false;
    if (Clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
}

pid_t spawn(const std::vector<std::string>& args, int outputFd) {
  posix_spawn_file_actions_t actions;
  posix_spawnattr_t attributes;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, outputFd, STDOUT_FILENO);
  posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
  posix_spawnattr_init(&attributes);
  posix_spawnattr_setflags(&attributes,
                           POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
  posix_spawnattr_setpgroup(&attributes, 0);
  sigset_t signals;
  sigemptyset(&signals);
  posix_spawnattr_setsigmask(&attributes, &signals);
  sigaddset(&signals, SIGPIPE);  // the caller may ignore it; the program gets the usual default
  posix_spawnattr_setsigdefault(&attributes, &signals);
  std::vector<char*> argv;
  for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
  argv.push_back(nullptr);
  pid_t pid = -1;
  if (::posix_spawnp(&pid, argv[0], &actions, &attributes, argv.data(), environ) != 0) pid = -1;
  posix_spawnattr_destroy(&attributes);
  posix_spawn_file_actions_destroy(&actions);
  return pid;
}

}  // namespace

ProgramRun runProgram(const std::vector<std::string>& args, std::chrono::milliseconds limit) {
  ProgramRun run;
  int pipeFds[2];
  if (args.empty() || ::pipe2(pipeFds, O_CLOEXEC) != 0) return run;
  const pid_t pid = spawn(args, pipeFds[1]);
  ::close(pipeFds[1]);
  if (pid < 0) {
    ::close(pipeFds[0]);
    return run;
  }
  const Clock::time_point deadline = Clock::now() + limit;
  int status = 0;
  const bool ended = readUntilEnd(pipeFds[0], deadline, run) && waitForExit(pid, deadline, status);
  ::close(pipeFds[0]);
  if (!ended) {
    ::kill(-pid, SIGKILL);
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    run.outcome = ProgramRun::kTimedOut;
    return run;
  }
  if (WIFEXITED(status)) {
    run.outcome = ProgramRun::kExited;
    run.exitStatus = WEXITSTATUS(status);
  } else {
    run.outcome = ProgramRun::kSignalled;
  }
  return run;
}

}  // namespace OrvelPlatform
