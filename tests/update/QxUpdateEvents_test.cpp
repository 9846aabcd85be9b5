#include <gtest/gtest.h>

#include <ctime>

#include "FakeClock.h"
#include "ProductHome.h"

using A = QxUpdateTestAccess;
using Lines = std::vector<std::string>;

class QxUpdateEvents : public OrvelTest::HomeTest {};

TEST_P(QxUpdateEvents, IdentifiersAndTextsOfEachOutcomeAndNoneWithoutAnEvent) {
  std::tm t{};
  t.tm_year = 124, t.tm_mon = 2, t.tm_mday = 5, t.tm_hour = 7, t.tm_min = 8, t.tm_sec = 9;
  OrvelTest::FakeClock clock(timegm(&t));
  QxUpdate scheduled(SCHEDULED_UPDATE);
  ASSERT_TRUE(scheduled.ok());
  EXPECT_TRUE(scheduled.logKFEvent(7, DEXA_ENGINE, FAIL));
  QxUpdate manual(MANUAL_UPDATE);
  EXPECT_TRUE(manual.logKFEvent(8, SCAN_ENGINE, FAIL));
  // The spam pattern's version carries the patch of its incremental pattern.
  A::setResultVersion(manual, QXASE_PATTERN, "17461");
  A::setRuleVersion(manual, 17461005);
  EXPECT_TRUE(manual.logKFEvent(9, QXASE_PATTERN, SUCCESS));
  // Outcomes that have no event write none.
  EXPECT_EQ((std::vector<bool>(3, false)),
            (std::vector<bool>{manual.logKFEvent(1, QXASE_PATCH, SUCCESS),
                               manual.logKFEvent(1, VIRUS_PATTERN, UP_TO_DATE),
                               QxUpdate(CONSOLE_UPDATE).logKFEvent(1, VIRUS_PATTERN, SUCCESS)}));
  EXPECT_EQ(
      (Lines{"7|10039|2024-03-05 07:08:09|Scheduled update of the Dexa scan engine failed.",
             "8|10010|2024-03-05 07:08:09|Manual update of the virus scan engine failed.",
             "9|10006|2024-03-05 07:08:09|Manual update of the spam pattern succeeded. Version: "
             "17461.005"}),
      home->events(true));
}

INSTANTIATE_TEST_SUITE_P(Backends, QxUpdateEvents, ORVEL_DB_BACKENDS);
