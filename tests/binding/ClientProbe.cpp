#include "ClientProbe.h"

#include <atomic>
#include <mutex>

namespace {

// Loads and unloads come from a double's constructor and destructor, calls from any thread.
std::mutex g_lock;
std::vector<std::string> g_calls;
std::atomic<int> g_loads{0}, g_unloads{0};

}  // namespace

extern "C" {

void orvelProbeLoaded(const char*) { ++g_loads; }

void orvelProbeUnloaded(void) { ++g_unloads; }

void orvelProbeEnter(const char* call) {
  std::lock_guard<std::mutex> guard(g_lock);
  g_calls.emplace_back(call);
}

}  // extern "C"

namespace OrvelProbe {

Record record() {
  std::lock_guard<std::mutex> guard(g_lock);
  return {g_calls, g_loads, g_unloads};
}

void reset() {
  std::lock_guard<std::mutex> guard(g_lock);
  g_calls.clear();
  g_loads = 0;
  g_unloads = 0;
}

}  // namespace OrvelProbe
