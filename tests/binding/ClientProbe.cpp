#include "ClientProbe.h"

#include <algorithm>
#include <atomic>
#include <mutex>

namespace {

std::mutex g_lock;
std::vector<std::string> g_calls;
std::string g_lastVariant;
int g_loads = 0;
int g_unloads = 0;
int g_unloadsDuringCall = 0;
int g_running = 0;
int g_mostAtOnce = 0;
std::atomic<unsigned> g_delayMicroseconds{0};

}  // namespace

extern "C" {

void orvelProbeLoaded(const char* variant) {
  std::lock_guard<std::mutex> guard(g_lock);
  ++g_loads;
  g_lastVariant = variant ? variant : "";
}

void orvelProbeUnloaded(void) {
  std::lock_guard<std::mutex> guard(g_lock);
  ++g_unloads;
  if (g_running > 0) ++g_unloadsDuringCall;
}

void orvelProbeEnter(const char* call) {
  std::lock_guard<std::mutex> guard(g_lock);
  g_calls.emplace_back(call ? call : "");
  ++g_running;
  g_mostAtOnce = std::max(g_mostAtOnce, g_running);
}

void orvelProbeLeave(void) {
  std::lock_guard<std::mutex> guard(g_lock);
  --g_running;
}

unsigned orvelProbeCallDelayMicroseconds(void) { return g_delayMicroseconds.load(); }

}  // extern "C"

namespace OrvelProbe {

void reset() {
  std::lock_guard<std::mutex> guard(g_lock);
  g_calls.clear();
  g_lastVariant.clear();
  g_loads = g_unloads = g_unloadsDuringCall = g_running = g_mostAtOnce = 0;
  g_delayMicroseconds = 0;
}

std::vector<std::string> calls() {
  std::lock_guard<std::mutex> guard(g_lock);
  return g_calls;
}

int loads() {
  std::lock_guard<std::mutex> guard(g_lock);
  return g_loads;
}

int unloads() {
  std::lock_guard<std::mutex> guard(g_lock);
  return g_unloads;
}

std::string lastVariant() {
  std::lock_guard<std::mutex> guard(g_lock);
  return g_lastVariant;
}

int unloadsDuringCall() {
  std::lock_guard<std::mutex> guard(g_lock);
  return g_unloadsDuringCall;
}

int mostCallsAtOnce() {
  std::lock_guard<std::mutex> guard(g_lock);
  return g_mostAtOnce;
}

void setCallDelayMicroseconds(unsigned microseconds) { g_delayMicroseconds = microseconds; }

}  // namespace OrvelProbe
