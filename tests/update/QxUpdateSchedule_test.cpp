#include <gtest/gtest.h>

#include <ctime>

#include "FakeClock.h"
#include "UpdateTestHome.h"

using OrvelUpdateTest::UpdateTest;
using A = QxUpdateTestAccess;

namespace {

// 2024-03-02 is a Saturday; the fake clock's local time is UTC.
std::time_t at(int mday, int hour, int minute) {
  std::tm t{};
  t.tm_year = 124;
  t.tm_mon = 2;
  t.tm_mday = mday;
  t.tm_hour = hour;
  t.tm_min = minute;
  return timegm(&t);
}

}  // namespace

TEST(QxUpdateSchedule, MinuteWindows) {
  ::unsetenv("ORVEL_HOME");
  testing::internal::CaptureStdout();
  QxUpdate update;
  testing::internal::GetCapturedStdout();
  EXPECT_EQ(1, A::checkMinutes(update, 0, 0));
  EXPECT_EQ(1, A::checkMinutes(update, 0, 14));
  EXPECT_EQ(0, A::checkMinutes(update, 0, 15));
  EXPECT_EQ(1, A::checkMinutes(update, 15, 29));
  EXPECT_EQ(0, A::checkMinutes(update, 30, 45));
  EXPECT_EQ(1, A::checkMinutes(update, 45, 58));
  EXPECT_EQ(0, A::checkMinutes(update, 45, 59));
  EXPECT_EQ(0, A::checkMinutes(update, 10, 10));
}

class QxUpdateScheduleDecision : public UpdateTest {
 protected:
  // Decides with a fresh scheduled object at the given time.
  bool dueAt(std::time_t when) {
    OrvelTest::FakeClock clock(when);
    QxUpdate update(SCHEDULED_UPDATE);
    EXPECT_TRUE(update.ok());
    A::decideSchedule(update);
    return A::scheduleDue(update);
  }
};

TEST_P(QxUpdateScheduleDecision, EveryFewMinutes) {
  setting("EnableUpdateSchedule", "yes");
  setting("Frequency", "15");
  EXPECT_TRUE(dueAt(at(4, 10, 19)));  // 19 mod 15 is 4
  EXPECT_FALSE(dueAt(at(4, 10, 20)));
  setting("Frequency", "30");
  EXPECT_TRUE(dueAt(at(4, 10, 34)));
  EXPECT_FALSE(dueAt(at(4, 10, 35)));
  setting("Frequency", "10");
  EXPECT_TRUE(dueAt(at(4, 10, 54)));
  EXPECT_FALSE(dueAt(at(4, 10, 55)));
  EXPECT_NE(std::string::npos, home->log().find("Update Frequency: 10"));
}

TEST_P(QxUpdateScheduleDecision, HourlyDailyAndWeekly) {
  setting("EnableUpdateSchedule", "yes");
  setting("Frequency", "Hourly");
  setting("Hour", "2:45");
  EXPECT_TRUE(dueAt(at(4, 7, 45)));
  EXPECT_TRUE(dueAt(at(4, 19, 58)));
  EXPECT_FALSE(dueAt(at(4, 19, 59)));
  EXPECT_FALSE(dueAt(at(4, 2, 30)));

  setting("Frequency", "Daily");
  setting("Hour", "");  // no ":": hour and minute 0
  EXPECT_TRUE(dueAt(at(4, 0, 14)));
  EXPECT_FALSE(dueAt(at(4, 2, 0)));

  setting("Hour", "2:10");  // not a quarter: never due
  EXPECT_FALSE(dueAt(at(4, 2, 10)));

  setting("Frequency", "Weekly");
  setting("Hour", "23:30");
  setting("DayOfWeek1", "6");
  EXPECT_TRUE(dueAt(at(2, 23, 30)));   // Saturday
  EXPECT_TRUE(dueAt(at(2, 23, 44)));
  EXPECT_FALSE(dueAt(at(2, 23, 45)));
  EXPECT_FALSE(dueAt(at(3, 23, 30)));  // Sunday
}

TEST_P(QxUpdateScheduleDecision, DefaultsAndSwitchedOff) {
  // Nothing configured: switched off.
  EXPECT_FALSE(dueAt(at(4, 2, 0)));
  setting("EnableUpdateSchedule", "Yes");
  EXPECT_FALSE(dueAt(at(4, 10, 0)));

  // Switched on, no frequency: every 15 minutes, with a level-1 line.
  setting("EnableUpdateSchedule", "yes");
  EXPECT_TRUE(dueAt(at(4, 10, 3)));
  EXPECT_NE(std::string::npos, home->log().find("get Frequency failed"));
  // A daily schedule without "Hour" runs at 02:00 to 02:14.
  setting("Frequency", "Daily");
  EXPECT_TRUE(dueAt(at(4, 2, 14)));
  EXPECT_FALSE(dueAt(at(4, 2, 15)));
  EXPECT_FALSE(dueAt(at(4, 3, 0)));
}

TEST_P(QxUpdateScheduleDecision, TheLocalIniOverridesTheFrequency) {
  setting("EnableUpdateSchedule", "yes");
  setting("Frequency", "Daily");
  OrvelTest::writeFile(*home / "config/orvel.ini",
                       OrvelTest::readFile(*home / "config/orvel.ini") + "\n[Update]\nFrequency = 30\n");
  EXPECT_TRUE(dueAt(at(4, 10, 31)));
  EXPECT_NE(std::string::npos, home->log().find("Get update frequency from orvel.ini: 30"));
}

TEST_P(QxUpdateScheduleDecision, ADecisionOnceMadeStandsUntilTheKindIsSetAgain) {
  setting("EnableUpdateSchedule", "yes");
  setting("Frequency", "15");
  OrvelTest::FakeClock clock(at(4, 10, 0));
  QxUpdate update(SCHEDULED_UPDATE);
  A::decideSchedule(update);
  EXPECT_TRUE(A::scheduleDue(update));
  clock.set(at(4, 10, 7));
  A::decideSchedule(update);
  EXPECT_TRUE(A::scheduleDue(update));
  update.setType(SCHEDULED_UPDATE);
  A::decideSchedule(update);
  EXPECT_FALSE(A::scheduleDue(update));
  EXPECT_NE(std::string::npos, home->log().find("leave function _setScheduleUpdate doUpdate[0]"));
}

INSTANTIATE_TEST_SUITE_P(Backends, QxUpdateScheduleDecision, ORVEL_DB_BACKENDS);
