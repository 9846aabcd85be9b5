#include "ClientProbe.h"

#include <algorithm>
#include <atomic>
#include <mutex>

namespace {

std::mutex g_lock;
OrvelProbe::Record g_record;
std::atomic<unsigned> g_delayMicroseconds{0};
using Guard = std::lock_guard<std::mutex>;

}  // namespace

extern "C" {

void orvelProbeLoaded(const char* variant) {
  Guard guard(g_lock);
  ++g_record.loads;
  g_record.lastVariant = variant;
}

void orvelProbeUnloaded(void) {
  Guard guard(g_lock);
  ++g_record.unloads;
  if (g_record.running > 0) ++g_record.unloadsDuringCall;
}

void orvelProbeEnter(const char* call) {
  Guard guard(g_lock);
  g_record.calls.emplace_back(call);
  g_record.mostAtOnce = std::max(g_record.mostAtOnce, ++g_record.running);
}

void orvelProbeLeave(void) {
  Guard guard(g_lock);
  --g_record.running;
}

unsigned orvelProbeCallDelayMicroseconds(void) { return g_delayMicroseconds; }

}  // extern "C"

namespace OrvelProbe {

Record record() {
  Guard guard(g_lock);
  return g_record;
}

void reset() {
  Guard guard(g_lock);
  g_record = Record{};
  g_delayMicroseconds = 0;
}

void setCallDelayMicroseconds(unsigned microseconds) { g_delayMicroseconds = microseconds; }

}  // namespace OrvelProbe
