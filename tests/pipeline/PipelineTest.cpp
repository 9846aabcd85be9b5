#include "PipelineTest.h"

#include <filesystem>

#include "OrvelCommon/PasswordCipher.h"
#include "OrvelKF/QxUpdateClientBinding.h"

namespace fs = std::filesystem;

namespace OrvelPipelineTest {

void PipelineTest::SetUp() {
  UpdateTest::SetUp();
  if (IsSkipped() || HasFatalFailure()) return;
  m_log = std::make_unique<OrvelEngineTest::LogReader>(*home / "log/orvel.log");
}

void PipelineTest::TearDown() {
  m_update.reset();
  if (m_clientLoaded) releaseUpdateClient();
  UpdateTest::TearDown();
}

QxUpdate& PipelineTest::update(QxUpdateKind kind) {
  if (!m_update) m_update = std::make_unique<QxUpdate>(kind);
  return *m_update;
}

void PipelineTest::clearSettings() { home->exec("delete from tb_global_setting"); }

std::string PipelineTest::enciphered(const char* plain) {
  std::string stored;
  EXPECT_TRUE(ORVEL::NewEncryptStr(plain, stored));
  return stored;
}

void PipelineTest::installEngines(const char* build) {
  for (const char* engine : {"ziran32.dll", "dexa32.dll", "qxufeng.dll", "qxaseng.dll"}) {
    fs::copy_file(OrvelEngineTest::engines(build) + "/" + engine,
                  *home / ("bin/" + std::string(engine)), fs::copy_options::overwrite_existing);
  }
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
