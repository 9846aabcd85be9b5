#include "Progress.h"

#include <cstring>

#include "OrvelCommon/Log.h"

namespace Kfctl {

namespace {

// The phase a log line of the update object begins, or null.
const char* phaseOf(const char* text) {
  static const struct {
    const char* mark;
    const char* phase;
  } kMarks[] = {
      {"enter function _downloadUtil", "checking"},
      {"enter function _generateItems", "downloading"},
      {"QxUpdate::verify", "verifying"},
      {"enter function _processQxase", "verifying"},
      {"enter function applyToLocal", "installing"},
      {"enter function _KFBlob", "uploading"},
  };
  for (const auto& m : kMarks)
    if (std::strstr(text, m.mark)) return m.phase;
  return nullptr;
}

}  // namespace

Progress::Progress(std::ostream& err, bool terminal) : m_err(err), m_terminal(terminal) {
  ORVEL::Log::SetObserver(&Progress::observe, this);
  if (m_terminal) m_ticker = std::thread([this] { tick(); });
}

Progress::~Progress() {
  ORVEL::Log::SetObserver(nullptr, nullptr);
  {
    std::lock_guard<std::mutex> guard(m_mutex);
    m_stop = true;
  }
  m_wake.notify_all();
  if (m_ticker.joinable()) m_ticker.join();
}

void Progress::begin(const std::string& component) {
  std::lock_guard<std::mutex> guard(m_mutex);
  m_component = component;
  m_phase = nullptr;
  m_started = std::chrono::steady_clock::now();
}

void Progress::end() {
  std::lock_guard<std::mutex> guard(m_mutex);
  if (m_terminal && m_phase) m_err << "\r\033[K" << std::flush;
  m_component.clear();
  m_phase = nullptr;
}

void Progress::observe(int, const char* text, void* self) {
  Progress& p = *static_cast<Progress*>(self);
  const char* phase = phaseOf(text);
  std::lock_guard<std::mutex> guard(p.m_mutex);
  if (!phase || p.m_component.empty() || phase == p.m_phase) return;
  // Before the download the engines are asked for the installed versions: a check, not the
  // verification of what came; and once downloaded, nothing goes back to the source.
  const bool downloaded = p.m_phase && std::strcmp(p.m_phase, "checking") != 0;
  const bool early = std::strcmp(phase, "checking") == 0 || std::strcmp(phase, "downloading") == 0;
  if (downloaded == early) return;
  p.m_phase = phase;
  if (p.m_terminal)
    p.showLocked();
  else
    p.m_err << p.m_component << ": " << phase << "\n" << std::flush;
}

void Progress::tick() {
  std::unique_lock<std::mutex> lock(m_mutex);
  while (!m_wake.wait_for(lock, std::chrono::milliseconds(250), [this] { return m_stop; }))
    if (m_phase) showLocked();
}

void Progress::showLocked() {
  const auto seconds =
      std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - m_started)
          .count();
  m_err << "\r\033[K" << m_component << ": " << m_phase << " (" << seconds << " s)" << std::flush;
}

}  // namespace Kfctl
