#include "ClientProbe.h"

#include <mutex>

namespace {

std::mutex g_lock;
OrvelProbe::Record g_record;
using Guard = std::lock_guard<std::mutex>;

}  // namespace

extern "C" {

void orvelProbeLoaded(const char*) {
  Guard guard(g_lock);
  ++g_record.loads;
}

void orvelProbeUnloaded(void) {
  Guard guard(g_lock);
  ++g_record.unloads;
}

void orvelProbeEnter(const char* call) {
  Guard guard(g_lock);
  g_record.calls.emplace_back(call);
}

}  // extern "C"

namespace OrvelProbe {

Record record() {
  Guard guard(g_lock);
  return g_record;
}

void reset() {
  Guard guard(g_lock);
  g_record = Record{};
}

}  // namespace OrvelProbe
