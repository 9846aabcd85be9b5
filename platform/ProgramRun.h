// Runs a helper program of the system (no shell) and takes what it writes to its standard output,
// within a time limit of real time: the program runs in real time whatever clock the product's
// waits use. Not exported; the service manager's systemd backend is its user.
#pragma once

#include <chrono>
#include <string>
#include <vector>

namespace OrvelPlatform {

struct ProgramRun {
  enum Outcome {
    kExited,     // ended by itself; exitStatus holds its status
    kTimedOut,   // still running at the time limit: it was killed with its process group
    kCannotRun,  // could not be started (no such program, no pipe)
    kSignalled,  // ended by a signal it was not sent by us
  };
  Outcome outcome = kCannotRun;
  int exitStatus = -1;
  std::string output;      // standard output, at most kMaxOutputBytes of it
  bool outputCut = false;  // it wrote more than that
  static constexpr std::size_t kMaxOutputBytes = 65536;
};

// Runs args[0] (looked up on the PATH when it holds no "/") with args as its argument list,
// standard input and error on /dev/null, in a process group of its own so that a time-out also ends
// what it started.
ProgramRun runProgram(const std::vector<std::string>& args, std::chrono::milliseconds limit);

}  // namespace OrvelPlatform
