// verifyByZIRAN against the virus-scan and Dexa engines, sound and broken.
#include <gtest/gtest.h>

#include <filesystem>

#include "EngineTestSupport.h"
#include "OrvelKF/QxUpdate.h"

namespace fs = std::filesystem;
using namespace OrvelEngineTest;
using OrvelEngines::FileCheck;
using OrvelEngines::PatternKind;
using Lines = std::vector<std::string>;

class VerifyByZiran : public EngineTest {
 protected:
  bool verify(std::string engineFolder, std::string patternFolder, int type) {
    return QxUpdate::verifyByZIRAN(engineFolder.data(), patternFolder.data(),
                                   static_cast<QxUpdateType>(type), m_msg, m_version, &m_bundle);
  }
  // The start and load lines every verification writes.
  Lines opening(const std::string& engineFolder, const std::string& patternFolder, int type,
                const char* library = "\\ziran32.dll") {
    return {"<1> QxUpdate::verifyByZIRAN PatternCheck start. enginepath = " + engineFolder +
                ", patternpath = " + patternFolder + ", type = " + std::to_string(type),
            "<1> QxUpdate::verifyByZIRAN load engine = " + engineFolder + library};
  }
  static Lines plus(Lines lines, const std::string& more) {
    lines.push_back(more);
    return lines;
  }
  // "pattern number|internal version|version text"
  std::string version() const {
    return std::to_string(m_version.usPatternNumber) + "|" +
           std::to_string(m_version.uiInternalVersion) + "|" + m_version.strVersion;
  }

  std::string m_msg;
  QxUpdateVersion m_version{7, 7, "untouched"};
};

TEST_F(VerifyByZiran, EnginesReportTheirVersionsAndPatternsTheirNewest) {
  LoadCounter counter;
  const std::string patterns = dir("ptn");
  const std::string ok = "<1> QxUpdate::verifyByZIRAN: the downloaded engine/pattern verified OK";
  ASSERT_TRUE(verify(engines("v1"), patterns, SCAN_ENGINE));
  EXPECT_EQ("0|0|9.500.1001", version());
  EXPECT_EQ(plus(opening(engines("v1"), patterns, SCAN_ENGINE), ok), logLines());
  ASSERT_TRUE(verify(engines("v2"), patterns, DEXA_ENGINE));
  EXPECT_EQ("0|0|2.120.1100", version());
  EXPECT_EQ(plus(opening(engines("v2"), patterns, DEXA_ENGINE, "/dexa32.dll"), ok), logLines());
  const std::pair<int, PatternKind> kinds[] = {{VIRUS_PATTERN, PatternKind::kVirus},
                                               {SPYWARE_PATTERN, PatternKind::kSpyware},
                                               {LUREBOX_PATTERN, PatternKind::kLurebox},
                                               {LUREBOX_EXCEPTION, PatternKind::kLureboxException},
                                               {CLOUDSIFT_AGENT_PATTERN, PatternKind::kCloudsift}};
  for (const auto& [type, kind] : kinds) {
    writePatterns(patterns, kind, {576300, 576700, 576500});
    ASSERT_TRUE(verify(engines("v2"), patterns, type)) << type << ": " << m_msg;
    EXPECT_EQ("5767|576700|5.767.00", version()) << type;
  }
  // Small numbers are padded with blanks; a damaged newest one gives way to the newest sound one.
  const std::string small = dir("small");
  writePatterns(small, PatternKind::kVirus, {4200, 4300});
  flipByte(small + "/ksv$pat. 43", 600);
  ASSERT_TRUE(verify(engines("v1"), small, VIRUS_PATTERN)) << m_msg;
  EXPECT_EQ("42|4200|42.00", version());
  EXPECT_EQ("", m_msg);
  EXPECT_ALL_RELEASED(counter, 8u);
}

// Which damage the engine finds is its own business: the adapter reports the engine's reason.
TEST_F(VerifyByZiran, DamagedOrMissingPatternsAreRefusedWithTheEnginesReason) {
  for (const bool truncated : {true, false}) {
    LoadCounter counter;
    const std::string patterns = dir(truncated ? "truncated" : "missing");
    writePatterns(patterns, PatternKind::kVirus, {576300});
    const std::string file = patterns + "/ksv$pat.5763";
    truncated ? fs::resize_file(file, fs::file_size(file) - 10) : (void)fs::remove(file);
    const int reason = static_cast<int>(truncated ? FileCheck::kTruncated : FileCheck::kMissing);
    m_msg = "earlier text. ";
    logLines();
    EXPECT_FALSE(verify(engines("v1"), patterns, VIRUS_PATTERN));
    EXPECT_EQ(std::string("earlier text. ") + kPatternReadErr, m_msg);
    EXPECT_EQ("0|0|", version());
    EXPECT_EQ(plus(plus(opening(engines("v1"), patterns, VIRUS_PATTERN),
                        "<1> QxUpdate::verifyByZIRAN: the downloaded pattern " + patterns +
                            " ksv$pat. verify result=-" + std::to_string(reason)),
                   std::string("<1> QxUpdate::_getErrString ") + kPatternReadErr),
              logLines());
    EXPECT_ALL_RELEASED(counter, 1u);
  }
}

TEST_F(VerifyByZiran, EnginesThatCannotServeAndArgumentsRefusedBeforeAnyLoad) {
  const std::string patterns = dir("ptn");
  writePatterns(patterns, PatternKind::kVirus, {576300});
  const std::pair<std::string, std::string> refusing[] = {
      {dir("no-engine-here"), "No such file or directory"},
      {broken("not_a_library"), "Exec format error"},
      {broken("ziran_without_internal_version"), "Function not implemented"},
      {broken("ziran_init_refused"), ""}};
  LoadCounter counter;
  for (const auto& [folder, systemText] : refusing) {
    m_msg.clear();
    EXPECT_FALSE(verify(folder, patterns, VIRUS_PATTERN)) << folder;
    EXPECT_EQ(kVerifyErr, m_msg) << folder;
    EXPECT_EQ(plus(opening(folder, patterns, VIRUS_PATTERN),
                   std::string("<1> QxUpdate::_getErrString ") + kVerifyErr + systemText),
              logLines());
  }
  m_msg.clear();
  EXPECT_FALSE(verify(broken("ziran_version_refused"), patterns, SCAN_ENGINE));
  EXPECT_EQ("The virus scan engine could not be initialized.", m_msg);
  EXPECT_ALL_RELEASED(counter, 3u);

  m_version = {7, 7, "untouched"};
  logLines();
  EXPECT_FALSE(verify(engines("v1"), patterns, QXASE_ENGINE));
  EXPECT_EQ(opening(engines("v1"), patterns, QXASE_ENGINE)[0], logLines()[0]);
  EXPECT_FALSE(verify(engines("v1"), patterns, QXUFE_ENGINE));
  EXPECT_EQ("<1> QxUpdate::verifyByZIRAN type = 8 not ZIRAN PTN ENG", logLines()[1]);
  EXPECT_FALSE(QxUpdate::verifyByZIRAN(nullptr, nullptr, SCAN_ENGINE, m_msg, m_version, &m_bundle));
  EXPECT_EQ((Lines{"<1> QxUpdate::verifyByZIRAN PatternCheck start. enginepath = (null), "
                   "patternpath = (null), type = 0"}),
            logLines());
  EXPECT_FALSE(verify(engines("v1"), "", SCAN_ENGINE));
  EXPECT_FALSE(verify("", patterns, SCAN_ENGINE));
  EXPECT_EQ("7|7|untouched", version());
  EXPECT_ALL_RELEASED(counter, 3u);
}
