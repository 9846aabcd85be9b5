// What the benchmarks share: ending with a message, running commands, timing, and an nginx of
// their own on a free loopback port.
#pragma once

#include <chrono>
#include <functional>
#include <string>
#include <vector>

namespace OrvelBench {

using Clock = std::chrono::steady_clock;

// Ends the benchmark: "<program>: what" on standard error, status 1, after stopping the nginx
// servers it started (its work folders stay, for a look at what went wrong).
[[noreturn]] void die(const std::string& what);
// The exit status of a shell command; -1 when it did not exit.
int shell(const std::string& command);
// A loopback port with nothing listening on it.
int freePort();
double secondsSince(Clock::time_point start);
double median(std::vector<double> values);
// The number after the option at argv[i] (i then names it); ends the benchmark when there is none
// or it is not above 0.
long positiveNumberAfter(int argc, char** argv, int& i);
// "load average at start: ..." with the processor count, so that figures of a busy machine show
// as such.
void printLoad();

// One figure of scripts/bench, on a line of its own:
//   "<name>: ours <value> <unit> | peer <value> <unit> | ratio <ours / peer>"
// Both values are in the one unit, so the ratio reads the same way for every figure: above 1 is
// more of the unit (faster for MiB/s, slower for s, larger for bytes and MiB).
void figure(const std::string& name, double ours, double peer, const std::string& unit);

// How a run in a child process of its own went: exit status (-1 when it did not exit), wall time
// and the peak resident memory of the child and everything it waited for.
struct ChildRun {
  int status;
  double seconds;
  double peakMiB;
};
// A shell command.
ChildRun measured(const std::string& command);
// A piece of this program, whose return value is the child's exit status.
ChildRun measured(const std::function<int()>& work);

// nginx serving one folder on loopback for the length of the benchmark (nginx must be installed).
class Nginx {
 public:
  // state: a folder of the benchmark's own for the configuration, logs and the served files.
  explicit Nginx(const std::string& state);
  ~Nginx();
  Nginx(const Nginx&) = delete;
  Nginx& operator=(const Nginx&) = delete;

  std::string root() const { return m_state + "/www"; }
  std::string url(const std::string& path) const;

 private:
  std::string m_state;
  int m_port;
};

}  // namespace OrvelBench
