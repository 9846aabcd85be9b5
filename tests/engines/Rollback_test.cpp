// rollback: the central backup becomes current again under the download lock, the installation
// adopts its version, and the outcome becomes an event of the scanner that asked.
#include <gtest/gtest.h>

#include <filesystem>
#include <sstream>

#include "EngineTestSupport.h"
#include "OrvelCommon/GlobalSettingIF.h"
#include "OrvelCommon/LockFileLock.h"
#include "ProductHome.h"

namespace fs = std::filesystem;
using Lines = std::vector<std::string>;

// The rollback's own work does not depend on the backend; the blob store's rows and the events are
// checked on both backends by their own tests.
class QxUpdateRollback : public OrvelTest::SqliteHomeTest {
 protected:
  void SetUp() override {
    SqliteHomeTest::SetUp();
    if (IsSkipped() || HasFatalFailure()) return;
    m_lockPath = *home / "lib/.kfdownload.lck";
  }

  void upload(int type, const char* version) {
    ASSERT_EQ(ERRC_SUCCESS, home->upload(type, version, std::string("content of ") + version));
  }
  std::string adopted(int type) {
    ORVEL::GlobalSettingIF settings;
    EXPECT_TRUE(settings.Init(nullptr, nullptr, nullptr, nullptr));
    std::string value = "(none)";
    settings.readSetting(kfGlobalVersionKey[type], value, "Update", "orvel.ini");
    return value;
  }
  bool lockIsFree() {
    LockFileLock probe(m_lockPath.c_str(), false, false);
    return probe.lock();
  }
  // The log lines of the rollback that name the operation (the enter and leave lines carry the
  // source line, which is left out here).
  Lines rollbackLines() {
    Lines lines;
    std::istringstream in(home->log());
    for (std::string line; std::getline(in, line);) {
      const std::size_t at = line.find("QxUpdate");
      if (at == std::string::npos || line.find("rollback") == std::string::npos) continue;
      std::string text = line.substr(at);
      lines.push_back(OrvelEngineTest::withoutSourceLine(text));
    }
    return lines;
  }

  std::string m_lockPath;
};

TEST_F(QxUpdateRollback, BackupBecomesCurrentAndIsAdoptedButInvalidTypesTouchNothing) {
  upload(VIRUS_PATTERN, "5.763.00");
  upload(VIRUS_PATTERN, "5.765.00");
  home->setting("VersionVirusPattern", "5.765.00");
  QxUpdate update;
  ASSERT_TRUE(update.ok());
  for (int type : {7, 11, -1}) EXPECT_EQ(FAIL, update.rollback(static_cast<QxUpdateType>(type), 5));
  EXPECT_FALSE(fs::exists(m_lockPath));
  EXPECT_EQ("1:5.765.00 101:5.763.00 ", home->componentRows());

  EXPECT_EQ(SUCCESS, update.rollback(VIRUS_PATTERN, 5));
  EXPECT_EQ("1:5.763.00 ", home->componentRows());
  EXPECT_EQ("5.763.00", adopted(VIRUS_PATTERN));
  EXPECT_TRUE(QxUpdateTestAccess::uploaded(update));
  EXPECT_EQ((Lines{"5|10041|Rollback of the virus pattern succeeded. Version: 5.763.00"}),
            home->events());
  const std::string enter = "QxUpdate [QxUpdateRollback.cpp]: enter function rollback type=";
  EXPECT_EQ((Lines{enter + "7 scanner_id=5", enter + "11 scanner_id=5", enter + "-1 scanner_id=5",
                   enter + "1 scanner_id=5",
                   "QxUpdate [QxUpdateRollback.cpp]: leave function rollback return=1"}),
            rollbackLines());
  EXPECT_TRUE(lockIsFree());
  // Nothing is left to go back to.
  EXPECT_EQ(ROLLBACK_UNAVAILABLE, update.rollback(VIRUS_PATTERN, 5));
  EXPECT_EQ("5.763.00", adopted(VIRUS_PATTERN));
  EXPECT_EQ(1u, home->events().size());
  EXPECT_NE(std::string::npos, home->log().find("QxUpdate::rollback: ROLLBACK_UNAVAILABLE: there's "
                                                "no backup file available for rollback"));
}

TEST_F(QxUpdateRollback, AHeldDownloadLockFailsAndOnlyAScannerGetsEvents) {
  upload(DEXA_ENGINE, "2.000.1003");
  upload(DEXA_ENGINE, "2.120.1100");
  upload(QXASE_ENGINE, "7.2.1050");
  upload(QXASE_ENGINE, "7.3.1120");
  QxUpdate update;
  LockFileLock download(m_lockPath.c_str(), false, false);
  ASSERT_TRUE(download.lock());
  EXPECT_EQ(FAIL, update.rollback(DEXA_ENGINE, 5));
  EXPECT_EQ(FAIL, update.rollback(DEXA_ENGINE, 0));
  EXPECT_EQ("5:7.3.1120 9:2.120.1100 105:7.2.1050 109:2.000.1003 ", home->componentRows());
  EXPECT_EQ((Lines{"5|10059|Rollback of the Dexa scan engine failed."}), home->events());
  EXPECT_FALSE(QxUpdateTestAccess::uploaded(update));
  EXPECT_NE(std::string::npos, home->log().find("QxUpdate::rollback: Another update is in "
                                                "progress. Please try again later."));
  download.unlock();
  EXPECT_EQ(SUCCESS, update.rollback(DEXA_ENGINE, 0));
  EXPECT_EQ(SUCCESS, update.rollback(QXASE_ENGINE, -3));
  EXPECT_EQ(ROLLBACK_UNAVAILABLE, update.rollback(DEXA_ENGINE, 9));
  EXPECT_EQ(1u, home->events().size()) << "no event without a scanner";
  EXPECT_EQ("2.000.1003", adopted(DEXA_ENGINE));
  EXPECT_EQ("7.2.1050", adopted(QXASE_ENGINE));
}

TEST_F(QxUpdateRollback, MissingTextsWriteNoEvent) {
  home->useResources("  KF_LOCK_FAIL { \"busy\" }\n");
  upload(SPYWARE_PATTERN, "1.000.00");
  upload(SPYWARE_PATTERN, "1.100.00");
  QxUpdate update;
  EXPECT_EQ(SUCCESS, update.rollback(SPYWARE_PATTERN, 4));
  LockFileLock download(m_lockPath.c_str(), false, false);
  ASSERT_TRUE(download.lock());
  EXPECT_EQ(FAIL, update.rollback(SPYWARE_PATTERN, 4));
  EXPECT_EQ(Lines{}, home->events());
  const std::string log = home->log();
  EXPECT_NE(std::string::npos,
            log.find("QxUpdate::rollback: retrieve string [KF_ROLLBACK_SPYWARE_PATTERN_SUCCESS] "
                     "from resource file failed"));
  EXPECT_NE(std::string::npos, log.find("QxUpdate::rollback: retrieve string "
                                        "KF_ROLLBACK_SPYWARE_PATTERN_FAILED from resource file "
                                        "failed"));
  EXPECT_NE(std::string::npos, log.find("QxUpdate::rollback: busy"));
}
