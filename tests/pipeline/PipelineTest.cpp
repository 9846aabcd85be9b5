#include "PipelineTest.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "OrvelCommon/ConfigFileOnDisk.h"
#include "OrvelCommon/PasswordCipher.h"
#include "OrvelKF/QxUpdateClientBinding.h"

namespace fs = std::filesystem;
using OrvelEngines::PatternKind;

namespace OrvelPipelineTest {

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

void writeZiranPatterns(const std::string& folder, bool newer) {
  for (auto [type, kind] : {std::pair{VIRUS_PATTERN, PatternKind::kVirus},
                            {SPYWARE_PATTERN, PatternKind::kSpyware},
                            {LUREBOX_PATTERN, PatternKind::kLurebox},
                            {LUREBOX_EXCEPTION, PatternKind::kLureboxException},
                            {CLOUDSIFT_AGENT_PATTERN, PatternKind::kCloudsift}}) {
    std::string version = newer ? component(type).newVersion : component(type).oldVersion;
    version.erase(std::remove(version.begin(), version.end(), '.'), version.end());
    const auto internal = static_cast<std::uint32_t>(std::stoul(version));
    ASSERT_EQ(OrvelEngines::FileCheck::kOk,
              OrvelEngines::writePatternFile(
                  folder, kind, internal, static_cast<std::uint16_t>(internal / 100 % 1000), 1000));
  }
}

std::string oldPatternFile(const Component& c) {
  return c.files[0].substr(0, c.files[0].rfind('.') + 1) + std::string(c.oldVersion).substr(2, 3);
}

std::string content(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream bytes;
  bytes << in.rdbuf();
  return bytes.str();
}

void PipelineTest::SetUp() {
  HomeTest::SetUp();
  if (IsSkipped() || HasFatalFailure()) return;
  m_log = std::make_unique<OrvelEngineTest::LogReader>(*home / "log/orvel.log");
  for (const char* service : {"QxOrvelScan", "QxOrvelPolicy"})
    m_services.services[service].states = {OrvelPlatform::kServiceRunning};
}

void PipelineTest::TearDown() {
  m_update.reset();
  if (m_clientLoaded) releaseUpdateClient();
  HomeTest::TearDown();
}

QxUpdate& PipelineTest::update(QxUpdateKind kind) {
  if (!m_update) m_update = std::make_unique<QxUpdate>(kind);
  return *m_update;
}

void PipelineTest::settings(const std::string& list) {
  home->exec("delete from tb_global_setting");
  std::istringstream all(list);
  for (std::string item; std::getline(all, item, '|');) {
    const std::size_t equals = item.find('='), colon = item.find(':');
    const bool sectioned = colon < equals;
    std::string value = item.substr(equals + 1);
    const std::size_t open = value.find('{'), close = value.find('}');
    if (open != std::string::npos) {
      std::string stored;
      ASSERT_TRUE(ORVEL::NewEncryptStr(value.substr(open + 1, close - open - 1).c_str(), stored));
      value.replace(open, close - open + 1, stored);
    }
    home->setting(
        item.substr(sectioned ? colon + 1 : 0, equals - (sectioned ? colon + 1 : 0)).c_str(),
        value.c_str(), sectioned ? item.substr(0, colon).c_str() : "Update");
  }
}

void PipelineTest::installComponents() {
  for (const char* engine : {"ziran32.dll", "dexa32.dll", "qxufeng.dll", "qxaseng.dll"})
    fs::copy_file(OrvelEngineTest::engines("v1") + "/" + engine, *home / "bin/" + engine);
  const std::string ziran = *home / "lib/pattern/ziran", rules = *home / "lib/pattern/qxase/rules";
  fs::create_directories(ziran);
  fs::create_directories(rules);
  writeZiranPatterns(ziran, false);
  ASSERT_EQ(OrvelEngines::FileCheck::kOk, OrvelEngines::writeRuleSet(rules, 17461, 5, 200));
}

void PipelineTest::loadClient() {
  fs::copy_file(ORVEL_UPDATE_CLIENT, *home / "bin/QxUpdate.dll");
  ASSERT_TRUE(ensureUpdateClient((*home / "bin").c_str()));
  m_clientLoaded = true;
}

Lines PipelineTest::logLines(std::initializer_list<std::string> prefixes) {
  Lines kept;
  for (const std::string& taken : m_log->take()) {
    const std::string line = OrvelEngineTest::withoutSourceLine(taken);
    const std::size_t text = line.find(' ') + 1;  // after "<level>"
    for (const std::string& prefix : prefixes) {
      if (line.compare(text, prefix.size(), prefix) != 0) continue;
      kept.push_back(line);
      break;
    }
  }
  return kept;
}

std::string PipelineTest::scannerInfo(const char* key) {
  std::string value;
  ORVEL::ConfigFileOnDisk((*home / "config/scanner.info").c_str()).getparam("update", key, value);
  return value;
}

}  // namespace OrvelPipelineTest
