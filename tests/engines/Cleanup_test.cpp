// The clean-up of the download folders: the installed engines keep the newest patterns and rule
// sets and delete the older ones.
#include <gtest/gtest.h>

#include <filesystem>
#include <sstream>

#include "EngineTestSupport.h"
#include "ProductHome.h"

namespace fs = std::filesystem;
using namespace OrvelEngineTest;
using OrvelEngines::FileCheck;
using OrvelEngines::PatternKind;
using Lines = std::vector<std::string>;

class QxUpdateEnginesTestAccess {
 public:
  static int ziranCleanup(QxUpdate& update, int keep) {
    return update._doZIRANPatternCleanup(keep);
  }
  static int qxaseCleanup(QxUpdate& update, int keep) {
    return update._doQXASEPatternCleanup(keep);
  }
};
using A = QxUpdateEnginesTestAccess;

// The clean-up never touches the central database: one backend is enough.
class QxUpdateCleanup : public OrvelTest::SqliteHomeTest {
 protected:
  void SetUp() override {
    SqliteHomeTest::SetUp();
    if (IsSkipped() || HasFatalFailure()) return;
    m_ziran = *home / "temp/kf/ziran";
    m_rules = *home / "temp/kf/qxase/rules";
    fs::create_directories(m_ziran);
    fs::create_directories(m_rules);
  }
  void install(const std::string& folder, const char* engine) {
    fs::copy_file(folder + "/" + engine, *home / (std::string("bin/") + engine),
                  fs::copy_options::overwrite_existing);
  }
  // The home's log lines that name the operation, without time, process and source line.
  Lines linesOf(const std::string& operation) {
    Lines lines;
    std::istringstream in(home->log());
    for (std::string line; std::getline(in, line);) {
      if (line.find(operation) == std::string::npos) continue;
      std::string text = line.substr(line.find("] <") + 2);
      lines.push_back(OrvelEngineTest::withoutSourceLine(text));
    }
    return lines;
  }

  std::string m_ziran;
  std::string m_rules;
};

TEST_F(QxUpdateCleanup, ZiranKeepsTheNewestOfEachKind) {
  install(engines("v1"), "ziran32.dll");
  writePatterns(m_ziran, PatternKind::kVirus, {100000, 100100, 100200, 100300, 100400});
  writePatterns(m_ziran, PatternKind::kSpyware, {200000, 200100});
  writePatterns(m_ziran, PatternKind::kLureboxException, {300000, 300100, 300200, 300300, 300400});
  flipByte(m_ziran + "/qxwhite.3004",
           100);  // damaged newest: kept, and not counted among the three
  writePatterns(m_ziran, PatternKind::kCloudsift, {40000, 40100, 40200, 40300});
  QxUpdate update;
  LoadCounter counter;
  EXPECT_EQ(4, A::ziranCleanup(update, 3));
  EXPECT_EQ((Lines{"cldx$agt.401", "cldx$agt.402", "cldx$agt.403", "ksv$pat.1002", "ksv$pat.1003",
                   "ksv$pat.1004", "qxwhite.3001", "qxwhite.3002", "qxwhite.3003", "qxwhite.3004",
                   "spyxdb.2000", "spyxdb.2001"}),
            filesIn(m_ziran));
  EXPECT_ALL_RELEASED(counter, 1u);
  EXPECT_EQ((Lines{"<3> QxUpdate [QxUpdateRollback.cpp]: enter function _doZIRANPatternCleanup",
                   "<3> QxUpdate [QxUpdateRollback.cpp]: leave function _doZIRANPatternCleanup"}),
            linesOf("_doZIRANPatternCleanup"));
  EXPECT_EQ(0, A::ziranCleanup(update, 3));
}

TEST_F(QxUpdateCleanup, QxaseKeepsTheNewestSoundSets) {
  install(engines("v2"), "qxaseng.dll");
  for (unsigned base : {17458u, 17459u, 17460u})
    ASSERT_EQ(FileCheck::kOk, OrvelEngines::writeRuleSet(m_rules, base, 1, 32));
  ASSERT_EQ(FileCheck::kOk, OrvelEngines::writeRuleSet(m_rules, 17461, 3, 32));
  // A newer base still arriving is neither kept in the count nor removed.
  ASSERT_EQ(FileCheck::kOk,
            OrvelEngines::writeRuleFile(m_rules, OrvelEngines::RuleKind::kBase, 17462, 0, 32));
  QxUpdate update;
  LoadCounter counter;
  EXPECT_EQ(12, A::qxaseCleanup(update, 2));
  EXPECT_EQ((Lines{"qx017460-001.rul", "qx017460.exp", "qx017460.hsh", "qx017460.phi",
                   "qx017460.rul", "qx017460.sig", "qx017461-001.rul", "qx017461-002.rul",
                   "qx017461-003.rul", "qx017461.exp", "qx017461.hsh", "qx017461.phi",
                   "qx017461.rul", "qx017461.sig", "qx017462.rul"}),
            filesIn(m_rules));
  EXPECT_EQ(
      (Lines{
          "<3> QxUpdate [QxUpdateRollback.cpp]: enter function _doQXASEPatternCleanup",
          "<3> QxUpdate [QxUpdateRollback.cpp]: leave function _doQXASEPatternCleanup retcode=12"}),
      linesOf("_doQXASEPatternCleanup"));
  EXPECT_ALL_RELEASED(counter, 1u);
}

// No engine is an error; an engine that cannot clean up is not.
TEST_F(QxUpdateCleanup, WithoutEngineOrExport) {
  writePatterns(m_ziran, PatternKind::kVirus, {100000, 100100, 100200});
  ASSERT_EQ(FileCheck::kOk, OrvelEngines::writeRuleSet(m_rules, 17460, 0, 32));
  ASSERT_EQ(FileCheck::kOk, OrvelEngines::writeRuleSet(m_rules, 17461, 0, 32));
  QxUpdate update;
  LoadCounter counter;
  EXPECT_EQ(-1, A::ziranCleanup(update, 1));
  EXPECT_EQ(-1, A::qxaseCleanup(update, 1));
  EXPECT_EQ((Lines{"<3> QxUpdate [QxUpdateRollback.cpp]: enter function _doZIRANPatternCleanup",
                   "<1> QxKCUpdate::_doZIRANPatternCleanup load engine " + home->path() +
                       "\\bin\\ziran32.dll failed"}),
            linesOf("_doZIRANPatternCleanup"));
  EXPECT_EQ("<1> QxKCUpdate::_doQXASEPatternCleanup load engine " + home->path() +
                "\\bin\\qxaseng.dll failed",
            linesOf("_doQXASEPatternCleanup").back());

  install(broken("ziran_without_delete"), "ziran32.dll");
  install(broken("qxase_without_purge"), "qxaseng.dll");
  EXPECT_EQ(0, A::ziranCleanup(update, 1));
  EXPECT_EQ(0, A::qxaseCleanup(update, 1));
  EXPECT_EQ(3u, filesIn(m_ziran).size());
  EXPECT_EQ(10u, filesIn(m_rules).size());
  EXPECT_ALL_RELEASED(counter, 2u);
}
