#include "EndToEnd.h"

#include <filesystem>

#include "OrvelCommon/GlobalSettingIF.h"
#include "OrvelKF/QxUpdateClientBinding.h"
#include "OrvelKF/QxZip.h"

namespace fs = std::filesystem;

namespace OrvelEndToEnd {

void EndToEnd::SetUp() {
  PipelineTest::SetUp();
  if (IsSkipped() || HasFatalFailure()) return;
  if (serverVariable("ORVEL_NGINX_ROOT").empty()) {
    if (OrvelTest::runningUnderCi()) FAIL() << "no nginx: start scripts/servers/nginx";
    GTEST_SKIP() << "no nginx: start scripts/servers/nginx";
  }
  fs::create_directories(*home / "temp/kf");
  installComponents();
  loadClient();
}

Feed& EndToEnd::publishNewComponents(bool withDeltas) {
  m_feed = std::make_unique<Feed>(m_scratch.path());
  Feed& feed = *m_feed;
  const std::string folder = newFiles();
  fs::create_directories(folder);
  for (const Component& c : components())
    if (withDeltas && c.itemClass == 3 && c.type != QXASE_PATTERN)
      feed.add(c.itemClass, c.itemId, std::to_string(std::stoul(c.feedVersion) - 100),
               *home / "lib/pattern/ziran", {oldPatternFile(c)});
  for (const char* engine : {"ziran32.dll", "dexa32.dll", "qxufeng.dll", "qxaseng.dll"})
    fs::copy_file(OrvelEngineTest::engines("v2") + "/" + engine, folder + "/" + engine,
                  fs::copy_options::overwrite_existing);
  writeZiranPatterns(folder, true);
  EXPECT_EQ(OrvelEngines::FileCheck::kOk, OrvelEngines::writeRuleSet(folder, 17462, 2, 200));
  for (const Component& c : components())
    feed.add(c.itemClass, c.itemId, c.feedVersion, folder, c.files);
  feed.add(3, 0x4000001, "17462002", folder, {"qx017462-001.rul", "qx017462-002.rul"});
  feed.sign();
  EXPECT_EQ(0, ORVEL::QxuAddTrusted(feed.publicKey().c_str()));
  seedInstallation(feed.url());
  return feed;
}

void EndToEnd::seedInstallation(const std::string& feedUrl) {
  std::string list = "UpdateServer=" + feedUrl + "|QXASEServerurl=" + feedUrl;
  for (const Component& c : components())
    list += std::string("|") + kfGlobalVersionKey[c.type] + "=" + c.oldVersion;
  settings(list);

  QxUpdate seeder;
  const std::string rules = m_scratch / "asx17461.005.zip";
  ASSERT_TRUE(ORVEL::_zip(rules.c_str(), (*home / "lib/pattern/qxase/rules").c_str(), 0));
  for (const Component& c : components()) {
    std::string path = c.itemClass == 2          ? OrvelEngineTest::engines("v1") + "/" + c.files[0]
                       : c.type == QXASE_PATTERN ? rules
                                                 : *home / "lib/pattern/ziran/" + oldPatternFile(c);
    std::string name = fs::path(path).filename();
    ASSERT_TRUE(QxUpdateTestAccess::kfBlob(seeder, c.type, path, c.oldVersion, name)) << path;
  }
}

std::string EndToEnd::centralVersion(int type) {
  std::vector<_uiKFDataNoFile> rows;
  EXPECT_EQ(ERRC_SUCCESS, KFBlobManager::GetKFRows(rows));
  for (const _uiKFDataNoFile& row : rows)
    if (row.type == type) return row.version;
  return "";
}

int EndToEnd::consoleUpdate(QxUpdateType type, bool block) {
  QxUpdate console(CONSOLE_UPDATE);
  std::string msg;
  return console.download(type, m_feed->url(), 0, msg, block);
}

std::string EndToEnd::globalSetting(const char* key) {
  ORVEL::GlobalSettingIF settings;
  std::string value;
  EXPECT_TRUE(settings.Init(nullptr, nullptr, nullptr, nullptr));
  settings.readSetting(key, value, "Update", "orvel.ini");
  return value;
}

}  // namespace OrvelEndToEnd
