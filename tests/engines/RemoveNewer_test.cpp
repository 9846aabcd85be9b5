// removeNewerZIRANPtn and removeNewerQXASEPtn: patterns and rule sets newer than a version leave
// the pattern folder.
#include <gtest/gtest.h>

#include <array>
#include <filesystem>

#include "EngineTestSupport.h"
#include "OrvelKF/QxUpdate.h"

namespace fs = std::filesystem;
using namespace OrvelEngineTest;
using Lines = std::vector<std::string>;
using OrvelEngines::FileCheck;
using OrvelEngines::PatternKind;

namespace {

class RemoveNewerTest : public EngineTest {
 protected:
  bool removeZiran(std::string engine, int type, const std::string& version) {
    std::string patterns = m_patterns, moveTo = m_moveTo;
    return QxUpdate::removeNewerZIRANPtn(engine.data(), patterns.data(), moveTo.data(),
                                         static_cast<QxUpdateType>(type), version, m_msg,
                                         &m_bundle);
  }
  bool removeQxase(std::string version, std::string engine = "") {
    if (engine.empty()) engine = m_qxase;
    std::string rules = m_rules;
    return QxUpdate::removeNewerQXASEPtn(engine.data(), rules.data(), version, m_msg, &m_bundle);
  }
  void rules(unsigned base, unsigned incrementals) {
    ASSERT_EQ(FileCheck::kOk, OrvelEngines::writeRuleSet(m_rules, base, incrementals, 64));
  }
  std::string ziranLine(const std::string& text) {
    return "<1> QxUpdate::removeNewerZIRANPtn " + text;
  }
  std::string qxaseLine(const std::string& text) {
    return "<1> QxUpdate::removeNewerQXASEPtn " + text;
  }
  std::string moved(const std::string& name) {
    return ziranLine("move file succeed, src=" + m_patterns + "/" + name + ", dst=" + m_moveTo +
                     "/" + name);
  }
  Lines ziranOpening(int type, const std::string& version, const std::string& engine) {
    return {ziranLine("enginepath = " + engine + ", patternpath = " + m_patterns +
                      ", type = " + std::to_string(type) + ", version = " + version),
            "<3> QxUpdate::removeNewerZIRANPtn load engine = " + engine + "\\ziran32.dll"};
  }
  std::string qxaseOpening(const std::string& target) {
    return qxaseLine("enginepath = " + m_qxase + ", patternpath = " + m_rules +
                     ", version = " + target);
  }

  const std::string m_patterns = dir("pattern"), m_moveTo = dir("backup"), m_rules = dir("rules");
  const std::string m_qxase = engines("v1") + "/qxaseng.dll";
  std::string m_msg;
};

TEST_F(RemoveNewerTest, ZiranMovesNewerPatternsOfTheTypeAtMostTenOfThem) {
  LoadCounter counter;
  writePatterns(m_patterns, PatternKind::kVirus, {576300, 576500, 576700});
  writePatterns(m_patterns, PatternKind::kSpyware, {576900});
  ASSERT_TRUE(removeZiran(engines("v1"), VIRUS_PATTERN, "5.763.00")) << m_msg;
  Lines expected = ziranOpening(VIRUS_PATTERN, "5.763.00", engines("v1"));
  for (const std::string& more :
       {ziranLine("get local pattern version 5.767.00"), moved("ksv$pat.5767"),
        ziranLine("get local pattern version 5.765.00"), moved("ksv$pat.5765"),
        ziranLine("get local pattern version 5.763.00"),
        ziranLine("Successfully rollback 2 pattern files")})
    expected.push_back(more);
  EXPECT_EQ(expected, logLines());
  EXPECT_EQ((Lines{"ksv$pat.5763", "spyxdb.5769"}), filesIn(m_patterns));
  EXPECT_EQ((Lines{"ksv$pat.5765", "ksv$pat.5767"}), filesIn(m_moveTo));
  EXPECT_EQ("", m_msg);
  EXPECT_ALL_RELEASED(counter, 1u);

  std::vector<std::uint32_t> versions;
  for (std::uint32_t n = 101; n <= 112; ++n) versions.push_back(n * 100);
  writePatterns(m_patterns, PatternKind::kCloudsift, versions);
  ASSERT_TRUE(removeZiran(engines("v2"), CLOUDSIFT_AGENT_PATTERN, "0.101.00")) << m_msg;
  const Lines lines = logLines();
  EXPECT_EQ(ziranLine("find 12 backup patterns"), lines.at(2));
  EXPECT_EQ(ziranLine("Successfully rollback 10 pattern files"), lines.back());
  // The list is newest first: the two oldest were never looked at, though one is newer.
  EXPECT_EQ((Lines{"cldx$agt.101", "cldx$agt.102", "ksv$pat.5763", "spyxdb.5769"}),
            filesIn(m_patterns));
  EXPECT_EQ(12u, filesIn(m_moveTo).size());
}

TEST_F(RemoveNewerTest, ZiranGoesOnPastOneBadFileButNowhereToMoveToFails) {
  writePatterns(m_patterns, PatternKind::kLurebox, {100000, 110000, 120000});
  flipByte(m_patterns + "/qxblack.1100", 200);
  OrvelTest::writeFile(m_moveTo + "/qxblack.1200", "an older copy");
  m_msg = "A. ";
  ASSERT_TRUE(removeZiran(engines("v1"), LUREBOX_PATTERN, "1.000.00"));
  EXPECT_EQ(std::string("A. ") + kPatternReadErr, m_msg);
  EXPECT_EQ((Lines{"qxblack.1000", "qxblack.1100"}), filesIn(m_patterns));
  EXPECT_NE("an older copy", OrvelTest::readFile(m_moveTo + "/qxblack.1200"));
  fs::remove_all(m_moveTo);
  writePatterns(m_patterns, PatternKind::kLurebox, {130000});
  logLines();
  EXPECT_FALSE(removeZiran(engines("v1"), LUREBOX_PATTERN, "1.200.00"));
  const Lines lines = logLines();
  EXPECT_EQ(ziranLine("move file failed, src=" + m_patterns + "/qxblack.1300, dst=" + m_moveTo +
                      "/qxblack.1300, errno=2"),
            lines.at(3));
  EXPECT_EQ(ziranLine("get local pattern version 1.000.00"), lines.back());  // no success line
  EXPECT_TRUE(fs::exists(m_patterns + "/qxblack.1300"));
}

TEST_F(RemoveNewerTest, ZiranRefusedBeforeOrByTheEngine) {
  LoadCounter counter;
  EXPECT_FALSE(removeZiran(engines("v1"), SCAN_ENGINE, "9.500.1001"));
  EXPECT_FALSE(removeZiran(engines("v1"), QXASE_ENGINE, "7.2.1050"));
  EXPECT_EQ(2u, logLines().size());  // the opening line only
  EXPECT_ALL_RELEASED(counter, 0u);
  // An empty folder, an engine without the list, one that will not start, no engine at all.
  const std::pair<std::string, std::string> refusing[] = {
      {engines("v1"), ""},
      {broken("ziran_without_pattern_list"), "Function not implemented"},
      {broken("ziran_init_refused"), ""},
      {broken("not_a_library"), "Exec format error"}};
  for (const auto& [engine, systemText] : refusing) {
    m_msg.clear();
    EXPECT_FALSE(removeZiran(engine, SPYWARE_PATTERN, "1.000.00")) << engine;
    EXPECT_EQ(kVerifyErr, m_msg);
    Lines expected = ziranOpening(SPYWARE_PATTERN, "1.000.00", engine);
    expected.push_back(std::string("<1> QxUpdate::_getErrString ") + kVerifyErr + systemText);
    EXPECT_EQ(expected, logLines());
  }
  EXPECT_ALL_RELEASED(counter, 3u);
  std::string patterns = m_patterns, engine = engines("v1"), empty;
  for (char* moveTo : {static_cast<char*>(nullptr), empty.data()})
    EXPECT_FALSE(QxUpdate::removeNewerZIRANPtn(engine.data(), patterns.data(), moveTo,
                                               VIRUS_PATTERN, "1.0.0", m_msg, &m_bundle));
}

TEST_F(RemoveNewerTest, QxaseNewerBasesGoWholeNewestFirstThenTheTargetBasesIncrementals) {
  LoadCounter counter;
  rules(17461, 10);
  rules(17462, 2);
  rules(17463, 0);
  ASSERT_TRUE(removeQxase("17461.005")) << m_msg;
  Lines expected = {qxaseOpening("17461005")};
  for (const auto& [base, last, files] : {std::array<std::string, 3>{"17463", "17463000", "17463*"},
                                          {"17462", "17462002", "17462*"},
                                          {"17461", "17461010", "17461-*"}}) {
    expected.push_back(qxaseLine("find QXASE pattern " + base + "-" + last));
    expected.push_back(qxaseLine("need to remove the QXASE pattern " + last));
    expected.push_back(qxaseLine("remove pattern " + m_rules + "/qx0" + files + " succeed"));
  }
  EXPECT_EQ(expected, logLines());
  EXPECT_EQ((Lines{"qx017461.exp", "qx017461.hsh", "qx017461.phi", "qx017461.rul", "qx017461.sig"}),
            filesIn(m_rules));
  EXPECT_ALL_RELEASED(counter, 1u);

  // Nothing newer is no error; missing incrementals end the removal without one.
  EXPECT_TRUE(removeQxase("17461.000"));
  EXPECT_EQ(qxaseLine("no need to remove any QXASE patterns"), logLines().back());
  EXPECT_TRUE(removeQxase("17461.005"));
  EXPECT_EQ(qxaseLine("Failed to maintain anti-spam pattern from 17461-17461000 to "
                      "17461-17461005. Return anyway."),
            logLines().back());
  EXPECT_EQ(5u, filesIn(m_rules).size());
  EXPECT_EQ("", m_msg);
  // Ten rounds are the most.
  fs::remove_all(m_rules);
  fs::create_directories(m_rules);
  for (unsigned base = 17401; base <= 17411; ++base) rules(base, 0);
  EXPECT_FALSE(removeQxase("17400.000"));
  EXPECT_EQ(qxaseLine("got into infinite loop error"), logLines().back());
  EXPECT_EQ((Lines{"qx017401.exp", "qx017401.hsh", "qx017401.phi", "qx017401.rul", "qx017401.sig"}),
            filesIn(m_rules));
}

TEST_F(RemoveNewerTest, QxaseBrokenRulesStopTheRemoval) {
  EXPECT_FALSE(removeQxase("17461"));  // no dot: not a rule version
  EXPECT_EQ("", m_msg);
  EXPECT_EQ(Lines{}, logLines());

  LoadCounter counter;
  EXPECT_FALSE(removeQxase("17461.005"));
  EXPECT_EQ(kFileCorrupt, m_msg);
  const std::string corrupt = std::string("<1> QxUpdate::_getErrString ") + kFileCorrupt;
  EXPECT_EQ((Lines{qxaseOpening("17461005"), qxaseLine("L_QX_AS_getRuleFileVerInDirEx call failed"),
                   corrupt}),
            logLines());
  // The newer base arrived without its siblings: the older one is not reached.
  rules(17461, 7);
  ASSERT_EQ(FileCheck::kOk,
            OrvelEngines::writeRuleFile(m_rules, OrvelEngines::RuleKind::kBase, 17462, 0, 64));
  m_msg.clear();
  EXPECT_FALSE(removeQxase("17461.005"));
  EXPECT_EQ(kFileCorrupt, m_msg);
  EXPECT_EQ(
      (Lines{qxaseOpening("17461005"),
             qxaseLine("invalid rule version returned when check pattern integrity"), corrupt}),
      logLines());
  EXPECT_EQ(13u, filesIn(m_rules).size());
  m_msg.clear();
  EXPECT_FALSE(removeQxase("17461.005", broken("qxase_without_rule_version") + "/qxaseng.dll"));
  EXPECT_EQ(kVerifyErr, m_msg);
  EXPECT_ALL_RELEASED(counter, 3u);
}

}  // namespace
