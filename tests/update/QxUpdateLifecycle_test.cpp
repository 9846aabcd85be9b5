#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>

#include "ProductHome.h"

using A = QxUpdateTestAccess;
using OrvelTest::Backend;

TEST(QxUpdateLifecycle, WithoutAHomeTheObjectIsNotOkAndSpeaksUsEnglish) {
  ::unsetenv("ORVEL_HOME");
  testing::internal::CaptureStdout();
  QxUpdate update;
  EXPECT_EQ("Unable to get ORVEL_HOME\n", testing::internal::GetCapturedStdout());
  EXPECT_FALSE(update.ok());
  EXPECT_FALSE(update.logKFEvent(1, VIRUS_PATTERN, SUCCESS)) << "no texts, no event";
  std::string locale;
  A::forgetStatics();
  EXPECT_TRUE(QxUpdate::getLocale(locale));
  EXPECT_EQ("en_US", locale);
}

class QxUpdateConfiguration : public OrvelTest::SqliteHomeTest {};

// Settings compare exactly ("On" is not "on").
TEST_F(QxUpdateConfiguration, SettingsAreReadOnceAndCompareExactly) {
  home->setting("Debug", "On");
  home->setting("DisableIncMerge", "yes");
  {
    QxUpdate manual(MANUAL_UPDATE);
    ASSERT_TRUE(manual.ok());
    EXPECT_EQ(3, A::traceLevel(manual));
    EXPECT_TRUE(A::incMerge(manual));  // only scheduled objects read it
  }
  home->setting("Debug", "on");
  QxUpdate scheduled(SCHEDULED_UPDATE);
  EXPECT_EQ(1, A::traceLevel(scheduled));
  EXPECT_FALSE(A::incMerge(scheduled));
}

// The failure paths of the two backends differ: each is taken.
class QxUpdateDatabaseDown : public OrvelTest::HomeTest {};

TEST_P(QxUpdateDatabaseDown, ADatabaseThatIsDownLeavesDefaultsAndWritesNoEvent) {
  home->setting("Debug", "on");  // stored, then out of reach
  if (GetParam() == Backend::kSqlite) {
    std::filesystem::remove(*home / "lib/orveladmin.db");
    std::filesystem::create_directory(*home / "lib/orveladmin.db");  // cannot be opened
  } else {
    OrvelTest::writeFile(*home / "config/orvel.ini",
                         "[AdminDB]\nbackend = postgresql\nhost = 127.0.0.1\nport = 1\n");
  }
  OrvelTest::forgetProcessSettings();
  QxUpdate update;
  // The settings store does not connect when it is made ready; the object works on with the
  // defaults and the event cannot be written.
  EXPECT_TRUE(update.ok());
  EXPECT_EQ(3, A::traceLevel(update));
  EXPECT_FALSE(update.logKFEvent(3, VIRUS_PATTERN, FAIL));
  EXPECT_NE(std::string::npos,
            home->log().find("QxUpdate::writeLogToDB connect to database failed"));
}

INSTANTIATE_TEST_SUITE_P(Backends, QxUpdateDatabaseDown, ORVEL_DB_BACKENDS);
