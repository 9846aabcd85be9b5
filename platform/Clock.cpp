#include "OrvelPlatform/Clock.h"

#include <atomic>
#include <chrono>
#include <thread>

namespace OrvelPlatform {

namespace {

class SystemClock : public Clock {
 public:
  std::time_t now() override { return std::time(nullptr); }
  void sleepMilliseconds(unsigned milliseconds) override {
    std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
  }
};

SystemClock g_systemClock;
std::atomic<Clock*> g_clock{&g_systemClock};

}  // namespace

bool Clock::localTime(std::time_t t, std::tm* out) { return out && localtime_r(&t, out) != nullptr; }

Clock& clock() { return *g_clock.load(); }

Clock* setClock(Clock* replacement) {
  Clock* previous = g_clock.exchange(replacement ? replacement : &g_systemClock);
  return previous == &g_systemClock ? nullptr : previous;
}

}  // namespace OrvelPlatform
