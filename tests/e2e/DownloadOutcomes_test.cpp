// What a download does when it cannot simply succeed: an incremental pattern staged from where
// the scanner has it, a delta that does not merge, a source without the item, a component the
// engine refuses, a server that trickles, a schedule that is not due, and another download holding
// the lock.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <thread>

#include "../common/ChildProcess.h"
#include "EndToEnd.h"
#include "OrvelCommon/LockFileLock.h"
#include "OrvelKF/QxUpdateClientBinding.h"

namespace fs = std::filesystem;
using namespace OrvelEndToEnd;
using OrvelEngines::PatternKind;

namespace {

// The update client's text of a result code.
std::string clientText(int code) {
  char text[1024] = {};
  ORVEL::QxuGetErrorString(code, text, sizeof text);
  return text;
}

// The product's English text of a message key.
std::string messageText(const char* key) {
  ORVEL::QxResbundle bundle;
  std::string text;
  if (bundle._init(ORVEL::QxResbundle::GetResourceFileName(), "IDG_ORVEL_UTIL", "en_US"))
    bundle.lookup(key, text);
  return text;
}

}  // namespace

// Incremental staging involves the central store, so it runs on every backend.
class Staging : public EndToEnd {
 protected:
  // The older patterns too, so that the feed has deltas from them to the newer ones.
  void publishWithDeltas(Feed& feed) {
    const std::string ziran = *home / "lib/pattern/ziran";
    for (auto [type, name, internal] : {std::tuple{VIRUS_PATTERN, "ksv$pat.763", 576300},
                                        {SPYWARE_PATTERN, "spyxdb.234", 123400},
                                        {LUREBOX_PATTERN, "qxblack.101", 210100},
                                        {LUREBOX_EXCEPTION, "qxwhite.202", 320200},
                                        {CLOUDSIFT_AGENT_PATTERN, "cldx$agt.303", 430300}}) {
      const Component& c = component(type);
      feed.add(c.itemClass, c.itemId, std::to_string(internal), ziran, {name});
    }
    publishNewComponents(feed);
  }
};

// The other outcomes do not depend on the database.
class Outcomes : public EndToEnd {};

// Staged from the staging folder, from the installed folder and from the central store; a
// damaged staged pattern makes the delta fail and the download is made again with full files.
TEST_P(Staging, IncrementalPatternsAreStagedFromWhereverTheScannerHasThem) {
  Feed feed(m_scratch.path());
  publishWithDeltas(feed);
  seedInstallation(feed.url());
  const std::string ziran = *home / "lib/pattern/ziran", staging = *home / "temp/kf/ziran";
  fs::create_directories(staging);
  fs::rename(ziran + "/ksv$pat.763", staging + "/ksv$pat.763");
  fs::remove(ziran + "/qxblack.101");

  QxUpdate manual;
  for (auto [type, fullFiles] : {std::pair{VIRUS_PATTERN, 0},
                                 {SPYWARE_PATTERN, 0},
                                 {LUREBOX_PATTERN, 0},
                                 {LUREBOX_EXCEPTION, 1},
                                 {CLOUDSIFT_AGENT_PATTERN, 0}}) {
    SCOPED_TRACE(kfDownloadWhat[type]);
    if (type == LUREBOX_EXCEPTION) {  // staged, but not what the delta was made from
      std::string damaged = content(ziran + "/qxwhite.202");
      for (char& byte : damaged) byte = static_cast<char>(~byte);
      OrvelTest::writeFile(staging + "/qxwhite.202", damaged);
    }
    const int deltas = feed.requests("/deltas/"), files = feed.requests("/files/");
    std::string msg;
    EXPECT_EQ(SUCCESS, manual.download(type, msg, false)) << msg;
    EXPECT_EQ(deltas + 1, feed.requests("/deltas/", deltas + 1));
    EXPECT_EQ(files + fullFiles, feed.requests("/files/", files + fullFiles));
    EXPECT_EQ(component(type).newVersion, centralVersion(type));
  }
  const OrvelPipelineTest::Lines merge =
      logLines({"QxUpdate::_doDownload: The merge", "QxUpdate::_doDownload: Disable"});
  EXPECT_EQ(OrvelPipelineTest::Lines({"<1> QxUpdate::_doDownload: The merge of incremental pattern "
                                      "failed. Try full pattern update again.",
                                      "<1> QxUpdate::_doDownload: Disable the incremental update "
                                      "for pattern type 536870944 this time."}),
            merge);
}

TEST_P(Outcomes, FailuresKeepTheScannerAndTheStoreAsTheyWere) {
  Feed feed(m_scratch.path());
  // A feed without the Dexa engine, whose virus pattern the engine refuses.
  const std::string folder = newFiles();
  fs::create_directories(folder);
  std::string damaged;
  ASSERT_EQ(
      OrvelEngines::FileCheck::kOk,
      OrvelEngines::writePatternFile(folder, PatternKind::kVirus, 576400, 764, 4096, &damaged));
  OrvelEngineTest::flipByte(damaged, 2000);
  const Component& virus = component(VIRUS_PATTERN);
  feed.add(virus.itemClass, virus.itemId, virus.feedVersion, folder, virus.files);
  feed.add(2, 0x10000001, "7.3.1120", OrvelEngineTest::engines("v2"), {"qxaseng.dll"});
  feed.sign();
  ASSERT_EQ(0, ORVEL::QxuAddTrusted(feed.publicKey().c_str()));
  seedInstallation(feed.url());

  QxUpdate console(CONSOLE_UPDATE);
  std::string msg;
  EXPECT_EQ(SOURCE_NOT_FOUND, console.download(DEXA_ENGINE, feed.url(), 0, msg, false));
  EXPECT_EQ(clientText(28) + "\n", msg);
  EXPECT_EQ(FAIL, console.download(VIRUS_PATTERN, feed.url(), 0, msg, false));
  EXPECT_NE(std::string::npos, msg.find("The downloaded virus pattern is corrupt.\n")) << msg;
  EXPECT_FALSE(fs::exists(*home / "lib/pattern/ziran/ksv$pat.764"));
  EXPECT_EQ("5.763.00", centralVersion(VIRUS_PATTERN));
  EXPECT_EQ("", scannerInfo("virus_pattern_version"));

  // A server that trickles: the family is marked timed out, the other family still works.
  settings("UpdateServer=" + feed.slowUrl() + "|QXASEServerurl=" + feed.url() +
           "|VersionQXASEEngine=7.2.1050");
  ASSERT_NE(0, ORVEL::QxuSetProperty("LowSpeedTime", "0.2"));
  QxUpdate manual;
  EXPECT_EQ(FAIL, manual.download(SPYWARE_PATTERN, msg, false));
  EXPECT_EQ(clientText(26) + "\n", msg);
  EXPECT_EQ(FAIL, manual.download(LUREBOX_PATTERN, msg, false));
  EXPECT_EQ(messageText("KF_SERVER_TIMEOUT_MSG"), msg);
  std::string version;
  EXPECT_EQ(FAIL, manual.getAvailVersion(CLOUDSIFT_AGENT_PATTERN, msg, version, false));
  EXPECT_EQ(SUCCESS, manual.download(QXASE_ENGINE, msg, false)) << msg;
  ASSERT_NE(0, ORVEL::QxuSetProperty("LowSpeedTime", "60"));
}

TEST_P(Outcomes, ScheduleAndLock) {
  Feed feed(m_scratch.path());
  publishNewComponents(feed);
  seedInstallation(feed.url());
  home->setting("EnableUpdateSchedule", "yes");
  home->setting("Frequency", "15");

  // 22:13 is not within five minutes of a quarter: nothing is asked of the source.
  m_clock->set(1700000000);
  QxUpdate scheduled(SCHEDULED_UPDATE);
  std::string msg;
  feed.hide();
  EXPECT_EQ(NOT_DUE, scheduled.download(VIRUS_PATTERN, msg, false));
  EXPECT_EQ("", msg);
  feed.show();
  m_clock->set(1700000000 + 120);  // 22:15
  EXPECT_EQ(SUCCESS, scheduled.download(VIRUS_PATTERN, msg, false)) << msg;

  // Another process holds the download lock.
  const std::string lockFile = *home / "lib/.kfdownload.lck";
  int held[2], release[2];
  ASSERT_EQ(0, ::pipe(held));
  ASSERT_EQ(0, ::pipe(release));
  const pid_t holder = OrvelTest::startChild([&] {
    LockFileLock lock(lockFile.c_str(), false, false);
    char byte = lock.lock() ? 1 : 0;
    if (::write(held[1], &byte, 1) != 1 || ::read(release[0], &byte, 1) != 1) return 2;
    return 0;
  });
  char locked = 0;
  ASSERT_EQ(1, ::read(held[0], &locked, 1));
  ASSERT_EQ(1, locked);
  QxUpdate manual;
  EXPECT_EQ(FAIL, manual.download(SPYWARE_PATTERN, msg, false));
  EXPECT_EQ(messageText("KF_LOCK_FAIL"), msg);
  EXPECT_TRUE(QxUpdate::isRunning(msg));
  EXPECT_EQ("Another KiteFeed process is currently running. Please try again later.", msg);

  // With the block flag the download waits for the lock.
  QxUpdateRet waited = FAIL;
  std::string waitedMsg;
  std::thread waiter([&] { waited = manual.download(SPYWARE_PATTERN, waitedMsg, true); });
  struct stat lockStatus {};
  ASSERT_EQ(0, ::stat(lockFile.c_str(), &lockStatus));
  const std::string inode = ":" + std::to_string(lockStatus.st_ino) + " ";
  bool waiting = false;
  for (int look = 0; !waiting && look < 10000; ++look) {  // a guard, not a measure
    std::ifstream locks("/proc/locks");
    for (std::string line; !waiting && std::getline(locks, line);)
      waiting = line.find("->") != std::string::npos && line.find(inode) != std::string::npos;
    if (!waiting) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  EXPECT_TRUE(waiting);
  char go = 1;
  ASSERT_EQ(1, ::write(release[1], &go, 1));
  waiter.join();
  EXPECT_EQ(0, OrvelTest::waitChild(holder));
  EXPECT_EQ(SUCCESS, waited) << waitedMsg;
  EXPECT_FALSE(QxUpdate::isRunning(msg));
}

INSTANTIATE_TEST_SUITE_P(Backends, Staging, ORVEL_DB_BACKENDS);
INSTANTIATE_TEST_SUITE_P(SQLite, Outcomes, ::testing::Values(OrvelTest::Backend::kSqlite),
                         OrvelTest::backendName);
