#include "FakeClock.h"

namespace OrvelTest {

FakeClock::FakeClock(std::time_t start) : m_now(start), m_previous(OrvelPlatform::setClock(this)) {}

FakeClock::~FakeClock() { OrvelPlatform::setClock(m_previous); }

void FakeClock::sleepMilliseconds(unsigned milliseconds) {
  m_sleeps.push_back(milliseconds);
  m_pendingMs += milliseconds;
  m_now += m_pendingMs / 1000;
  m_pendingMs %= 1000;
}

bool FakeClock::localTime(std::time_t t, std::tm* out) { return out && gmtime_r(&t, out) != nullptr; }

}  // namespace OrvelTest
