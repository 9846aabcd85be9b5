// removeNewerZIRANPtn: pattern files newer than a version leave the pattern folder.
#include <gtest/gtest.h>

#include <filesystem>

#include "EngineTestSupport.h"
#include "OrvelKF/QxUpdate.h"

namespace fs = std::filesystem;
using namespace OrvelEngineTest;
using OrvelEngines::PatternKind;
using Lines = std::vector<std::string>;

class RemoveNewerZiran : public EngineTest {
 protected:
  void SetUp() override {
    EngineTest::SetUp();
    m_patterns = dir("pattern");
    m_moveTo = dir("backup");
  }
  bool remove(std::string engine, int type, const std::string& version) {
    std::string patterns = m_patterns, moveTo = m_moveTo;
    return QxUpdate::removeNewerZIRANPtn(engine.data(), patterns.data(), moveTo.data(),
                                         static_cast<QxUpdateType>(type), version, m_msg,
                                         &m_bundle);
  }
  std::string line(const std::string& text) { return "<1> QxUpdate::removeNewerZIRANPtn " + text; }
  std::string movedLine(const std::string& name) {
    return line("move file succeed, src=" + m_patterns + "/" + name + ", dst=" + m_moveTo + "/" +
                name);
  }
  Lines opening(int type, const std::string& version, const std::string& engine = engines("v1")) {
    return {line("enginepath = " + engine + ", patternpath = " + m_patterns +
                 ", type = " + std::to_string(type) + ", version = " + version),
            "<3> QxUpdate::removeNewerZIRANPtn load engine = " + engine + "\\ziran32.dll"};
  }

  std::string m_patterns;
  std::string m_moveTo;
  std::string m_msg;
};

TEST_F(RemoveNewerZiran, NewerPatternsOfTheTypeAreMoved) {
  LoadCounter counter;
  writePatterns(m_patterns, PatternKind::kVirus, {576300, 576500, 576700});
  writePatterns(m_patterns, PatternKind::kSpyware, {576900});
  ASSERT_TRUE(remove(engines("v1"), VIRUS_PATTERN, "5.763.00")) << m_msg;
  Lines expected = opening(VIRUS_PATTERN, "5.763.00");
  for (const Lines& more :
       {Lines{line("get local pattern version 5.767.00"), movedLine("ksv$pat.5767"),
              line("get local pattern version 5.765.00"), movedLine("ksv$pat.5765"),
              line("get local pattern version 5.763.00"),
              line("Successfully rollback 2 pattern files")}})
    expected.insert(expected.end(), more.begin(), more.end());
  EXPECT_EQ(expected, logLines());
  EXPECT_EQ((Lines{"ksv$pat.5763", "spyxdb.5769"}), filesIn(m_patterns));
  EXPECT_EQ((Lines{"ksv$pat.5765", "ksv$pat.5767"}), filesIn(m_moveTo));
  EXPECT_EQ("", m_msg);
  EXPECT_ALL_RELEASED(counter, 1u);
}

TEST_F(RemoveNewerZiran, AtMostTenOfMoreThanTenAreHandled) {
  std::vector<std::uint32_t> versions;
  for (std::uint32_t n = 101; n <= 112; ++n) versions.push_back(n * 100);
  writePatterns(m_patterns, PatternKind::kCloudsift, versions);
  ASSERT_TRUE(remove(engines("v2"), CLOUDSIFT_AGENT_PATTERN, "0.101.00")) << m_msg;
  const Lines lines = logLines();
  ASSERT_GE(lines.size(), 3u);
  EXPECT_EQ(line("find 12 backup patterns"), lines[2]);
  EXPECT_EQ(line("Successfully rollback 10 pattern files"), lines.back());
  // The list is newest first: the two oldest were never looked at, though one is newer.
  EXPECT_EQ((Lines{"cldx$agt.101", "cldx$agt.102"}), filesIn(m_patterns));
  EXPECT_EQ(10u, filesIn(m_moveTo).size());
}

TEST_F(RemoveNewerZiran, OneBadFileDoesNotStopTheOthers) {
  writePatterns(m_patterns, PatternKind::kLurebox, {100000, 110000, 120000});
  flipByte(m_patterns + "/qxblack.1100", 200);
  OrvelTest::writeFile(m_moveTo + "/qxblack.1200", "an older copy");
  m_msg = "A. ";
  ASSERT_TRUE(remove(engines("v1"), LUREBOX_PATTERN, "1.000.00"));
  EXPECT_EQ(std::string("A. ") + kPatternReadErr, m_msg);
  EXPECT_EQ((Lines{"qxblack.1000", "qxblack.1100"}), filesIn(m_patterns));
  EXPECT_EQ((Lines{"qxblack.1200"}), filesIn(m_moveTo));
  EXPECT_NE("an older copy", OrvelTest::readFile(m_moveTo + "/qxblack.1200"));

  // Nowhere to move to: the result says so, the file stays.
  fs::remove_all(m_moveTo);
  writePatterns(m_patterns, PatternKind::kLurebox, {130000});
  logLines();
  EXPECT_FALSE(remove(engines("v1"), LUREBOX_PATTERN, "1.200.00"));
  const Lines lines = logLines();
  EXPECT_EQ(line("move file failed, src=" + m_patterns + "/qxblack.1300, dst=" + m_moveTo +
                 "/qxblack.1300, errno=2"),
            lines[3]);
  EXPECT_EQ(line("get local pattern version 1.000.00"), lines.back());  // no success line
  EXPECT_TRUE(fs::exists(m_patterns + "/qxblack.1300"));
}

TEST_F(RemoveNewerZiran, RefusedBeforeOrByTheEngine) {
  LoadCounter counter;
  EXPECT_FALSE(remove(engines("v1"), SCAN_ENGINE, "9.500.1001"));
  EXPECT_FALSE(remove(engines("v1"), QXASE_ENGINE, "7.2.1050"));
  EXPECT_EQ(2u, logLines().size());  // the opening line only
  EXPECT_ALL_RELEASED(counter, 0u);

  struct Case {
    std::string engine;
    unsigned long loads;
    std::string systemText;
  };
  // An empty folder, an engine without the list, an engine that will not start, no engine at all.
  for (const Case& c : {Case{engines("v1"), 1, ""},
                        Case{broken("ziran_without_pattern_list"), 1, "Function not implemented"},
                        Case{broken("ziran_init_refused"), 1, ""},
                        Case{broken("not_a_library"), 0, "Exec format error"}}) {
    LoadCounter each;
    m_msg.clear();
    EXPECT_FALSE(remove(c.engine, SPYWARE_PATTERN, "1.000.00")) << c.engine;
    EXPECT_EQ(kVerifyErr, m_msg);
    Lines expected = opening(SPYWARE_PATTERN, "1.000.00", c.engine);
    expected.push_back(std::string("<1> QxUpdate::_getErrString ") + kVerifyErr + c.systemText);
    EXPECT_EQ(expected, logLines());
    EXPECT_ALL_RELEASED(each, c.loads);
  }

  std::string patterns = m_patterns, engine = engines("v1"), empty;
  EXPECT_FALSE(QxUpdate::removeNewerZIRANPtn(engine.data(), patterns.data(), nullptr, VIRUS_PATTERN,
                                             "1.0.0", m_msg, &m_bundle));
  EXPECT_FALSE(QxUpdate::removeNewerZIRANPtn(engine.data(), patterns.data(), empty.data(),
                                             VIRUS_PATTERN, "1.0.0", m_msg, &m_bundle));
}
