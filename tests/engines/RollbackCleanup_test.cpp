// rollback: the central backup becomes current again under the download lock, the installation
// adopts its version, and the outcome becomes an event of the scanner that asked. The clean-up of
// the download folders: the installed engines keep the newest patterns and rule sets.
#include <gtest/gtest.h>

#include <filesystem>

#include "EngineTestSupport.h"
#include "OrvelCommon/GlobalSettingIF.h"
#include "OrvelCommon/LockFileLock.h"
#include "OrvelPlatform/DynamicLibrary.h"
#include "ProductHome.h"

namespace fs = std::filesystem;
using namespace OrvelEngineTest;
using Lines = std::vector<std::string>;
using OrvelEngines::FileCheck;
using OrvelEngines::PatternKind;

class QxUpdateEnginesTestAccess {
 public:
  static int ziranCleanup(QxUpdate& update, int keep) {
    return update._doZIRANPatternCleanup(keep);
  }
  static int qxaseCleanup(QxUpdate& update, int keep) {
    return update._doQXASEPatternCleanup(keep);
  }
};
using A = QxUpdateEnginesTestAccess;

namespace {

// Neither the rollback's own work nor the clean-up depends on the backend; the blob store's rows
// and the events are checked on both backends by their own tests.
class QxUpdateRollback : public OrvelTest::SqliteHomeTest {
 protected:
  std::string lockPath() const { return *home / "lib/.kfdownload.lck"; }
  void upload(int type, std::initializer_list<const char*> versions) {
    for (const char* version : versions)
      ASSERT_EQ(ERRC_SUCCESS, home->upload(type, version, std::string("content of ") + version));
  }
  std::string adopted(int type) {
    ORVEL::GlobalSettingIF settings;
    EXPECT_TRUE(settings.Init(nullptr, nullptr, nullptr, nullptr));
    std::string value = "(none)";
    settings.readSetting(kfGlobalVersionKey[type], value, "Update", "orvel.ini");
    return value;
  }
  bool logHas(const std::string& text) { return home->log().find(text) != std::string::npos; }
};

TEST_F(QxUpdateRollback, BackupBecomesCurrentAndIsAdoptedButInvalidTypesTouchNothing) {
  upload(VIRUS_PATTERN, {"5.763.00", "5.765.00"});
  home->setting("VersionVirusPattern", "5.765.00");
  QxUpdate update;
  ASSERT_TRUE(update.ok());
  for (int type : {7, 11}) EXPECT_EQ(FAIL, update.rollback(static_cast<QxUpdateType>(type), 5));
  EXPECT_EQ("1:5.765.00 101:5.763.00 ", home->componentRows());

  EXPECT_EQ(SUCCESS, update.rollback(VIRUS_PATTERN, 5));
  EXPECT_EQ("1:5.763.00 ", home->componentRows());
  EXPECT_EQ("5.763.00", adopted(VIRUS_PATTERN));
  EXPECT_TRUE(QxUpdateTestAccess::uploaded(update));
  EXPECT_EQ((Lines{"5|10041|Rollback of the virus pattern succeeded. Version: 5.763.00"}),
            home->events());
  EXPECT_TRUE(LockFileLock(lockPath().c_str(), false, false).lock()) << "released";
  // Nothing is left to go back to.
  EXPECT_EQ(ROLLBACK_UNAVAILABLE, update.rollback(VIRUS_PATTERN, 5));
  EXPECT_EQ("5.763.00", adopted(VIRUS_PATTERN));
  EXPECT_EQ(1u, home->events().size());
  EXPECT_TRUE(
      logHas("QxUpdate::rollback: ROLLBACK_UNAVAILABLE: there's no backup file available "
             "for rollback"));
}

TEST_F(QxUpdateRollback, AHeldDownloadLockFailsAndOnlyAScannerGetsEvents) {
  upload(DEXA_ENGINE, {"2.000.1003", "2.120.1100"});
  QxUpdate update;
  LockFileLock download(lockPath().c_str(), false, false);
  ASSERT_TRUE(download.lock());
  EXPECT_EQ(FAIL, update.rollback(DEXA_ENGINE, 5));
  EXPECT_EQ("9:2.120.1100 109:2.000.1003 ", home->componentRows());
  EXPECT_EQ((Lines{"5|10059|Rollback of the Dexa scan engine failed."}), home->events());
  EXPECT_FALSE(QxUpdateTestAccess::uploaded(update));
  EXPECT_TRUE(logHas("QxUpdate::rollback: Another update is in progress. Please try again later."));
  download.unlock();
  EXPECT_EQ(SUCCESS, update.rollback(DEXA_ENGINE, 0));
  EXPECT_EQ(ROLLBACK_UNAVAILABLE, update.rollback(DEXA_ENGINE, 9));
  EXPECT_EQ(1u, home->events().size()) << "no event without a scanner";
  EXPECT_EQ("2.000.1003", adopted(DEXA_ENGINE));
}

// No engine is an error. The installed engines keep the newest of each kind and the newest sound
// rule sets.
TEST_F(QxUpdateRollback, CleanupKeepsTheNewestOfEachKindAndSoundRuleSets) {
  const std::string ziran = *home / "temp/kf/ziran", rules = *home / "temp/kf/qxase/rules";
  fs::create_directories(ziran);
  fs::create_directories(rules);
  writePatterns(ziran, PatternKind::kVirus, {100000, 100100, 100200, 100300, 100400});
  writePatterns(ziran, PatternKind::kSpyware, {200000, 200100});
  writePatterns(ziran, PatternKind::kLureboxException, {300000, 300100, 300200, 300300, 300400});
  flipByte(ziran + "/qxwhite.3004", 100);  // damaged newest: kept, not counted among the three
  writePatterns(ziran, PatternKind::kCloudsift, {40000, 40100, 40200, 40300});
  for (unsigned base : {17458u, 17459u, 17460u, 17461u})
    ASSERT_EQ(FileCheck::kOk, OrvelEngines::writeRuleSet(rules, base, base == 17461 ? 3 : 1, 32));
  // A newer base still arriving is neither kept in the count nor removed.
  ASSERT_EQ(FileCheck::kOk,
            OrvelEngines::writeRuleFile(rules, OrvelEngines::RuleKind::kBase, 17462, 0, 32));
  QxUpdate update;
  const unsigned long loads = OrvelPlatform::libraryLoadCount();
  const unsigned long releases = OrvelPlatform::libraryReleaseCount();
  EXPECT_EQ(-1, A::ziranCleanup(update, 1));
  EXPECT_TRUE(logHas("QxKCUpdate::_doZIRANPatternCleanup load engine " + home->path() +
                     "\\bin\\ziran32.dll failed"));
  for (auto [build, engine] : {std::pair{"v1", "ziran32.dll"}, {"v2", "qxaseng.dll"}})
    fs::copy_file(engines(build) + "/" + engine, *home / "bin/" + engine);
  EXPECT_EQ(4, A::ziranCleanup(update, 3));
  EXPECT_EQ((Lines{"cldx$agt.401", "cldx$agt.402", "cldx$agt.403", "ksv$pat.1002", "ksv$pat.1003",
                   "ksv$pat.1004", "qxwhite.3001", "qxwhite.3002", "qxwhite.3003", "qxwhite.3004",
                   "spyxdb.2000", "spyxdb.2001"}),
            filesIn(ziran));
  EXPECT_EQ(0, A::ziranCleanup(update, 3));
  EXPECT_EQ(12, A::qxaseCleanup(update, 2));
  EXPECT_EQ((Lines{"qx017460-001.rul", "qx017460.exp", "qx017460.hsh", "qx017460.phi",
                   "qx017460.rul", "qx017460.sig", "qx017461-001.rul", "qx017461-002.rul",
                   "qx017461-003.rul", "qx017461.exp", "qx017461.hsh", "qx017461.phi",
                   "qx017461.rul", "qx017461.sig", "qx017462.rul"}),
            filesIn(rules));
  EXPECT_EQ(6, A::qxaseCleanup(update, 1)) << "one sound set is enough";
  EXPECT_EQ("4 4", std::to_string(OrvelPlatform::libraryLoadCount() - loads) + " " +
                       std::to_string(OrvelPlatform::libraryReleaseCount() - releases));
}

}  // namespace
