// What a download does when it cannot simply succeed: an incremental pattern staged from where
// the scanner has it, a delta that does not merge, a source without the item, a component the
// engine refuses, a server that trickles, a schedule that is not due, and another download holding
// the lock (waiting for it is what the fault tests' processes racing for a component show).
#include <gtest/gtest.h>

#include <filesystem>

#include "../common/ChildProcess.h"
#include "EndToEnd.h"
#include "OrvelCommon/LockFileLock.h"
#include "OrvelKF/QxUpdateClientBinding.h"

namespace fs = std::filesystem;
using namespace OrvelEndToEnd;

namespace {

// The update client's text of a result code.
std::string clientText(int code) {
  char text[1024] = {};
  ORVEL::QxuGetErrorString(code, text, sizeof text);
  return text;
}

}  // namespace

// Incremental staging involves the central store, so it runs on every backend; the other outcomes
// do not depend on the database.
class Staging : public EndToEnd {};
class Outcomes : public EndToEnd {};

// Staged from the staging folder, from the installed folder and from the central store; a
// damaged staged pattern makes the delta fail and the download is made again with full files.
TEST_P(Staging, IncrementalPatternsAreStagedFromWhereverTheScannerHasThem) {
  Feed& feed = publishNewComponents(true);
  const std::string ziran = *home / "lib/pattern/ziran", staging = *home / "temp/kf/ziran";
  fs::create_directories(staging);
  fs::rename(ziran + "/ksv$pat.763", staging + "/ksv$pat.763");
  fs::remove(ziran + "/qxblack.101");
  std::string damaged =
      content(ziran + "/qxwhite.202");  // staged, but not what the delta was made from
  for (char& byte : damaged) byte = static_cast<char>(~byte);

  QxUpdate manual;
  for (QxUpdateType type : {VIRUS_PATTERN, SPYWARE_PATTERN, LUREBOX_PATTERN, LUREBOX_EXCEPTION,
                            CLOUDSIFT_AGENT_PATTERN}) {
    SCOPED_TRACE(kfDownloadWhat[type]);
    const int fullFiles = type == LUREBOX_EXCEPTION;
    if (fullFiles) OrvelTest::writeFile(staging + "/qxwhite.202", damaged);
    const int deltas = feed.requests("/deltas/"), files = feed.requests("/files/");
    std::string msg;
    EXPECT_EQ(SUCCESS, manual.download(type, msg, false)) << msg;
    EXPECT_EQ(deltas + 1, feed.requests("/deltas/", deltas + 1));
    EXPECT_EQ(files + fullFiles, feed.requests("/files/", files + fullFiles));
    EXPECT_EQ(component(type).newVersion, centralVersion(type));
  }
  EXPECT_EQ((Lines{"<1> QxUpdate::_doDownload: The merge of incremental pattern failed. Try full "
                   "pattern update again.",
                   "<1> QxUpdate::_doDownload: Disable the incremental update for pattern type "
                   "536870944 this time."}),
            logLines({"QxUpdate::_doDownload: The merge", "QxUpdate::_doDownload: Disable"}));
}

TEST_P(Outcomes, FailuresKeepTheScannerAndTheStoreAsTheyWere) {
  Feed feed(m_scratch.path());
  // A feed without the Dexa engine, whose virus pattern the engine refuses.
  const std::string folder = newFiles();
  fs::create_directories(folder);
  std::string damaged;
  ASSERT_EQ(OrvelEngines::FileCheck::kOk,
            OrvelEngines::writePatternFile(folder, OrvelEngines::PatternKind::kVirus, 576400, 764,
                                           4096, &damaged));
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
  EXPECT_EQ("5.763.00|",
            centralVersion(VIRUS_PATTERN) + "|" + scannerInfo("virus_pattern_version"));

  // A server that trickles: the family is marked timed out, the other family still works.
  settings("UpdateServer=" + feed.slowUrl() + "|QXASEServerurl=" + feed.url() +
           "|VersionQXASEEngine=7.2.1050");
  ASSERT_NE(0, ORVEL::QxuSetProperty("LowSpeedTime", "0.2"));
  QxUpdate manual;
  EXPECT_EQ(FAIL, manual.download(SPYWARE_PATTERN, msg, false));
  EXPECT_EQ(clientText(26) + "\n", msg);
  EXPECT_EQ(FAIL, manual.download(LUREBOX_PATTERN, msg, false));
  EXPECT_EQ("The update server did not answer in time. Please try again later.", msg);
  EXPECT_EQ(SUCCESS, manual.download(QXASE_ENGINE, msg, false)) << msg;
  ASSERT_NE(0, ORVEL::QxuSetProperty("LowSpeedTime", "60"));
}

TEST_P(Outcomes, ScheduleAndLock) {
  Feed& feed = publishNewComponents();
  home->setting("EnableUpdateSchedule", "yes");
  home->setting("Frequency", "15");

  // 22:13 is not within five minutes of a quarter: nothing is asked of the source.
  m_clock.set(1700000000);
  QxUpdate scheduled(SCHEDULED_UPDATE);
  std::string msg;
  feed.hide();
  EXPECT_EQ(NOT_DUE, scheduled.download(VIRUS_PATTERN, msg, false));
  EXPECT_EQ("", msg);
  feed.show();
  m_clock.set(1700000000 + 120);  // 22:15
  EXPECT_EQ(SUCCESS, scheduled.download(VIRUS_PATTERN, msg, false)) << msg;

  // Another process holds the download lock.
  const std::string lockFile = *home / "lib/.kfdownload.lck";
  OrvelTest::Pipe held, release;
  const pid_t holder = OrvelTest::startChild([&] {
    LockFileLock lock(lockFile.c_str(), false, false);
    held.send(lock.lock() ? 'l' : 'n');
    return release.receive() == 'g' ? 0 : 2;
  });
  ASSERT_EQ('l', held.receive());
  QxUpdate manual;
  EXPECT_EQ(FAIL, manual.download(SPYWARE_PATTERN, msg, false));
  EXPECT_EQ("Another update is in progress. Please try again later.", msg);
  EXPECT_TRUE(QxUpdate::isRunning(msg));
  EXPECT_EQ("Another KiteFeed process is currently running. Please try again later.", msg);

  release.send('g');
  EXPECT_EQ(0, OrvelTest::waitChild(holder));
  EXPECT_FALSE(QxUpdate::isRunning(msg));
}

INSTANTIATE_TEST_SUITE_P(Backends, Staging, ORVEL_DB_BACKENDS);
INSTANTIATE_TEST_SUITE_P(SQLite, Outcomes, ::testing::Values(OrvelTest::Backend::kSqlite),
                         OrvelTest::backendName);
