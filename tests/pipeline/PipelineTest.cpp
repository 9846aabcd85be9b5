#include "PipelineTest.h"

#include <filesystem>
#include <sstream>

#include "OrvelCommon/PasswordCipher.h"
#include "OrvelKF/QxUpdateClientBinding.h"

namespace fs = std::filesystem;

namespace OrvelPipelineTest {

void PipelineTest::SetUp() {
  HomeTest::SetUp();
  if (IsSkipped() || HasFatalFailure()) return;
  m_log = std::make_unique<OrvelEngineTest::LogReader>(*home / "log/orvel.log");
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

void writePattern(const std::string& folder, OrvelEngines::PatternKind kind,
                  std::uint32_t internal) {
  ASSERT_EQ(OrvelEngines::FileCheck::kOk,
            OrvelEngines::writePatternFile(
                folder, kind, internal, static_cast<std::uint16_t>(internal / 100 % 1000), 1000));
}

void PipelineTest::installComponents() {
  for (const char* engine : {"ziran32.dll", "dexa32.dll", "qxufeng.dll", "qxaseng.dll"}) {
    fs::copy_file(OrvelEngineTest::engines("v1") + "/" + engine,
                  *home / ("bin/" + std::string(engine)));
  }
  const std::string ziran = *home / "lib/pattern/ziran", rules = *home / "lib/pattern/qxase/rules";
  fs::create_directories(ziran);
  fs::create_directories(rules);
  using OrvelEngines::PatternKind;
  for (auto [kind, internal] : {std::pair{PatternKind::kVirus, 576300u},
                                {PatternKind::kSpyware, 123400u},
                                {PatternKind::kLurebox, 210100u},
                                {PatternKind::kLureboxException, 320200u},
                                {PatternKind::kCloudsift, 430300u}})
    writePattern(ziran, kind, internal);
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

}  // namespace OrvelPipelineTest
