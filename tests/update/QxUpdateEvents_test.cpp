#include <gtest/gtest.h>

#include <ctime>

#include "FakeClock.h"
#include "OrvelCommon/QxDBResultset.h"
#include "OrvelCommon/QxDBStatement.h"
#include "UpdateTestHome.h"

using OrvelUpdateTest::UpdateTest;
using A = QxUpdateTestAccess;

class QxUpdateEvents : public UpdateTest {
 protected:
  // "scanner|event|time|description" of every event, in insertion order.
  std::string events() {
    auto conn = home->connect();
    ORVEL::QxDBStatement* stmt = nullptr;
    ORVEL::QxDBResultset* rs = nullptr;
    EXPECT_EQ(0, conn->prepareStatement(
                     "select scanner_id, event_id, time_date, event_description from tb_system_event "
                     "order by event_no",
                     stmt));
    EXPECT_EQ(0, stmt->excuteQuery(rs));
    std::string text;
    while (rs->next() == 0) {
      int scanner = 0, event = 0;
      ORVEL::QxDBTimestamp time;
      const char* description = nullptr;
      rs->getInt("scanner_id", scanner);
      rs->getInt("event_id", event);
      rs->getTimestamp("time_date", time);
      rs->getString("event_description", description);
      char stamp[32];
      std::snprintf(stamp, sizeof stamp, "%04d-%02d-%02d %02d:%02d:%02d", time.year, time.month, time.day,
                    time.hour, time.minute, time.second);
      text += std::to_string(scanner) + "|" + std::to_string(event) + "|" + stamp + "|" +
              (description ? description : "(null)") + "\n";
    }
    return text;
  }
};

TEST_P(QxUpdateEvents, IdentifiersAndTextsOfEachOutcome) {
  std::tm t{};
  t.tm_year = 124, t.tm_mon = 2, t.tm_mday = 5, t.tm_hour = 7, t.tm_min = 8, t.tm_sec = 9;
  OrvelTest::FakeClock clock(timegm(&t));

  QxUpdate scheduled(SCHEDULED_UPDATE);
  ASSERT_TRUE(scheduled.ok());
  EXPECT_TRUE(scheduled.logKFEvent(7, DEXA_ENGINE, FAIL));

  QxUpdate manual(MANUAL_UPDATE);
  A::setResultVersion(manual, CLOUDSIFT_AGENT_PATTERN, "1.234.56");
  EXPECT_TRUE(manual.logKFEvent(7, CLOUDSIFT_AGENT_PATTERN, SUCCESS));
  EXPECT_TRUE(manual.logKFEvent(8, SCAN_ENGINE, FAIL));

  // The spam pattern's version carries the patch of its incremental pattern.
  A::setResultVersion(manual, QXASE_PATTERN, "17461");
  A::setRuleVersion(manual, 17461005);
  EXPECT_TRUE(manual.logKFEvent(9, QXASE_PATTERN, SUCCESS));

  EXPECT_EQ("7|10039|2024-03-05 07:08:09|Scheduled update of the Dexa scan engine failed.\n"
            "7|10010|2024-03-05 07:08:09|Manual update of the Cloudsift agent pattern succeeded. Version: 1.234.56\n"
            "8|10010|2024-03-05 07:08:09|Manual update of the virus scan engine failed.\n"
            "9|10006|2024-03-05 07:08:09|Manual update of the spam pattern succeeded. Version: 17461.005\n",
            events());
}

TEST_P(QxUpdateEvents, OutcomesWithoutAnEventWriteNothing) {
  // Texts without the event keys (ICU keeps bundles once opened: first).
  useResources("  KF_LOCK_FAIL { \"x\" }\n");
  QxUpdate manual(MANUAL_UPDATE);
  EXPECT_FALSE(manual.logKFEvent(1, QXASE_PATCH, SUCCESS));
  EXPECT_FALSE(manual.logKFEvent(1, static_cast<QxUpdateType>(11), SUCCESS));
  EXPECT_FALSE(manual.logKFEvent(1, VIRUS_PATTERN, UP_TO_DATE));
  QxUpdate console(CONSOLE_UPDATE);
  EXPECT_FALSE(console.logKFEvent(1, VIRUS_PATTERN, SUCCESS));
  QxUpdate other(static_cast<QxUpdateKind>(5));
  EXPECT_FALSE(other.logKFEvent(1, VIRUS_PATTERN, FAIL));

  // A missing text writes no event.
  EXPECT_FALSE(manual.logKFEvent(1, VIRUS_PATTERN, FAIL));
  EXPECT_NE(std::string::npos, home->log().find("QxUpdate::logKFEvent: retrieve string from resource file failed"));
  EXPECT_EQ("", events());
}

TEST_P(QxUpdateEvents, ResultVersions) {
  QxUpdate update;
  std::string version = "kept";
  EXPECT_EQ(FAIL, update.getResultVersion(QXASE_PATCH, version));
  EXPECT_EQ(FAIL, update.getResultVersion(static_cast<QxUpdateType>(11), version));
  EXPECT_EQ(SUCCESS, update.getResultVersion(QXASE_PATTERN, version));
  EXPECT_EQ("kept", version);  // no spam pattern result yet
  A::setResultVersion(update, QXASE_PATTERN, "17461");
  A::setRuleVersion(update, 17460999);
  EXPECT_EQ(SUCCESS, update.getResultVersion(QXASE_PATTERN, version));
  EXPECT_EQ("17461.000", version);
  EXPECT_EQ(SUCCESS, update.getResultVersion(VIRUS_PATTERN, version));
  EXPECT_EQ("", version);
}

TEST_P(QxUpdateEvents, NoUploadNoCounterChange) {
  QxUpdate update;
  int before = 0;
  ASSERT_TRUE(KFBlobManager::GetKFUploadsNum(before));
  EXPECT_TRUE(update.setUploadNumber());
  int after = 0;
  ASSERT_TRUE(KFBlobManager::GetKFUploadsNum(after));
  EXPECT_EQ(before, after);
}

INSTANTIATE_TEST_SUITE_P(Backends, QxUpdateEvents, ORVEL_DB_BACKENDS);
