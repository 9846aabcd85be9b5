#include <gtest/gtest.h>

#include <ctime>

#include "FakeClock.h"
#include "ProductHome.h"

using A = QxUpdateTestAccess;

namespace {

// 2024-03-02 is a Saturday; the fake clock's local time is UTC.
std::time_t at(int mday, int hour, int minute) {
  return 1709337600 + (mday - 2) * 86400 + hour * 3600 + minute * 60;
}

class QxUpdateScheduleDecision : public OrvelTest::SqliteHomeTest {};

// The local orvel.ini overrides the frequency of the central settings; a decision stands until
// the object is reset.
TEST_F(QxUpdateScheduleDecision, SwitchedOffEveryFewMinutesHourlyDailyAndWeekly) {
  const struct {
    const char* key;  // a setting written first; null: none
    const char* value;
    std::time_t when;  // 0: no decision
    bool due;
  } steps[] = {
      {nullptr, nullptr, at(4, 2, 0), false},  // nothing configured: switched off
      {"EnableUpdateSchedule", "Yes", at(4, 10, 0), false},
      {"EnableUpdateSchedule", "yes", at(4, 10, 3), true},  // no frequency: every 15 minutes
      {"Frequency", "Daily", at(4, 2, 14), true},           // no "Hour": 02:00 to 02:14
      {nullptr, nullptr, at(4, 2, 15), false},
      {nullptr, nullptr, at(4, 3, 0), false},
      {"Hour", "2:45", 0, false},
      {"Frequency", "Hourly", at(4, 7, 45), true},
      {nullptr, nullptr, at(4, 19, 58), true},
      {nullptr, nullptr, at(4, 19, 59), false},
      {nullptr, nullptr, at(4, 2, 30), false},
      {"Hour", "2:15", at(4, 7, 29), true},
      {nullptr, nullptr, at(4, 7, 30), false},
      {"Frequency", "Daily", 0, false},
      {"Hour", "", at(4, 0, 14), true},       // no ":": hour and minute 0
      {"Hour", "2:10", at(4, 2, 10), false},  // not a quarter: never due
      {"Frequency", "Weekly", 0, false},
      {"Hour", "23:30", 0, false},
      {"DayOfWeek1", "6", at(2, 23, 30), true},  // Saturday
      {nullptr, nullptr, at(2, 23, 44), true},
      {nullptr, nullptr, at(2, 23, 45), false},
      {nullptr, nullptr, at(3, 23, 30), false},  // Sunday
  };
  OrvelTest::FakeClock clock;
  for (const auto& step : steps) {
    if (step.key) home->setting(step.key, step.value);
    if (!step.when) continue;
    clock.set(step.when);
    QxUpdate update(SCHEDULED_UPDATE);
    EXPECT_TRUE(update.ok());
    A::decideSchedule(update);
    EXPECT_EQ(step.due, A::scheduleDue(update)) << std::asctime(std::gmtime(&step.when));
  }

  OrvelTest::writeFile(*home / "config/orvel.ini", OrvelTest::readFile(*home / "config/orvel.ini") +
                                                       "\n[Update]\nFrequency = 30\n");
  clock.set(at(4, 10, 31));
  QxUpdate update(SCHEDULED_UPDATE);
  A::decideSchedule(update);
  EXPECT_TRUE(A::scheduleDue(update));
  clock.set(at(4, 10, 37));
  update.setType(SCHEDULED_UPDATE);
  A::decideSchedule(update);
  EXPECT_FALSE(A::scheduleDue(update));
}

}  // namespace
