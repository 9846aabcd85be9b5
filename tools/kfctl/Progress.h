// What a long operation is doing, told from the library's own log lines: on a terminal one line
// on standard error that keeps being rewritten with the component, the phase (checking,
// downloading, verifying, installing, uploading) and the elapsed time; elsewhere a plain line at
// each change of phase.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <ostream>
#include <string>
#include <thread>

namespace Kfctl {

class Progress {
 public:
  Progress(std::ostream& err, bool terminal);
  ~Progress();
  Progress(const Progress&) = delete;
  Progress& operator=(const Progress&) = delete;

  // Work on a component begins, or ends (the terminal line is cleared).
  void begin(const std::string& component);
  void end();

 private:
  static void observe(int level, const char* text, void* self);
  void tick();
  void showLocked();

  std::ostream& m_err;
  const bool m_terminal;
  std::mutex m_mutex;
  std::condition_variable m_wake;
  std::string m_component;
  const char* m_phase = nullptr;
  std::chrono::steady_clock::time_point m_started;
  bool m_stop = false;
  std::thread m_ticker;
};

}  // namespace Kfctl
