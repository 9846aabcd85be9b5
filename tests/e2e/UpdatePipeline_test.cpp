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

const char* const kEngineFiles[] = {"ziran32.dll", "dexa32.dll", "qxufeng.dll", "qxaseng.dll"};

std::string successText(const Component& c) {
  return std::string(c.title) + " was updated successfully to version " + c.newVersion + ".";
}

bool isEngine(const Component& c) { return c.itemClass == 2; }

}  // namespace

class Pipeline : public EndToEnd {};

TEST_P(Pipeline, EveryComponentThroughTheConfiguredServerThenAsAConsoleUpdate) {
  Feed feed(m_scratch.path());
  publishNewComponents(feed);
  seedInstallation(feed.url());
  const std::string bin = *home / "bin", ziran = *home / "lib/pattern/ziran";
  const std::vector<std::string> installedPatterns = OrvelEngineTest::filesIn(ziran);

  // Through the configured server: verified, uploaded and recorded; nothing installed. The spam
  // incremental pattern alone is fetched, but nothing is processed.
  QxUpdate manual;
  {
    std::string msg;
    EXPECT_EQ(SUCCESS, manual.download(QXASE_PATCH, msg, false));
    EXPECT_EQ("", msg);
    EXPECT_EQ("17461.005", centralVersion(QXASE_PATTERN));
    EXPECT_EQ("17461.005", globalSetting(kfGlobalVersionKey[QXASE_PATTERN]));
  }
  for (const Component& c : components()) {
    SCOPED_TRACE(c.title);
    std::string msg;
    EXPECT_EQ(SUCCESS, manual.download(c.type, msg, false));
    EXPECT_EQ(successText(c), msg);
    EXPECT_EQ(c.newVersion, centralVersion(c.type));
    EXPECT_EQ(c.oldVersion, centralVersion(c.type + 100));
    EXPECT_EQ(c.newVersion, globalSetting(kfGlobalVersionKey[c.type]));
  }
  EXPECT_FALSE(globalSetting("UpdateDateVirusPattern").empty());
  EXPECT_EQ(installedPatterns, OrvelEngineTest::filesIn(ziran));
  for (const char* engine : kEngineFiles)
    EXPECT_EQ(content(OrvelEngineTest::engines("v1") + "/" + engine), content(bin + "/" + engine));
  EXPECT_TRUE(m_services->calls.empty());
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

  std::string msg;
  // As a console update: installed into this scanner as well.
  QxUpdate console(CONSOLE_UPDATE);
  for (const Component& c : components()) {
    SCOPED_TRACE(c.title);
    m_services->calls.clear();
    msg.clear();
    EXPECT_EQ(SUCCESS, console.download(c.type, feed.url(), 0, msg, false));
    EXPECT_EQ(successText(c), msg);
    EXPECT_EQ(c.newVersion, scannerInfo(kfScannerInfoVersionKey[c.type]));
    EXPECT_EQ(c.newVersion, centralVersion(c.type));  // the store had it already
    if (isEngine(c)) {
      EXPECT_EQ(content(newFiles() + "/" + c.files[0]), content(bin + "/" + c.files[0]));
      EXPECT_EQ(content(OrvelEngineTest::engines("v1") + "/" + c.files[0]),
                content(bin + "/" + c.files[0] + ".bak"));
      EXPECT_EQ((std::vector<std::string>{"QxOrvelScan", "QxOrvelPolicy"}),
                m_services->callsOf("stop"));
      EXPECT_EQ(m_services->callsOf("stop"), m_services->callsOf("start"));
    } else if (c.type == QXASE_PATTERN) {
      for (const std::string& file : c.files)
        EXPECT_TRUE(fs::exists(*home / ("lib/pattern/qxase/rules/" + file))) << file;
      EXPECT_TRUE(fs::exists(*home / "lib/pattern/qxase/cache/qxase.cache"));
    } else {
      EXPECT_EQ(content(newFiles() + "/" + c.files[0]), content(ziran + "/" + c.files[0]));
    }
  }
  EXPECT_EQ(4u, [&] {
    unsigned backups = 0;
    for (const std::string& name : OrvelEngineTest::filesIn(bin))
      backups += fs::path(name).extension() == ".bak";
    return backups;
  }());

  // Version queries: every member of a family is current on this object, so the source says
  // up to date, and the next query of the family is answered without asking again.
  for (auto [asked, next, nextVersion] : {std::tuple{VIRUS_PATTERN, QXUFE_ENGINE, "3.123.1200"},
                                          std::tuple{QXASE_ENGINE, QXASE_PATTERN, "17462.002"}}) {
    std::string version;
    EXPECT_EQ(UP_TO_DATE, console.getAvailVersion(asked, feed.url(), 0, msg, version, false));
    EXPECT_EQ("The " + std::string(kfDownloadWhat[asked]) + " is up to date.", msg);
    feed.hide();
    EXPECT_EQ(UP_TO_DATE, console.getAvailVersion(next, feed.url(), 0, msg, version, false));
    EXPECT_EQ(nextVersion, version);
    feed.show();
  }
  // A new object knows no current versions: the one query reports the whole family.
  QxUpdate query;
  std::string version;
  EXPECT_EQ(SUCCESS, query.getAvailVersion(SPYWARE_PATTERN, msg, version, false));
  EXPECT_EQ("1.235.00", version);
  EXPECT_EQ(SUCCESS, query.getResultVersion(DEXA_ENGINE, version));
  EXPECT_EQ("2.120.1100", version);

  // A rollback makes the previous upload current again and the installation adopts it.
  EXPECT_EQ(SUCCESS, manual.rollback(VIRUS_PATTERN, 0));
  EXPECT_EQ("5.763.00", centralVersion(VIRUS_PATTERN));
  EXPECT_EQ("", centralVersion(VIRUS_PATTERN + 100));
  EXPECT_EQ("5.763.00", globalSetting("VersionVirusPattern"));
}

INSTANTIATE_TEST_SUITE_P(Backends, Pipeline, ORVEL_DB_BACKENDS);
