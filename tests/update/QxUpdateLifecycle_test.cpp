#include <gtest/gtest.h>

#include <cstdlib>

#include "ProductHome.h"

using A = QxUpdateTestAccess;

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
