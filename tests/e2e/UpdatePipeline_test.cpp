// The update pipeline end to end: downloads through the configured server (verify, upload,
// record, and what another scanner takes from the store) and console updates (which also
// install), version queries and rollback.
#include <gtest/gtest.h>

#include <filesystem>

#include "EndToEnd.h"
#include "OrvelKF/KFBlobManager.h"
#include "OrvelKF/QxZip.h"

namespace fs = std::filesystem;
using namespace OrvelEndToEnd;

namespace {
std::string successText(const Component& c) {
  return std::string(c.title) + " was updated successfully to version " + c.newVersion + ".";
}
}  // namespace

class Pipeline : public EndToEnd {};

TEST_P(Pipeline, EveryComponentThroughTheConfiguredServerThenAsAConsoleUpdate) {
  Feed& feed = publishNewComponents();
  const std::string bin = *home / "bin", ziran = *home / "lib/pattern/ziran";
  const Lines installedPatterns = OrvelEngineTest::filesIn(ziran),
              installedBin = OrvelEngineTest::filesIn(bin);

  // Through the configured server: verified, uploaded and recorded; nothing installed. The spam
  // incremental pattern alone is fetched, but nothing is processed.
  QxUpdate manual;
  std::string msg;
  EXPECT_EQ(SUCCESS, manual.download(QXASE_PATCH, msg, false));
  EXPECT_EQ("17461.005 17461.005", msg + centralVersion(QXASE_PATTERN) + " " +
                                       globalSetting(kfGlobalVersionKey[QXASE_PATTERN]));
  for (const Component& c : components()) {
    msg.clear();
    EXPECT_EQ(SUCCESS, manual.download(c.type, msg, false));
    EXPECT_EQ(successText(c) + c.newVersion + c.oldVersion + c.newVersion,
              msg + centralVersion(c.type) + centralVersion(c.type + 100) +
                  globalSetting(kfGlobalVersionKey[c.type]));
  }
  EXPECT_FALSE(globalSetting("UpdateDateVirusPattern").empty());
  EXPECT_EQ(installedPatterns, OrvelEngineTest::filesIn(ziran));
  EXPECT_EQ(installedBin, OrvelEngineTest::filesIn(bin));
  EXPECT_TRUE(m_services.calls.empty());
  // What another scanner of the installation takes from the store is what the feed offered.
  for (auto [type, stored] :
       {std::pair{SCAN_ENGINE, "ziran32.dll"}, {VIRUS_PATTERN, "ksv$pat.764.zip"}}) {
    _uiKFData row{};
    row.type = type;
    std::snprintf(row.file_path, sizeof row.file_path, "%s/", m_scratch.path().c_str());
    ASSERT_EQ(ERRC_SUCCESS, KFBlobManager::GetKFBlob(row));
    EXPECT_EQ(m_scratch / stored, row.file_path);
  }
  const std::string fetched = m_scratch / "ksv$pat.764.zip", into = m_scratch / "taken";
  fs::create_directories(into);
  ASSERT_EQ(0, ORVEL::_unzip(const_cast<char*>(fetched.c_str()), const_cast<char*>(into.c_str())));
  EXPECT_EQ(content(newFiles() + "/ksv$pat.764"), content(into + "/ksv$pat.764"));
  EXPECT_EQ(content(newFiles() + "/ziran32.dll"), content(m_scratch / "ziran32.dll"));

  // As a console update: installed into this scanner as well; an engine with the services
  // stopped and started again around it, and the engine it replaces kept as the one backup.
  QxUpdate console(CONSOLE_UPDATE);
  for (const Component& c : components()) {
    SCOPED_TRACE(c.title);
    m_services.calls.clear();
    msg.clear();
    EXPECT_EQ(SUCCESS, console.download(c.type, feed.url(), 0, msg, false));
    EXPECT_EQ(successText(c) + c.newVersion + c.newVersion,
              msg + scannerInfo(kfScannerInfoVersionKey[c.type]) + centralVersion(c.type));
    const bool engine = c.itemClass == 2;
    EXPECT_EQ((engine ? Lines{"QxOrvelScan", "QxOrvelPolicy"} : Lines{}),
              m_services.callsOf("stop"));
    EXPECT_EQ(m_services.callsOf("stop"), m_services.callsOf("start"));
    for (const std::string& file : c.files)
      EXPECT_EQ(content(newFiles() + "/" + file),
                content(engine                    ? bin + "/" + file
                        : c.type == QXASE_PATTERN ? *home / "lib/pattern/qxase/rules/" + file
                                                  : ziran + "/" + file));
    if (engine) {
      EXPECT_EQ(content(OrvelEngineTest::engines("v1") + "/" + c.files[0]),
                content(bin + "/" + c.files[0] + ".bak"));
    }
  }
  EXPECT_TRUE(fs::exists(*home / "lib/pattern/qxase/cache/qxase.cache"));
  EXPECT_EQ(installedBin.size() + 4, OrvelEngineTest::filesIn(bin).size());  // one backup each

  // Version queries: every member of a family is current on this object, so the source says
  // up to date, and the next query of the family is answered without asking again.
  std::string version;
  for (auto [asked, next, nextVersion] : {std::tuple{VIRUS_PATTERN, QXUFE_ENGINE, "3.123.1200"},
                                          std::tuple{QXASE_ENGINE, QXASE_PATTERN, "17462.002"}}) {
    EXPECT_EQ(UP_TO_DATE, console.getAvailVersion(asked, feed.url(), 0, msg, version, false));
    EXPECT_EQ("The " + std::string(kfDownloadWhat[asked]) + " is up to date.", msg);
    feed.hide();
    EXPECT_EQ(UP_TO_DATE, console.getAvailVersion(next, feed.url(), 0, msg, version, false));
    EXPECT_EQ(nextVersion, version);
    feed.show();
  }
  // A new object knows no current versions: the one query reports the whole family.
  QxUpdate query;
  EXPECT_EQ(SUCCESS, query.getAvailVersion(SPYWARE_PATTERN, msg, version, false));
  EXPECT_EQ("1.235.00", version);
  EXPECT_EQ(SUCCESS, query.getResultVersion(DEXA_ENGINE, version));
  EXPECT_EQ("2.120.1100", version);

  // A rollback makes the previous upload current again and the installation adopts it.
  EXPECT_EQ(SUCCESS, manual.rollback(VIRUS_PATTERN, 0));
  EXPECT_EQ("5.763.00 5.763.00", centralVersion(VIRUS_PATTERN) +
                                     centralVersion(VIRUS_PATTERN + 100) + " " +
                                     globalSetting("VersionVirusPattern"));
}

INSTANTIATE_TEST_SUITE_P(Backends, Pipeline, ORVEL_DB_BACKENDS);
