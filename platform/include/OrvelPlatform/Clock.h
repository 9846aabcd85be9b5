// Time and sleeping, behind one interface so that tests can replace them.
//
// Everything in the product that asks for the current time or waits (service
// polls, schedule decisions, time stamps) goes through clock(). Tests install a
// clock whose sleep advances its own time at once, so that no test waits for
// real seconds.
#pragma once

#include <ctime>

#pragma GCC visibility push(default)

namespace OrvelPlatform {

class Clock {
 public:
  virtual ~Clock() = default;
  // Seconds since 1970-01-01 00:00 UTC.
  virtual std::time_t now() = 0;
  virtual void sleepMilliseconds(unsigned milliseconds) = 0;
  // Converts to the local time of this machine; false when it cannot.
  virtual bool localTime(std::time_t t, std::tm* out);
};

// The clock in use: the system clock unless a test installed another.
Clock& clock();

// Installs a clock (null restores the system clock) and returns the one it
// replaces. The caller keeps ownership.
Clock* setClock(Clock* replacement);

}  // namespace OrvelPlatform

#pragma GCC visibility pop
