// verifyQxaseEngine, verifyQxasePattern and buildQXASECache against the anti-spam engine.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <functional>

#include "EngineTestSupport.h"
#include "OrvelKF/QxUpdate.h"

namespace fs = std::filesystem;
using namespace OrvelEngineTest;
using OrvelEngines::FileCheck;
using OrvelEngines::RuleKind;
using Lines = std::vector<std::string>;

namespace {
std::string qxase(const std::string& folder) { return folder + "/qxaseng.dll"; }
const std::string kCorruptLine = std::string("<1> QxUpdate::_getErrString ") + kFileCorrupt;
}  // namespace

class VerifyQxase : public EngineTest {
 protected:
  bool verifyRules(const std::string& engine, const std::string& rules) {
    return QxUpdate::verifyQxasePattern(engine, rules, m_base, m_rule, m_msg, &m_bundle);
  }
  bool buildCache(const std::string& engine, const std::string& rules, const std::string& cache) {
    return QxUpdate::buildQXASECache(engine, rules, cache, m_msg, &m_bundle);
  }

  std::string m_msg;
  unsigned m_base = 99;
  unsigned m_rule = 99;
};

TEST_F(VerifyQxase, EngineVersions) {
  LoadCounter counter;
  std::string version = "untouched";
  ASSERT_TRUE(QxUpdate::verifyQxaseEngine(qxase(engines("v1")), version, m_msg, &m_bundle));
  EXPECT_EQ("7.2.1050", version);
  ASSERT_TRUE(QxUpdate::verifyQxaseEngine(qxase(engines("v2")), version, m_msg, &m_bundle));
  EXPECT_EQ("7.3.1120", version);
  // The numbers decide, not the result the engine gives with them.
  ASSERT_TRUE(QxUpdate::verifyQxaseEngine(qxase(broken("qxase_version_result_refused")), version,
                                          m_msg, &m_bundle));
  EXPECT_EQ("7.2.1050", version);
  EXPECT_EQ("", m_msg);
  EXPECT_EQ(Lines{}, logLines());

  version = "untouched";
  for (const char* variant : {"qxase_version_zero", "qxase_without_version", "not_a_library"}) {
    m_msg.clear();
    EXPECT_FALSE(QxUpdate::verifyQxaseEngine(qxase(broken(variant)), version, m_msg, &m_bundle))
        << variant;
    EXPECT_EQ(kVerifyErr, m_msg);
  }
  EXPECT_EQ("untouched", version);
  EXPECT_EQ(
      (Lines{std::string("<1> QxUpdate::_getErrString ") + kVerifyErr,
             std::string("<1> QxUpdate::_getErrString ") + kVerifyErr + "Function not implemented",
             std::string("<1> QxUpdate::_getErrString ") + kVerifyErr + "Exec format error"}),
      logLines());
  m_msg.clear();
  EXPECT_FALSE(QxUpdate::verifyQxaseEngine("", version, m_msg, &m_bundle));
  EXPECT_EQ("", m_msg);
  EXPECT_ALL_RELEASED(counter, 5u);
}

TEST_F(VerifyQxase, SoundRulesGiveBaseAndRuleVersion) {
  LoadCounter counter;
  const std::string rules = dir("rules");
  ASSERT_EQ(FileCheck::kOk, OrvelEngines::writeRuleSet(rules, 17460, 2, 200));
  ASSERT_EQ(FileCheck::kOk, OrvelEngines::writeRuleSet(rules, 17461, 5, 200));
  ASSERT_TRUE(verifyRules(qxase(engines("v1")), rules)) << m_msg;
  EXPECT_EQ(17461u, m_base);
  EXPECT_EQ(17461005u, m_rule);
  EXPECT_EQ("", m_msg);
  EXPECT_EQ(Lines{}, logLines());
  EXPECT_ALL_RELEASED(counter, 1u);
}

TEST_F(VerifyQxase, BrokenRuleFoldersAreCorrupt) {
  const std::string found =
      "<1> QxUpdate::verifyQxasePattern: L_QX_AS_getRuleFileVerInDirEx call failed";
  const std::string invalid =
      "<1> QxUpdate::verifyQxasePattern: The integrety check detected the downloaded anti-spam "
      "pattern to be invalid.";
  struct Case {
    const char* what;
    std::function<void(const std::string&)> make;
    std::string line;
  };
  // The engine's call fails, or answers with a version the rule files do not make up.
  const std::vector<Case> cases = {
      {"empty", [](const std::string&) {}, found},
      {"base file alone",
       [](const std::string& r) { OrvelEngines::writeRuleFile(r, RuleKind::kBase, 17461, 0, 50); },
       invalid}};
  for (const Case& c : cases) {
    LoadCounter counter;
    const std::string rules = dir(c.what);
    c.make(rules);
    m_msg.clear();
    EXPECT_FALSE(verifyRules(qxase(engines("v2")), rules)) << c.what;
    EXPECT_EQ(kFileCorrupt, m_msg);
    EXPECT_EQ(0u, m_base);  // what the engine said
    EXPECT_EQ(0u, m_rule);
    EXPECT_EQ((Lines{c.line, kCorruptLine}), logLines()) << c.what;
    EXPECT_ALL_RELEASED(counter, 1u);
  }

  LoadCounter counter;
  m_msg.clear();
  m_base = m_rule = 99;
  EXPECT_FALSE(verifyRules(qxase(broken("qxase_without_rule_version")), dir("empty")));
  EXPECT_EQ(kVerifyErr, m_msg);
  EXPECT_EQ(99u, m_base);
  EXPECT_FALSE(verifyRules(qxase(engines("v1")), ""));
  EXPECT_FALSE(verifyRules("", dir("empty")));
  EXPECT_ALL_RELEASED(counter, 1u);
}

TEST_F(VerifyQxase, CacheIsBuiltFromTheNewestSet) {
  LoadCounter counter;
  const std::string rules = dir("rules");
  ASSERT_EQ(FileCheck::kOk, OrvelEngines::writeRuleSet(rules, 17461, 2, 100));
  const std::string cache = m_scratch / "cache/deep";
  ASSERT_TRUE(buildCache(qxase(engines("v2")), rules, cache)) << m_msg;
  const std::string index = OrvelTest::readFile(cache + "/qxase.cache");
  const std::string start = "QXASE-CACHE 1 17461 17461002\nqx017461.rul 132 ";
  EXPECT_EQ(start, index.substr(0, start.size()));
  EXPECT_EQ(8, std::count(index.begin(), index.end(), '\n'));
  EXPECT_EQ((Lines{"<3> QxUpdate::buildQXASECache: generate QXASE pattern cache successful"}),
            logLines());
  EXPECT_ALL_RELEASED(counter, 1u);
}

TEST_F(VerifyQxase, CacheFailures) {
  const std::string failed =
      "<1> QxUpdate::buildQXASECache: Error: generate QXASE pattern cache failed";
  const std::string buildErr = "Unable to build the anti-spam pattern cache.";
  const std::string rules = dir("rules");
  ASSERT_EQ(FileCheck::kOk, OrvelEngines::writeRuleSet(rules, 17461, 0, 100));
  struct Case {
    std::string engine;
    std::string rules;
    std::string cache;
  };
  for (const Case& c : {Case{engines("v1"), dir("no-rules"), m_scratch / "cache1"},
                        Case{broken("qxase_cache_refused"), rules, m_scratch / "cache2"},
                        Case{engines("v1"), rules, ""}}) {
    LoadCounter counter;
    m_msg.clear();
    EXPECT_FALSE(buildCache(qxase(c.engine), c.rules, c.cache)) << c.engine << " " << c.cache;
    EXPECT_EQ(buildErr, m_msg);
    EXPECT_EQ((Lines{failed, "<1> QxUpdate::_getErrString " + buildErr}), logLines());
    EXPECT_ALL_RELEASED(counter, 1u);
  }
  EXPECT_FALSE(fs::exists(m_scratch / "cache1/qxase.cache"));

  LoadCounter counter;
  m_msg.clear();
  EXPECT_FALSE(buildCache(qxase(broken("qxase_without_uninit")), rules, m_scratch / "cache3"));
  EXPECT_EQ(kVerifyErr, m_msg);
  EXPECT_EQ((Lines{std::string("<1> QxUpdate::_getErrString ") + kVerifyErr +
                   "Function not implemented"}),
            logLines());
  EXPECT_FALSE(fs::exists(m_scratch / "cache3"));
  EXPECT_FALSE(buildCache(qxase(engines("v1")), "", m_scratch / "cache4"));
  EXPECT_ALL_RELEASED(counter, 1u);
}
