// The pattern and rule formats: what the engines take and what they refuse, and the tool that makes
// the files.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>

#include "EngineTestSupport.h"

namespace fs = std::filesystem;
using namespace OrvelEngines;
using OrvelEngineTest::flipByte;

class EngineFiles : public ::testing::Test {
 protected:
  std::string pattern(PatternKind kind, std::uint32_t internal, std::uint16_t number,
                      std::uint64_t size = 5000) {
    std::string path;
    EXPECT_EQ(FileCheck::kOk, writePatternFile(m_dir.path(), kind, internal, number, size, &path));
    return path;
  }
  FileCheck check(const std::string& path, bool payload = true) {
    PatternInfo info;
    return checkPatternFile(path, info, payload);
  }

  OrvelTest::TempDir m_dir;
};

TEST_F(EngineFiles, PatternNamesCarryTheirNumber) {
  EXPECT_EQ("ksv$pat. 42", patternFileName(PatternKind::kVirus, 42));
  EXPECT_EQ("ksv$pat.5763", patternFileName(PatternKind::kVirus, 5763));
  EXPECT_EQ("cldx$agt.042", patternFileName(PatternKind::kCloudsift, 42));
  EXPECT_EQ("qxwhite.123", patternFileName(PatternKind::kLureboxException, 123));
  const PatternBase& virus = *findPatternBase("");
  EXPECT_EQ(42, patternNumberOfName(virus, "ksv$pat. 42"));
  EXPECT_EQ(42, patternNumberOfName(virus, "ksv$pat.042"));
  EXPECT_EQ(0, patternNumberOfName(virus, "ksv$pat.  0"));
  EXPECT_EQ(-1, patternNumberOfName(virus, "ksv$pat.42.part"));
  EXPECT_EQ(-1, patternNumberOfName(virus, "ksv$pat.65536"));
  EXPECT_EQ(-1, patternNumberOfName(virus, "ksv$pat.   "));
  EXPECT_EQ(-1, patternNumberOfName(virus, "spyxdb.42"));
  EXPECT_EQ(virus.kind, findPatternBase(nullptr)->kind);
  EXPECT_EQ(PatternKind::kSpyware, findPatternBase("spyxdb")->kind);
  EXPECT_EQ(PatternKind::kSpyware, findPatternBase("spyxdb.")->kind);
  EXPECT_EQ(nullptr, findPatternBase("spyxdb.."));
}

// What the adapters' tests do not reach: damage that only the header checksum sees, a file too
// long, numbers of 0 in the name, names of another base, and a payload check left out.
TEST_F(EngineFiles, DamageBeyondWhatTheAdaptersSee) {
  PatternInfo info;
  const std::string sound = pattern(PatternKind::kLurebox, 576300, 5763, 200000);
  ASSERT_EQ(FileCheck::kOk, checkPatternFile(sound, info, true));
  EXPECT_EQ(576300u, info.internalVersion);
  EXPECT_EQ(200000u, info.payloadSize);
  EXPECT_FALSE(fs::exists(sound + ".part"));

  const std::string longer = pattern(PatternKind::kVirus, 576400, 5764);
  fs::resize_file(longer, fs::file_size(longer) + 1);
  EXPECT_EQ(FileCheck::kTruncated, check(longer));
  fs::resize_file(longer, 0);
  EXPECT_EQ(FileCheck::kTruncated, check(longer));

  const std::string header = pattern(PatternKind::kVirus, 576600, 5766);
  flipByte(header, 9);  // the internal version, under the header checksum
  EXPECT_EQ(FileCheck::kBadHeader, check(header));

  const std::string payload = pattern(PatternKind::kVirus, 576700, 5767);
  flipByte(payload, 4000);
  EXPECT_EQ(FileCheck::kBadChecksum, check(payload));
  EXPECT_EQ(FileCheck::kOk, check(payload, false));

  EXPECT_EQ(FileCheck::kZeroVersion, check(pattern(PatternKind::kVirus, 576900, 0)));
  const std::string renamed = m_dir / "spyxdb.5770";
  fs::rename(pattern(PatternKind::kVirus, 577000, 5770), renamed);
  EXPECT_EQ(FileCheck::kNameMismatch, check(renamed));
  EXPECT_EQ(FileCheck::kNameMismatch, check(m_dir / "readme.txt"));
}

TEST_F(EngineFiles, RuleSetsAreWholeOrNothing) {
  const std::string rules = m_dir.path();
  EXPECT_FALSE(newestRuleSet(rules).found);

  ASSERT_EQ(FileCheck::kOk, writeRuleSet(rules, 17460, 0, 300));
  ASSERT_EQ(FileCheck::kOk, writeRuleSet(rules, 17461, 3, 300));
  RuleSetState state = newestRuleSet(rules);
  EXPECT_TRUE(state.found);
  EXPECT_EQ(17461u, state.base);
  EXPECT_EQ(17461003u, state.ruleVersion);
  EXPECT_EQ(8u, state.fileCount);
  EXPECT_EQ((std::vector<unsigned>{17461, 17460}), ruleBases(rules));

  flipByte(rules + "/qx017461-002.rul", 100);
  state = newestRuleSet(rules);
  EXPECT_TRUE(state.found);
  EXPECT_EQ(0u, state.base);
  EXPECT_EQ(0u, state.ruleVersion);
  EXPECT_EQ(FileCheck::kBadChecksum, state.check);

  // A newer base without its siblings hides the older sound set: the newest is what was delivered.
  ASSERT_EQ(FileCheck::kOk, writeRuleFile(rules, RuleKind::kBase, 17462, 0, 300));
  state = newestRuleSet(rules);
  EXPECT_TRUE(state.found);
  EXPECT_EQ(0u, state.base);
  EXPECT_EQ(FileCheck::kMissing, state.check);
  EXPECT_EQ(FileCheck::kOk, ruleSetState(rules, 17460).check);

  RuleName name{};
  EXPECT_TRUE(parseRuleFileName("qx017461-005.rul", name));
  EXPECT_EQ(RuleKind::kIncremental, name.kind);
  EXPECT_EQ(5u, name.incremental);
  EXPECT_FALSE(parseRuleFileName("qx017461-000.rul", name));
  EXPECT_FALSE(parseRuleFileName("qx17461.rul", name));
  EXPECT_FALSE(parseRuleFileName("qx017461.txt", name));
  EXPECT_EQ(FileCheck::kBadArgument, writeRuleFile(rules, RuleKind::kIncremental, 17461, 0, 1));
}

TEST_F(EngineFiles, ToolMakesAndChecksFiles) {
  const std::string tool = ORVEL_KFPATTERN;
  const std::string out = " --out '" + m_dir.path() + "'";
  ASSERT_EQ(0, std::system(
                   (tool + " pattern cloudsift 12345 --size 70000" + out + " >/dev/null").c_str()));
  ASSERT_EQ(0,
            std::system(
                (tool + " rules 17461 --incrementals 2 --size 10" + out + " >/dev/null").c_str()));
  PatternInfo info;
  ASSERT_EQ(FileCheck::kOk, checkPatternFile(m_dir / "cldx$agt.123", info, true));
  EXPECT_EQ(12345u, info.internalVersion);
  EXPECT_EQ(70000u, info.payloadSize);
  EXPECT_EQ(17461002u, newestRuleSet(m_dir.path()).ruleVersion);

  const std::string checkFiles = tool + " check '" + (m_dir / "cldx$agt.123") + "' '" +
                                 (m_dir / "qx017461.exp") + "' >/dev/null";
  EXPECT_EQ(0, std::system(checkFiles.c_str()));
  flipByte(m_dir / "qx017461.exp", 40);
  EXPECT_NE(0, std::system(checkFiles.c_str()));
  EXPECT_NE(0, std::system((tool + " pattern virus 99999999" + out + " 2>/dev/null").c_str()));
  EXPECT_NE(0, std::system((tool + " pattern worm 100" + out + " 2>/dev/null").c_str()));
}
