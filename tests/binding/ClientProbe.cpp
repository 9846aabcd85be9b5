#include "ClientProbe.h"

#include <algorithm>
#include <atomic>
#include <mutex>

namespace {

struct Recorded {
  std::vector<std::string> calls;
  std::string lastVariant;
  int loads = 0, unloads = 0, unloadsDuringCall = 0, running = 0, mostAtOnce = 0;
};

std::mutex g_lock;
Recorded g_recorded;
std::atomic<unsigned> g_delayMicroseconds{0};

// Runs change on the record under the lock and returns what it returns.
template <typename Change>
auto locked(Change change) {
  std::lock_guard<std::mutex> guard(g_lock);
  return change(g_recorded);
}

}  // namespace

extern "C" {

void orvelProbeLoaded(const char* variant) {
  locked([variant](Recorded& r) {
    ++r.loads;
    r.lastVariant = variant ? variant : "";
  });
}

void orvelProbeUnloaded(void) {
  locked([](Recorded& r) {
    ++r.unloads;
    if (r.running > 0) ++r.unloadsDuringCall;
  });
}

void orvelProbeEnter(const char* call) {
  locked([call](Recorded& r) {
    r.calls.emplace_back(call ? call : "");
    r.mostAtOnce = std::max(r.mostAtOnce, ++r.running);
  });
}

void orvelProbeLeave(void) {
  locked([](Recorded& r) { --r.running; });
}

unsigned orvelProbeCallDelayMicroseconds(void) { return g_delayMicroseconds.load(); }

}  // extern "C"

namespace OrvelProbe {

void reset() {
  locked([](Recorded& r) { r = Recorded{}; });
  g_delayMicroseconds = 0;
}

std::vector<std::string> calls() {
  return locked([](Recorded& r) { return r.calls; });
}
int loads() {
  return locked([](Recorded& r) { return r.loads; });
}
int unloads() {
  return locked([](Recorded& r) { return r.unloads; });
}
std::string lastVariant() {
  return locked([](Recorded& r) { return r.lastVariant; });
}
int unloadsDuringCall() {
  return locked([](Recorded& r) { return r.unloadsDuringCall; });
}
int mostCallsAtOnce() {
  return locked([](Recorded& r) { return r.mostAtOnce; });
}
void setCallDelayMicroseconds(unsigned microseconds) { g_delayMicroseconds = microseconds; }

}  // namespace OrvelProbe
