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
  std::string moved(const std::string& name) {
    return line("move file succeed, src=" + m_patterns + "/" + name + ", dst=" + m_moveTo + "/" +
                name);
  }
  Lines opening(int type, const std::string& version, const std::string& engine) {
    return {line("enginepath = " + engine + ", patternpath = " + m_patterns +
                 ", type = " + std::to_string(type) + ", version = " + version),
            "<3> QxUpdate::removeNewerZIRANPtn load engine = " + engine + "\\ziran32.dll"};
  }

  std::string m_patterns;
  std::string m_moveTo;
  std::string m_msg;
};

TEST_F(RemoveNewerZiran, NewerPatternsOfTheTypeAreMovedAtMostTenOfThem) {
  LoadCounter counter;
  writePatterns(m_patterns, PatternKind::kVirus, {576300, 576500, 576700});
  writePatterns(m_patterns, PatternKind::kSpyware, {576900});
  ASSERT_TRUE(remove(engines("v1"), VIRUS_PATTERN, "5.763.00")) << m_msg;
  Lines expected = opening(VIRUS_PATTERN, "5.763.00", engines("v1"));
  for (const std::string& more :
       {line("get local pattern version 5.767.00"), moved("ksv$pat.5767"),
        line("get local pattern version 5.765.00"), moved("ksv$pat.5765"),
        line("get local pattern version 5.763.00"), line("Successfully rollback 2 pattern files")})
    expected.push_back(more);
  EXPECT_EQ(expected, logLines());
  EXPECT_EQ((Lines{"ksv$pat.5763", "spyxdb.5769"}), filesIn(m_patterns));
  EXPECT_EQ((Lines{"ksv$pat.5765", "ksv$pat.5767"}), filesIn(m_moveTo));
  EXPECT_EQ("", m_msg);
  EXPECT_ALL_RELEASED(counter, 1u);

  std::vector<std::uint32_t> versions;
  for (std::uint32_t n = 101; n <= 112; ++n) versions.push_back(n * 100);
  writePatterns(m_patterns, PatternKind::kCloudsift, versions);
  ASSERT_TRUE(remove(engines("v2"), CLOUDSIFT_AGENT_PATTERN, "0.101.00")) << m_msg;
  const Lines lines = logLines();
  EXPECT_EQ(line("find 12 backup patterns"), lines.at(2));
  EXPECT_EQ(line("Successfully rollback 10 pattern files"), lines.back());
  // The list is newest first: the two oldest were never looked at, though one is newer.
  EXPECT_EQ((Lines{"cldx$agt.101", "cldx$agt.102", "ksv$pat.5763", "spyxdb.5769"}),
            filesIn(m_patterns));
  EXPECT_EQ(12u, filesIn(m_moveTo).size());
}

TEST_F(RemoveNewerZiran, OneBadFileDoesNotStopTheOthersButNowhereToMoveToFails) {
  writePatterns(m_patterns, PatternKind::kLurebox, {100000, 110000, 120000});
  flipByte(m_patterns + "/qxblack.1100", 200);
  OrvelTest::writeFile(m_moveTo + "/qxblack.1200", "an older copy");
  m_msg = "A. ";
  ASSERT_TRUE(remove(engines("v1"), LUREBOX_PATTERN, "1.000.00"));
  EXPECT_EQ(std::string("A. ") + kPatternReadErr, m_msg);
  EXPECT_EQ((Lines{"qxblack.1000", "qxblack.1100"}), filesIn(m_patterns));
  EXPECT_NE("an older copy", OrvelTest::readFile(m_moveTo + "/qxblack.1200"));
  fs::remove_all(m_moveTo);
  writePatterns(m_patterns, PatternKind::kLurebox, {130000});
  logLines();
  EXPECT_FALSE(remove(engines("v1"), LUREBOX_PATTERN, "1.200.00"));
  const Lines lines = logLines();
  EXPECT_EQ(line("move file failed, src=" + m_patterns + "/qxblack.1300, dst=" + m_moveTo +
                 "/qxblack.1300, errno=2"),
            lines.at(3));
  EXPECT_EQ(line("get local pattern version 1.000.00"), lines.back());  // no success line
  EXPECT_TRUE(fs::exists(m_patterns + "/qxblack.1300"));
}

TEST_F(RemoveNewerZiran, RefusedBeforeOrByTheEngine) {
  LoadCounter counter;
  EXPECT_FALSE(remove(engines("v1"), SCAN_ENGINE, "9.500.1001"));
  EXPECT_FALSE(remove(engines("v1"), QXASE_ENGINE, "7.2.1050"));
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
    EXPECT_FALSE(remove(engine, SPYWARE_PATTERN, "1.000.00")) << engine;
    EXPECT_EQ(kVerifyErr, m_msg);
    Lines expected = opening(SPYWARE_PATTERN, "1.000.00", engine);
    expected.push_back(std::string("<1> QxUpdate::_getErrString ") + kVerifyErr + systemText);
    EXPECT_EQ(expected, logLines());
  }
  EXPECT_ALL_RELEASED(counter, 3u);
  std::string patterns = m_patterns, engine = engines("v1"), empty;
  EXPECT_FALSE(QxUpdate::removeNewerZIRANPtn(engine.data(), patterns.data(), nullptr, VIRUS_PATTERN,
                                             "1.0.0", m_msg, &m_bundle));
  EXPECT_FALSE(QxUpdate::removeNewerZIRANPtn(engine.data(), patterns.data(), empty.data(),
                                             VIRUS_PATTERN, "1.0.0", m_msg, &m_bundle));
}
