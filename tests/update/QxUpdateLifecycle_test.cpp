#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>

#include "UpdateTestHome.h"

using OrvelUpdateTest::UpdateTest;
using A = QxUpdateTestAccess;

namespace {
constexpr const char* kVerifyText = "The component could not be verified by the scan engine.";
}

TEST(QxUpdateLifecycle, WithoutAHomeTheObjectIsNotOk) {
  ::unsetenv("ORVEL_HOME");
  testing::internal::CaptureStdout();
  QxUpdate update;
  EXPECT_EQ("Unable to get ORVEL_HOME\n", testing::internal::GetCapturedStdout());
  EXPECT_FALSE(update.ok());

  std::string locale;
  A::forgetStatics();
  EXPECT_TRUE(QxUpdate::getLocale(locale));
  EXPECT_EQ("en_US", locale);
}

TEST(QxUpdateLifecycle, LanguagesAndDownloadTexts) {
  EXPECT_EQ(4, A::language("LANGUAGE_JPN"));
  EXPECT_EQ(512, A::language("LANGUAGE_ITA"));
  EXPECT_EQ(1, A::language(""));
  EXPECT_EQ(1, A::language("language_jpn"));
  EXPECT_EQ("lurebox exceptions", A::downloadWhat(LUREBOX_EXCEPTION));
  EXPECT_EQ("unknown download type", A::downloadWhat(11));
  EXPECT_EQ("unknown download type", A::downloadWhat(-1));
}

class QxUpdateConfiguration : public UpdateTest {};

TEST_P(QxUpdateConfiguration, SettingsAreReadOnceAndCompareExactly) {
  setting("Debug", "On");
  setting("DisableIncMerge", "yes");
  {
    QxUpdate manual(MANUAL_UPDATE);
    ASSERT_TRUE(manual.ok());
    EXPECT_EQ(3, A::traceLevel(manual));  // "On" is not "on"
    EXPECT_TRUE(A::incMerge(manual));     // only scheduled objects read it
    EXPECT_EQ("/", A::tempDir(manual).substr(0, 1));
    EXPECT_EQ(home->path() + "\\temp\\kf", A::tempDir(manual));
    EXPECT_EQ(home->path() + "\\lib", A::libDir(manual));
  }
  setting("Debug", "on");
  QxUpdate scheduled(SCHEDULED_UPDATE);
  ASSERT_TRUE(scheduled.ok());
  EXPECT_EQ(1, A::traceLevel(scheduled));
  EXPECT_FALSE(A::incMerge(scheduled));
  // Without a locale setting the product speaks US English.
  std::string locale;
  EXPECT_TRUE(QxUpdate::getLocale(locale));
  EXPECT_EQ("en_US", locale);
  EXPECT_NE(std::string::npos, home->log().find("QxUpdate::_init: get locale setting: en_US"));
}

TEST_P(QxUpdateConfiguration, ADatabaseThatIsDownLeavesDefaultsAndWritesNoEvent) {
  setting("Debug", "on");  // stored, then out of reach
  if (GetParam() == OrvelDbTest::Backend::kSqlite) {
    std::filesystem::remove(*home / "lib/orveladmin.db");
    std::filesystem::create_directory(*home / "lib/orveladmin.db");  // cannot be opened
  } else {
    OrvelTest::writeFile(*home / "config/orvel.ini",
                         "[AdminDB]\nbackend = postgresql\nhost = 127.0.0.1\nport = 1\n");
  }
  OrvelDbTest::forgetProcessSettings();
  QxUpdate update;
  // The settings store does not connect when it is made ready; the object
  // works on with the defaults and the event cannot be written.
  EXPECT_TRUE(update.ok());
  EXPECT_EQ(3, A::traceLevel(update));
  EXPECT_FALSE(update.logKFEvent(3, VIRUS_PATTERN, FAIL));
  EXPECT_NE(std::string::npos, home->log().find("QxUpdate::writeLogToDB connect to database failed"));
}

TEST_P(QxUpdateConfiguration, MissingTextsFallBackToBuiltInOnes) {
  useResources("  KF_CPNT_TITLE_SCAN_ENGINE { \"Engine from bundle\" }\n  KF_VERIFY_ERR { \"verify failed {0}\" }\n");
  EXPECT_FALSE(QxUpdate::setLocalCpntTitle());
  EXPECT_EQ("Engine from bundle", QxUpdate::m_cpntname[SCAN_ENGINE]);
  EXPECT_EQ("VirusPattern", QxUpdate::m_cpntname[VIRUS_PATTERN]);
  EXPECT_EQ("CloudsiftAgentPattern", QxUpdate::m_cpntname[CLOUDSIFT_AGENT_PATTERN]);
  EXPECT_NE(std::string::npos,
            home->log().find("QxUpdate::setLocalCpntTitle: retrieve string KF_CPNT_TITLE_VIRUS_PATTERN from resource file failed"));

  std::string format;
  EXPECT_FALSE(QxUpdate::getLocalTimeFormat(format));
  EXPECT_EQ("%m/%d/%Y %r", format);

  // The text of the key with its one numeric argument 0.
  std::string message = "kept ";
  errno = 0;
  A::errString(message, nullptr, nullptr);
  EXPECT_EQ("kept verify failed 0", message);
  EXPECT_NE(std::string::npos, home->log().find("QxUpdate::_getErrString verify failed 0\n"));
}

TEST_P(QxUpdateConfiguration, JapaneseProductsGetJapaneseTexts) {
  setting("locale", "ja", "general");
  QxUpdate update;
  ASSERT_TRUE(update.ok());
  EXPECT_TRUE(QxUpdate::setLocalCpntTitle());
  EXPECT_EQ("ウイルスパターンファイル", QxUpdate::m_cpntname[VIRUS_PATTERN]);
  std::string format;
  EXPECT_TRUE(QxUpdate::getLocalTimeFormat(format));
  EXPECT_EQ("%Y/%m/%d %T", format);
}

TEST_P(QxUpdateConfiguration, JapaneseProductsWithoutATimeFormatGetTheBuiltInOne) {
  useResources("  KF_LOCK_FAIL { \"x\" }\n");
  std::string format;
  std::string ini = OrvelTest::readFile(*home / "config/orvel.ini");
  ini.replace(ini.find("locale = en_US"), 14, "locale = ja");
  OrvelTest::writeFile(*home / "config/orvel.ini", ini);
  EXPECT_FALSE(QxUpdate::getLocalTimeFormat(format));
  EXPECT_EQ("%Y/%m/%d %T", format);
  EXPECT_NE(std::string::npos,
            home->log().find("QxUpdate::getLocalTimeFormat: retrieve string from resource file failed"));
}

TEST_P(QxUpdateConfiguration, ErrorTextsNameTheSystemErrorOnlyInTheLog) {
  std::string message;
  errno = ENOENT;
  A::errString(message, nullptr, nullptr);
  EXPECT_EQ(kVerifyText, message);
  EXPECT_NE(std::string::npos,
            home->log().find(std::string("QxUpdate::_getErrString ") + kVerifyText + "No such file or directory"));
  message.clear();
  A::errString(message, nullptr, "KF_NO_SUCH_KEY");
  EXPECT_EQ("", message);
}

TEST_P(QxUpdateConfiguration, EngineVersionsAreReformatted) {
  QxUpdate update;
  std::string version = "8.9-1002";
  EXPECT_TRUE(A::reformat(update, version));
  EXPECT_EQ("8.900.1002", version);
  version = "8.1";
  EXPECT_FALSE(A::reformat(update, version));
  EXPECT_EQ("8.1", version);
  EXPECT_NE(std::string::npos, home->log().find("QxUpdate::reformatVersion: detect unexpected version format!"));
}

TEST_P(QxUpdateConfiguration, TheFirstInstanceIsTheOnlyOne) {
  QxUpdate* first = QxUpdate::Instance();
  ASSERT_NE(nullptr, first);
  EXPECT_EQ(first, QxUpdate::Instance(SCHEDULED_UPDATE));
  EXPECT_EQ(first, QxUpdate::Instance());
}

INSTANTIATE_TEST_SUITE_P(Backends, QxUpdateConfiguration, ORVEL_DB_BACKENDS);
