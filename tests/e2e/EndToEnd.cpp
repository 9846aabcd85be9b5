#include "EndToEnd.h"

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "OrvelCommon/ConfigFileOnDisk.h"
#include "OrvelCommon/GlobalSettingIF.h"
#include "OrvelKF/QxUpdateClientBinding.h"
#include "OrvelKF/QxZip.h"

namespace fs = std::filesystem;
using OrvelEngines::PatternKind;

namespace OrvelEndToEnd {

const std::vector<Component>& components() {
  // clang-format off
  static const std::vector<Component> all = {
      {SCAN_ENGINE, 2, 0x20000, "9.500.1001", "9.750.1042", "9.750.1042", "Scan engine", {"ziran32.dll"}},
      {DEXA_ENGINE, 2, 0x48000125, "2.000.1003", "2.120.1100", "2.120.1100", "Dexa deep-scan engine", {"dexa32.dll"}},
      {QXUFE_ENGINE, 2, 0x20000000, "3.100.1004", "3.123.1200", "3.123.1200", "URL filtering engine", {"qxufeng.dll"}},
      {QXASE_ENGINE, 2, 0x10000001, "7.2.1050", "7.300.1120", "7.3.1120", "Anti-spam engine", {"qxaseng.dll"}},
      {VIRUS_PATTERN, 3, 4, "5.763.00", "5.764.00", "576400", "Virus pattern", {"ksv$pat.764"}},
      {SPYWARE_PATTERN, 3, 0x20000400, "1.234.00", "1.235.00", "123500", "Spyware pattern", {"spyxdb.235"}},
      {LUREBOX_PATTERN, 3, 0x20000040, "2.101.00", "2.102.00", "210200", "Lurebox Pattern", {"qxblack.102"}},
      {LUREBOX_EXCEPTION, 3, 0x20000020, "3.202.00", "3.203.00", "320300", "Lurebox Exception", {"qxwhite.203"}},
      {CLOUDSIFT_AGENT_PATTERN, 3, 0x48020000, "4.303.00", "4.304.00", "430400", "Cloudsift agent pattern", {"cldx$agt.304"}},
      {QXASE_PATTERN, 3, 0x10001, "17461.005", "17462.002", "17462", "Spam pattern",
       {"qx017462.rul", "qx017462.exp", "qx017462.sig", "qx017462.hsh", "qx017462.phi"}},
  };
  // clang-format on
  return all;
}

const Component& component(QxUpdateType type) {
  for (const Component& c : components())
    if (c.type == type) return c;
  throw std::logic_error("no such component");
}

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
  m_clock = std::make_unique<OrvelTest::FakeClock>();
  m_services = std::make_unique<OrvelTest::ScriptedServiceManager>();
  for (const char* service : {"QxOrvelScan", "QxOrvelPolicy"})
    m_services->services[service] =
        OrvelTest::ScriptedServiceManager::Service({OrvelPlatform::kServiceRunning});
}

void EndToEnd::TearDown() {
  m_services.reset();
  m_clock.reset();
  PipelineTest::TearDown();
}

void EndToEnd::publishNewComponents(Feed& feed) {
  const std::string folder = newFiles();
  fs::create_directories(folder);
  for (const char* engine : {"ziran32.dll", "dexa32.dll", "qxufeng.dll", "qxaseng.dll"})
    fs::copy_file(OrvelEngineTest::engines("v2") + "/" + engine, folder + "/" + engine,
                  fs::copy_options::overwrite_existing);
  for (auto [kind, internal] : {std::pair{PatternKind::kVirus, 576400u},
                                {PatternKind::kSpyware, 123500u},
                                {PatternKind::kLurebox, 210200u},
                                {PatternKind::kLureboxException, 320300u},
                                {PatternKind::kCloudsift, 430400u}})
    OrvelPipelineTest::writePattern(folder, kind, internal);
  ASSERT_EQ(OrvelEngines::FileCheck::kOk, OrvelEngines::writeRuleSet(folder, 17462, 2, 200));
  for (const Component& c : components())
    feed.add(c.itemClass, c.itemId, c.feedVersion, folder, c.files);
  feed.add(3, 0x4000001, "17462002", folder, {"qx017462-001.rul", "qx017462-002.rul"});
  feed.sign();
  ASSERT_EQ(0, ORVEL::QxuAddTrusted(feed.publicKey().c_str()));
}

void EndToEnd::seedInstallation(const std::string& feedUrl) {
  std::string list = "UpdateServer=" + feedUrl + "|QXASEServerurl=" + feedUrl;
  for (const Component& c : components())
    list += std::string("|") + kfGlobalVersionKey[c.type] + "=" + c.oldVersion;
  settings(list);

  QxUpdate seeder;
  auto upload = [&](QxUpdateType type, std::string path, const char* version) {
    std::string name = fs::path(path).filename();
    ASSERT_TRUE(QxUpdateTestAccess::kfBlob(seeder, type, path, version, name)) << path;
  };
  for (const Component& c : components()) {
    if (c.itemClass == 2)
      upload(c.type, OrvelEngineTest::engines("v1") + "/" + c.files[0], c.oldVersion);
  }
  const std::string ziran = *home / "lib/pattern/ziran";
  for (auto [type, name] : {std::pair{VIRUS_PATTERN, "ksv$pat.763"},
                            {SPYWARE_PATTERN, "spyxdb.234"},
                            {LUREBOX_PATTERN, "qxblack.101"},
                            {LUREBOX_EXCEPTION, "qxwhite.202"},
                            {CLOUDSIFT_AGENT_PATTERN, "cldx$agt.303"}})
    upload(type, ziran + "/" + name, component(type).oldVersion);
  const std::string rules = m_scratch / "asx17461.005.zip";
  ASSERT_TRUE(ORVEL::_zip(rules.c_str(), (*home / "lib/pattern/qxase/rules").c_str(), 0));
  upload(QXASE_PATTERN, rules, "17461.005");
}

std::string EndToEnd::centralVersion(int type) {
  std::vector<_uiKFDataNoFile> rows;
  EXPECT_EQ(ERRC_SUCCESS, KFBlobManager::GetKFRows(rows));
  for (const _uiKFDataNoFile& row : rows)
    if (row.type == type) return row.version;
  return "";
}

std::string EndToEnd::globalSetting(const char* key) {
  ORVEL::GlobalSettingIF settings;
  std::string value;
  EXPECT_TRUE(settings.Init(nullptr, nullptr, nullptr, nullptr));
  settings.readSetting(key, value, "Update", "orvel.ini");
  return value;
}

std::string EndToEnd::scannerInfo(const char* key) {
  std::string value;
  ORVEL::ConfigFileOnDisk((*home / "config/scanner.info").c_str()).getparam("update", key, value);
  return value;
}

std::string content(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream bytes;
  bytes << in.rdbuf();
  return bytes.str();
}

}  // namespace OrvelEndToEnd
