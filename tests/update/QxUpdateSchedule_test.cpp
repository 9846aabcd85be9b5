#include <gtest/gtest.h>

#include <ctime>
#include <vector>

#include "FakeClock.h"
#include "ProductHome.h"

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
  const int windows[][3] = {{0, 0, 1},   {0, 14, 1},  {0, 15, 0},  {15, 29, 1},
                            {30, 45, 0}, {45, 58, 1}, {45, 59, 0}, {10, 10, 0}};
  for (const auto& w : windows)
    EXPECT_EQ(w[2], A::checkMinutes(update, w[0], w[1])) << w[0] << w[1];
}

class QxUpdateScheduleDecision : public OrvelTest::SqliteHomeTest {
 protected:
  // Decides with a fresh scheduled object at the given time.
  bool dueAt(std::time_t when) {
    OrvelTest::FakeClock clock(when);
    QxUpdate update(SCHEDULED_UPDATE);
    EXPECT_TRUE(update.ok());
    A::decideSchedule(update);
    return A::scheduleDue(update);
  }
  struct Step {
    const char* key;  // a setting written first; null: none
    const char* value;
    std::time_t when;  // 0: no decision
    bool due;
  };
  void expectDecisions(const std::vector<Step>& steps) {
    for (const Step& step : steps) {
      if (step.key) home->setting(step.key, step.value);
      if (step.when) {
        EXPECT_EQ(step.due, dueAt(step.when)) << std::asctime(std::gmtime(&step.when));
      }
    }
  }
};

TEST_F(QxUpdateScheduleDecision, SwitchedOffEveryFewMinutesHourlyDailyAndWeekly) {
  expectDecisions({
      {nullptr, nullptr, at(4, 2, 0), false},  // nothing configured: switched off
      {"EnableUpdateSchedule", "Yes", at(4, 10, 0), false},
      {"EnableUpdateSchedule", "yes", at(4, 10, 3), true},  // no frequency: every 15 minutes
      {"Frequency", "Daily", at(4, 2, 14), true},           // no "Hour": 02:00 to 02:14
      {nullptr, nullptr, at(4, 2, 15), false},
      {nullptr, nullptr, at(4, 3, 0), false},
      {"Frequency", "15", at(4, 10, 19), true},  // 19 mod 15 is 4
      {nullptr, nullptr, at(4, 10, 20), false},
      {"Frequency", "30", at(4, 10, 34), true},
      {nullptr, nullptr, at(4, 10, 35), false},
      {"Frequency", "10", at(4, 10, 54), true},
      {nullptr, nullptr, at(4, 10, 55), false},
      {"Hour", "2:45", 0, false},
      {"Frequency", "Hourly", at(4, 7, 45), true},
      {nullptr, nullptr, at(4, 19, 58), true},
      {nullptr, nullptr, at(4, 19, 59), false},
      {nullptr, nullptr, at(4, 2, 30), false},
      {"Frequency", "Daily", 0, false},
      {"Hour", "", at(4, 0, 14), true},  // no ":": hour and minute 0
      {nullptr, nullptr, at(4, 2, 0), false},
      {"Hour", "2:10", at(4, 2, 10), false},  // not a quarter: never due
      {"Frequency", "Weekly", 0, false},
      {"Hour", "23:30", 0, false},
      {"DayOfWeek1", "6", at(2, 23, 30), true},  // Saturday
      {nullptr, nullptr, at(2, 23, 44), true},
      {nullptr, nullptr, at(2, 23, 45), false},
      {nullptr, nullptr, at(3, 23, 30), false},  // Sunday
  });
  const std::string log = home->log();
  EXPECT_NE(std::string::npos, log.find("get Frequency failed"));
  EXPECT_NE(std::string::npos, log.find("Update Frequency: 10"));
}

TEST_F(QxUpdateScheduleDecision, TheLocalIniOverridesTheFrequencyAndADecisionStandsUntilReset) {
  home->setting("EnableUpdateSchedule", "yes");
  home->setting("Frequency", "Daily");
  OrvelTest::writeFile(*home / "config/orvel.ini", OrvelTest::readFile(*home / "config/orvel.ini") +
                                                       "\n[Update]\nFrequency = 30\n");
  EXPECT_TRUE(dueAt(at(4, 10, 31)));
  EXPECT_NE(std::string::npos, home->log().find("Get update frequency from orvel.ini: 30"));

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
