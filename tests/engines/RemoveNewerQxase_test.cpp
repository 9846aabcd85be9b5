// removeNewerQXASEPtn: anti-spam rules newer than a version go, one base version per round.
#include <gtest/gtest.h>

#include <filesystem>
#include <tuple>

#include "EngineTestSupport.h"
#include "OrvelKF/QxUpdate.h"

namespace fs = std::filesystem;
using namespace OrvelEngineTest;
using OrvelEngines::FileCheck;
using Lines = std::vector<std::string>;

namespace {
const Lines kSetOf17461 = {"qx017461.exp", "qx017461.hsh", "qx017461.phi", "qx017461.rul",
                           "qx017461.sig"};
}

class RemoveNewerQxase : public EngineTest {
 protected:
  void SetUp() override {
    EngineTest::SetUp();
    m_rules = dir("rules");
    m_engine = engines("v1") + "/qxaseng.dll";
  }
  bool remove(std::string version, std::string engine = "") {
    if (engine.empty()) engine = m_engine;
    std::string rules = m_rules;
    return QxUpdate::removeNewerQXASEPtn(engine.data(), rules.data(), version, m_msg, &m_bundle);
  }
  void rules(unsigned base, unsigned incrementals) {
    ASSERT_EQ(FileCheck::kOk, OrvelEngines::writeRuleSet(m_rules, base, incrementals, 64));
  }
  std::string line(const std::string& text) { return "<1> QxUpdate::removeNewerQXASEPtn " + text; }
  std::string opening(const std::string& target) {
    return line("enginepath = " + m_engine + ", patternpath = " + m_rules +
                ", version = " + target);
  }

  std::string m_rules;
  std::string m_engine;
  std::string m_msg;
};

TEST_F(RemoveNewerQxase, NewerBasesGoWholeNewestFirstThenTheTargetBasesNewerIncrementals) {
  LoadCounter counter;
  rules(17461, 10);
  rules(17462, 2);
  rules(17463, 0);
  ASSERT_TRUE(remove("17461.005")) << m_msg;
  Lines expected = {opening("17461005")};
  for (const auto& [base, last, files] :
       {std::tuple<std::string, std::string, std::string>{"17463", "17463000", "17463*"},
        {"17462", "17462002", "17462*"},
        {"17461", "17461010", "17461-*"}}) {
    expected.push_back(line("find QXASE pattern " + base + "-" + last));
    expected.push_back(line("need to remove the QXASE pattern " + last));
    expected.push_back(line("remove pattern " + m_rules + "/qx0" + files + " succeed"));
  }
  EXPECT_EQ(expected, logLines());
  EXPECT_EQ(kSetOf17461, filesIn(m_rules));
  EXPECT_ALL_RELEASED(counter, 1u);
}

TEST_F(RemoveNewerQxase, NothingNewerIsNoErrorAndTenRoundsAreTheMost) {
  rules(17461, 5);
  EXPECT_TRUE(remove("17461.005"));
  EXPECT_EQ(line("no need to remove any QXASE patterns"), logLines().back());
  fs::remove(m_rules + "/qx017461-004.rul");
  fs::remove(m_rules + "/qx017461-005.rul");
  EXPECT_TRUE(remove("17461.005"));
  EXPECT_EQ(line("Failed to maintain anti-spam pattern from 17461-17461003 to 17461-17461005. "
                 "Return anyway."),
            logLines().back());
  EXPECT_EQ(8u, filesIn(m_rules).size());
  EXPECT_EQ("", m_msg);
  fs::remove_all(m_rules);
  fs::create_directories(m_rules);
  for (unsigned base = 17401; base <= 17411; ++base) rules(base, 0);
  EXPECT_FALSE(remove("17400.000"));
  EXPECT_EQ(line("got into infinite loop error"), logLines().back());
  EXPECT_EQ((Lines{"qx017401.exp", "qx017401.hsh", "qx017401.phi", "qx017401.rul", "qx017401.sig"}),
            filesIn(m_rules));
}

TEST_F(RemoveNewerQxase, BrokenRulesStopTheRemoval) {
  EXPECT_FALSE(remove("17461"));  // no dot: not a rule version
  EXPECT_EQ("", m_msg);
  EXPECT_EQ(Lines{}, logLines());

  LoadCounter counter;
  EXPECT_FALSE(remove("17461.005"));
  EXPECT_EQ(kFileCorrupt, m_msg);
  EXPECT_EQ((Lines{opening("17461005"), line("L_QX_AS_getRuleFileVerInDirEx call failed"),
                   std::string("<1> QxUpdate::_getErrString ") + kFileCorrupt}),
            logLines());

  // The newer base arrived without its siblings: the older one is not reached.
  rules(17461, 7);
  ASSERT_EQ(FileCheck::kOk,
            OrvelEngines::writeRuleFile(m_rules, OrvelEngines::RuleKind::kBase, 17462, 0, 64));
  m_msg.clear();
  EXPECT_FALSE(remove("17461.005"));
  EXPECT_EQ(kFileCorrupt, m_msg);
  EXPECT_EQ((Lines{opening("17461005"),
                   line("invalid rule version returned when check pattern integrity"),
                   std::string("<1> QxUpdate::_getErrString ") + kFileCorrupt}),
            logLines());
  EXPECT_EQ(13u, filesIn(m_rules).size());

  m_msg.clear();
  EXPECT_FALSE(remove("17461.005", broken("qxase_without_rule_version") + "/qxaseng.dll"));
  EXPECT_EQ(kVerifyErr, m_msg);
  EXPECT_ALL_RELEASED(counter, 3u);
}
