// verifyQxaseEngine, verifyQxasePattern and buildQXASECache against the anti-spam engine.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

#include "EngineTestSupport.h"
#include "OrvelKF/QxUpdate.h"

namespace fs = std::filesystem;
using namespace OrvelEngineTest;
using OrvelEngines::FileCheck;
using Lines = std::vector<std::string>;

namespace {
std::string qxase(const std::string& folder) { return folder + "/qxaseng.dll"; }
std::string reason(const char* text, const char* systemText = "") {
  return std::string("<1> QxUpdate::_getErrString ") + text + systemText;
}
}  // namespace

class VerifyQxase : public EngineTest {
 protected:
  bool verifyEngine(const std::string& engine) {
    return QxUpdate::verifyQxaseEngine(engine, m_version, m_msg, &m_bundle);
  }
  bool verifyRules(const std::string& engine, const std::string& rules) {
    return QxUpdate::verifyQxasePattern(engine, rules, m_base, m_rule, m_msg, &m_bundle);
  }
  bool buildCache(const std::string& engine, const std::string& rules, const std::string& cache) {
    m_msg.clear();
    return QxUpdate::buildQXASECache(engine, rules, cache, m_msg, &m_bundle);
  }

  std::string m_msg;
  std::string m_version = "untouched";
  unsigned m_base = 99;
  unsigned m_rule = 99;
};

TEST_F(VerifyQxase, EngineVersionsAreTheNumbersTheEngineGives) {
  LoadCounter counter;
  const std::pair<std::string, const char*> sound[] = {
      {engines("v1"), "7.2.1050"},
      {engines("v2"), "7.3.1120"},
      {broken("qxase_version_result_refused"), "7.2.1050"}};  // not the result it gives with them
  for (const auto& [folder, version] : sound) {
    ASSERT_TRUE(verifyEngine(qxase(folder))) << folder;
    EXPECT_EQ(version, m_version);
  }
  EXPECT_EQ("", m_msg);
  EXPECT_EQ(Lines{}, logLines());
  m_version = "untouched";
  for (const char* variant : {"qxase_version_zero", "qxase_without_version", "not_a_library"}) {
    m_msg.clear();
    EXPECT_FALSE(verifyEngine(qxase(broken(variant)))) << variant;
    EXPECT_EQ(kVerifyErr, m_msg);
  }
  EXPECT_EQ((Lines{reason(kVerifyErr), reason(kVerifyErr, "Function not implemented"),
                   reason(kVerifyErr, "Exec format error")}),
            logLines());
  m_msg.clear();
  EXPECT_FALSE(verifyEngine(""));
  EXPECT_EQ("", m_msg);
  EXPECT_EQ("untouched", m_version);
  EXPECT_ALL_RELEASED(counter, 5u);
}

TEST_F(VerifyQxase, RulesGiveBaseAndRuleVersionOrAreCorrupt) {
  LoadCounter counter;
  const std::string rules = dir("rules");
  ASSERT_EQ(FileCheck::kOk, OrvelEngines::writeRuleSet(rules, 17460, 2, 200));
  ASSERT_EQ(FileCheck::kOk, OrvelEngines::writeRuleSet(rules, 17461, 5, 200));
  ASSERT_TRUE(verifyRules(qxase(engines("v1")), rules)) << m_msg;
  EXPECT_EQ("17461 17461005", std::to_string(m_base) + " " + std::to_string(m_rule));
  EXPECT_EQ(Lines{}, logLines());
  // The engine's call fails, or answers with a version the rule files do not make up.
  const std::string alone = dir("alone");
  ASSERT_EQ(FileCheck::kOk,
            OrvelEngines::writeRuleFile(alone, OrvelEngines::RuleKind::kBase, 17461, 0, 50));
  const std::pair<std::string, std::string> corrupt[] = {
      {dir("empty"), "L_QX_AS_getRuleFileVerInDirEx call failed"},
      {alone, "The integrety check detected the downloaded anti-spam pattern to be invalid."}};
  for (const auto& [folder, line] : corrupt) {
    m_msg.clear();
    EXPECT_FALSE(verifyRules(qxase(engines("v2")), folder)) << folder;
    EXPECT_EQ(kFileCorrupt, m_msg);
    EXPECT_EQ("0 0", std::to_string(m_base) + " " + std::to_string(m_rule)) << "the engine's";
    EXPECT_EQ((Lines{"<1> QxUpdate::verifyQxasePattern: " + line, reason(kFileCorrupt)}),
              logLines());
  }
  m_msg.clear();
  m_base = m_rule = 99;
  EXPECT_FALSE(verifyRules(qxase(broken("qxase_without_rule_version")), dir("empty")));
  EXPECT_EQ(kVerifyErr, m_msg);
  EXPECT_EQ(99u, m_base);
  EXPECT_FALSE(verifyRules(qxase(engines("v1")), ""));
  EXPECT_FALSE(verifyRules("", dir("empty")));
  EXPECT_ALL_RELEASED(counter, 4u);
}

TEST_F(VerifyQxase, TheCacheIsBuiltFromTheNewestSetOrNotAtAll) {
  LoadCounter counter;
  const std::string rules = dir("rules");
  ASSERT_EQ(FileCheck::kOk, OrvelEngines::writeRuleSet(rules, 17461, 2, 100));
  const std::string cache = m_scratch / "cache/deep";
  ASSERT_TRUE(buildCache(qxase(engines("v2")), rules, cache)) << m_msg;
  const std::string index = OrvelTest::readFile(cache + "/qxase.cache");
  EXPECT_EQ(0u, index.find("QXASE-CACHE 1 17461 17461002\nqx017461.rul 132 "));
  EXPECT_EQ(8, std::count(index.begin(), index.end(), '\n'));
  EXPECT_EQ((Lines{"<3> QxUpdate::buildQXASECache: generate QXASE pattern cache successful"}),
            logLines());

  const std::string buildErr = "Unable to build the anti-spam pattern cache.";
  const std::string failing[][3] = {{engines("v1"), dir("no-rules"), m_scratch / "cache1"},
                                    {broken("qxase_cache_refused"), rules, m_scratch / "cache1"},
                                    {engines("v1"), rules, ""}};
  for (const auto& f : failing) {
    EXPECT_FALSE(buildCache(qxase(f[0]), f[1], f[2])) << f[0] << " " << f[1] << " " << f[2];
    EXPECT_EQ(buildErr, m_msg);
    EXPECT_EQ((Lines{"<1> QxUpdate::buildQXASECache: Error: generate QXASE pattern cache failed",
                     reason(buildErr.c_str())}),
              logLines());
  }
  EXPECT_FALSE(fs::exists(m_scratch / "cache1/qxase.cache"));
  EXPECT_FALSE(buildCache(qxase(broken("qxase_without_uninit")), rules, m_scratch / "cache3"));
  EXPECT_EQ(kVerifyErr, m_msg);
  EXPECT_EQ((Lines{reason(kVerifyErr, "Function not implemented")}), logLines());
  EXPECT_FALSE(fs::exists(m_scratch / "cache3"));
  EXPECT_FALSE(buildCache(qxase(engines("v1")), "", m_scratch / "cache4"));
  EXPECT_ALL_RELEASED(counter, 5u);
}
