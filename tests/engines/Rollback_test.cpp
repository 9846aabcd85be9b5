// rollback: the central backup becomes current again under the download lock, the installation
// adopts its version, and the outcome becomes an event of the scanner that asked.
#include <gtest/gtest.h>

#include <filesystem>
#include <sstream>

#include "EngineTestSupport.h"
#include "OrvelCommon/BoundedCopy.h"
#include "OrvelCommon/GlobalSettingIF.h"
#include "OrvelCommon/LockFileLock.h"
#include "OrvelCommon/QxDBResultset.h"
#include "OrvelCommon/QxDBStatement.h"
#include "UpdateTestHome.h"

namespace fs = std::filesystem;
using OrvelUpdateTest::UpdateTest;
using Lines = std::vector<std::string>;

class QxUpdateRollback : public UpdateTest {
 protected:
  void SetUp() override {
    UpdateTest::SetUp();
    if (IsSkipped() || HasFatalFailure()) return;
    m_lockPath = *home / "lib/.kfdownload.lck";
  }

  void upload(int type, const char* version) {
    const std::string path = *home / (std::string("upload-") + version);
    OrvelTest::writeFile(path, std::string("content of ") + version);
    _uiKFData data{};
    data.type = type;
    ORVEL::boundedCopy(data.version, sizeof data.version, version);
    ORVEL::boundedCopy(data.file_name, sizeof data.file_name, "component.bin");
    ORVEL::boundedCopy(data.file_path, sizeof data.file_path, path.c_str());
    data.file_size = static_cast<int>(fs::file_size(path));
    ASSERT_EQ(ERRC_SUCCESS, KFBlobManager::AddKFBlob(data));
  }
  std::string rows() {
    std::vector<_uiKFDataNoFile> all;
    EXPECT_EQ(ERRC_SUCCESS, KFBlobManager::GetKFRows(all));
    std::string text;
    for (const auto& row : all) text += std::to_string(row.type) + ":" + row.version + " ";
    return text;
  }
  // "scanner|event|description" of every event, oldest first.
  Lines events() {
    auto conn = home->connect();
    ORVEL::QxDBStatement* stmt = nullptr;
    ORVEL::QxDBResultset* rs = nullptr;
    Lines found;
    if (!conn ||
        conn->prepareStatement("select scanner_id, event_id, event_description from "
                               "tb_system_event order by event_no",
                               stmt) != 0 ||
        stmt->excuteQuery(rs) != 0) {
      ADD_FAILURE() << "cannot read the events";
      return found;
    }
    while (rs->next() == 0) {
      int scanner = 0, event = 0;
      const char* description = nullptr;
      rs->getInt("scanner_id", scanner);
      rs->getInt("event_id", event);
      rs->getString("event_description", description);
      found.push_back(std::to_string(scanner) + "|" + std::to_string(event) + "|" +
                      (description ? description : "(null)"));
    }
    return found;
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

TEST_P(QxUpdateRollback, BackupBecomesCurrentAndIsAdopted) {
  upload(VIRUS_PATTERN, "5.763.00");
  upload(VIRUS_PATTERN, "5.765.00");
  setting("VersionVirusPattern", "5.765.00");
  QxUpdate update;
  ASSERT_TRUE(update.ok());

  EXPECT_EQ(SUCCESS, update.rollback(VIRUS_PATTERN, 5));
  EXPECT_EQ("1:5.763.00 ", rows());
  EXPECT_EQ("5.763.00", adopted(VIRUS_PATTERN));
  EXPECT_TRUE(QxUpdateTestAccess::uploaded(update));
  EXPECT_EQ((Lines{"5|10041|Rollback of the virus pattern succeeded. Version: 5.763.00"}),
            events());
  EXPECT_EQ((Lines{"QxUpdate [QxUpdateRollback.cpp]: enter function rollback type=1 scanner_id=5",
                   "QxUpdate [QxUpdateRollback.cpp]: leave function rollback return=1"}),
            rollbackLines());
  EXPECT_TRUE(lockIsFree());

  // Nothing is left to go back to.
  EXPECT_EQ(ROLLBACK_UNAVAILABLE, update.rollback(VIRUS_PATTERN, 5));
  EXPECT_EQ("5.763.00", adopted(VIRUS_PATTERN));
  EXPECT_EQ(1u, events().size());
  EXPECT_NE(
      std::string::npos,
      home->log().find("QxUpdate::rollback: ROLLBACK_UNAVAILABLE: there's no backup file available "
                       "for rollback"));
}

TEST_P(QxUpdateRollback, EventsOnlyForAScanner) {
  upload(DEXA_ENGINE, "2.000.1003");
  upload(DEXA_ENGINE, "2.120.1100");
  upload(QXASE_ENGINE, "7.2.1050");
  upload(QXASE_ENGINE, "7.3.1120");
  QxUpdate update;
  EXPECT_EQ(SUCCESS, update.rollback(DEXA_ENGINE, 0));
  EXPECT_EQ(SUCCESS, update.rollback(QXASE_ENGINE, -3));
  EXPECT_EQ(ROLLBACK_UNAVAILABLE, update.rollback(DEXA_ENGINE, 9));
  EXPECT_EQ(Lines{}, events());
  EXPECT_EQ("2.000.1003", adopted(DEXA_ENGINE));
  EXPECT_EQ("7.2.1050", adopted(QXASE_ENGINE));
}

TEST_P(QxUpdateRollback, HeldDownloadLockFails) {
  upload(DEXA_ENGINE, "2.000.1003");
  upload(DEXA_ENGINE, "2.120.1100");
  QxUpdate update;
  LockFileLock download(m_lockPath.c_str(), false, false);
  ASSERT_TRUE(download.lock());

  EXPECT_EQ(FAIL, update.rollback(DEXA_ENGINE, 5));
  EXPECT_EQ(FAIL, update.rollback(DEXA_ENGINE, 0));
  EXPECT_EQ("9:2.120.1100 109:2.000.1003 ", rows());
  EXPECT_EQ((Lines{"5|10059|Rollback of the Dexa scan engine failed."}), events());
  EXPECT_FALSE(QxUpdateTestAccess::uploaded(update));
  EXPECT_NE(std::string::npos,
            home->log().find(
                "QxUpdate::rollback: Another update is in progress. Please try again later."));

  download.unlock();
  EXPECT_EQ(SUCCESS, update.rollback(DEXA_ENGINE, 5));
  EXPECT_EQ("9:2.000.1003 ", rows());
}

TEST_P(QxUpdateRollback, InvalidTypesTouchNothing) {
  upload(VIRUS_PATTERN, "5.763.00");
  upload(VIRUS_PATTERN, "5.765.00");
  QxUpdate update;
  for (int type : {7, 11, -1}) EXPECT_EQ(FAIL, update.rollback(static_cast<QxUpdateType>(type), 5));
  EXPECT_FALSE(fs::exists(m_lockPath));
  EXPECT_EQ(Lines{}, events());
  EXPECT_EQ("1:5.765.00 101:5.763.00 ", rows());
  EXPECT_EQ(
      (Lines{"QxUpdate [QxUpdateRollback.cpp]: enter function rollback type=7 scanner_id=5",
             "QxUpdate [QxUpdateRollback.cpp]: enter function rollback type=11 scanner_id=5",
             "QxUpdate [QxUpdateRollback.cpp]: enter function rollback type=-1 scanner_id=5"}),
      rollbackLines());
}

TEST_P(QxUpdateRollback, MissingTextsWriteNoEvent) {
  useResources("  KF_LOCK_FAIL { \"busy\" }\n");
  upload(SPYWARE_PATTERN, "1.000.00");
  upload(SPYWARE_PATTERN, "1.100.00");
  QxUpdate update;
  EXPECT_EQ(SUCCESS, update.rollback(SPYWARE_PATTERN, 4));
  LockFileLock download(m_lockPath.c_str(), false, false);
  ASSERT_TRUE(download.lock());
  EXPECT_EQ(FAIL, update.rollback(SPYWARE_PATTERN, 4));
  EXPECT_EQ(Lines{}, events());
  const std::string log = home->log();
  EXPECT_NE(std::string::npos,
            log.find("QxUpdate::rollback: retrieve string [KF_ROLLBACK_SPYWARE_PATTERN_SUCCESS] "
                     "from resource file failed"));
  EXPECT_NE(std::string::npos, log.find("QxUpdate::rollback: retrieve string "
                                        "KF_ROLLBACK_SPYWARE_PATTERN_FAILED from resource file "
                                        "failed"));
  EXPECT_NE(std::string::npos, log.find("QxUpdate::rollback: busy"));
}

INSTANTIATE_TEST_SUITE_P(Backends, QxUpdateRollback, ORVEL_DB_BACKENDS);
