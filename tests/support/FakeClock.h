// A clock for tests: time stands still until a sleep or advance() moves it, so
// polls of one second take no real time. Installed for its own lifetime.
#pragma once

#include <ctime>
#include <vector>

#include "OrvelPlatform/Clock.h"

namespace OrvelTest {

class FakeClock : public OrvelPlatform::Clock {
 public:
  explicit FakeClock(std::time_t start = 1700000000);
  ~FakeClock() override;

  std::time_t now() override { return m_now; }
  void sleepMilliseconds(unsigned milliseconds) override;
  // Local time is taken in UTC so that results do not depend on the machine.
  bool localTime(std::time_t t, std::tm* out) override;

  void set(std::time_t t) { m_now = t; m_pendingMs = 0; }
  void advance(std::time_t seconds) { m_now += seconds; }
  const std::vector<unsigned>& sleeps() const { return m_sleeps; }

 private:
  std::time_t m_now;
  unsigned m_pendingMs = 0;
  std::vector<unsigned> m_sleeps;
  OrvelPlatform::Clock* m_previous;
};

}  // namespace OrvelTest
