// verifyByZIRAN against the virus-scan and Dexa engines, sound and broken.
#include <gtest/gtest.h>

#include <filesystem>
#include <functional>

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
  std::string startLine(const std::string& engineFolder, const std::string& patternFolder,
                        int type) {
    return "<1> QxUpdate::verifyByZIRAN PatternCheck start. enginepath = " + engineFolder +
           ", patternpath = " + patternFolder + ", type = " + std::to_string(type);
  }
  // The pattern folder's verify-result line for the virus pattern.
  std::string resultLine(const std::string& folder, int result) {
    return "<1> QxUpdate::verifyByZIRAN: the downloaded pattern " + folder +
           " ksv$pat. verify result=" + std::to_string(result);
  }

  std::string m_msg;
  QxUpdateVersion m_version{7, 7, "untouched"};
};

TEST_F(VerifyByZiran, EnginesReportTheirCompiledVersions) {
  LoadCounter counter;
  const std::string patterns = dir("ptn");
  struct Case {
    const char* build;
    int type;
    const char* library;
    const char* version;
  };
  for (const Case& c : {Case{"v1", SCAN_ENGINE, "\\ziran32.dll", "9.500.1001"},
                        Case{"v2", DEXA_ENGINE, "/dexa32.dll", "2.120.1100"}}) {
    m_version = {7, 7, "untouched"};
    ASSERT_TRUE(verify(engines(c.build), patterns, c.type)) << c.build << " " << c.type;
    EXPECT_EQ(c.version, m_version.strVersion);
    EXPECT_EQ(0, m_version.usPatternNumber);
    EXPECT_EQ(0u, m_version.uiInternalVersion);
    EXPECT_EQ((Lines{startLine(engines(c.build), patterns, c.type),
                     "<1> QxUpdate::verifyByZIRAN load engine = " + engines(c.build) + c.library,
                     "<1> QxUpdate::verifyByZIRAN: the downloaded engine/pattern verified OK"}),
              logLines());
  }
  EXPECT_EQ("", m_msg);
  EXPECT_ALL_RELEASED(counter, 2u);
}

TEST_F(VerifyByZiran, NewestPatternOfEachKind) {
  LoadCounter counter;
  const std::string patterns = dir("ptn");
  struct Case {
    int type;
    PatternKind kind;
  };
  for (const Case& c :
       {Case{VIRUS_PATTERN, PatternKind::kVirus}, Case{SPYWARE_PATTERN, PatternKind::kSpyware},
        Case{LUREBOX_PATTERN, PatternKind::kLurebox},
        Case{LUREBOX_EXCEPTION, PatternKind::kLureboxException},
        Case{CLOUDSIFT_AGENT_PATTERN, PatternKind::kCloudsift}}) {
    writePatterns(patterns, c.kind, {576300, 576700, 576500});
    ASSERT_TRUE(verify(engines("v2"), patterns, c.type)) << c.type << ": " << m_msg;
    EXPECT_EQ(5767, m_version.usPatternNumber);
    EXPECT_EQ(576700u, m_version.uiInternalVersion);
    EXPECT_EQ("5.767.00", m_version.strVersion);
  }
  EXPECT_EQ("", m_msg);
  EXPECT_ALL_RELEASED(counter, 5u);
  // Small numbers are padded with blanks; a damaged newest one gives way to the newest sound one.
  const std::string small = dir("small");
  writePatterns(small, PatternKind::kVirus, {4200, 4300});
  flipByte(small + "/ksv$pat. 43", 600);
  ASSERT_TRUE(verify(engines("v1"), small, VIRUS_PATTERN)) << m_msg;
  EXPECT_EQ(42, m_version.usPatternNumber);
  EXPECT_EQ(4200u, m_version.uiInternalVersion);
  EXPECT_EQ("42.00", m_version.strVersion);
}

TEST_F(VerifyByZiran, DamagedPatternsAreRefused) {
  struct Case {
    const char* what;
    std::function<void(const std::string&)> damage;
    FileCheck reason;
  };
  // Which damage the engine finds is its own business: the adapter reports the engine's reason.
  const std::vector<Case> cases = {
      {"truncated", [](const std::string& p) { fs::resize_file(p, fs::file_size(p) - 10); },
       FileCheck::kTruncated},
      {"empty folder", [](const std::string& p) { fs::remove(p); }, FileCheck::kMissing}};
  for (const Case& c : cases) {
    LoadCounter counter;
    const std::string patterns = dir(c.what);
    writePatterns(patterns, PatternKind::kVirus, {576300});
    c.damage(patterns + "/ksv$pat.5763");
    m_msg = "earlier text. ";
    logLines();
    EXPECT_FALSE(verify(engines("v1"), patterns, VIRUS_PATTERN)) << c.what;
    EXPECT_EQ(std::string("earlier text. ") + kPatternReadErr, m_msg) << c.what;
    EXPECT_EQ("", m_version.strVersion);
    EXPECT_EQ(0u, m_version.uiInternalVersion);
    EXPECT_EQ((Lines{startLine(engines("v1"), patterns, VIRUS_PATTERN),
                     "<1> QxUpdate::verifyByZIRAN load engine = " + engines("v1") + "\\ziran32.dll",
                     resultLine(patterns, -static_cast<int>(c.reason)),
                     std::string("<1> QxUpdate::_getErrString ") + kPatternReadErr}),
              logLines())
        << c.what;
    EXPECT_ALL_RELEASED(counter, 1u);
  }
}

TEST_F(VerifyByZiran, EnginesThatCannotServe) {
  const std::string patterns = dir("ptn");
  writePatterns(patterns, PatternKind::kVirus, {576300});
  const std::string verifyErr = std::string("<1> QxUpdate::_getErrString ") + kVerifyErr;
  struct Case {
    std::string folder;
    unsigned long loads;
    std::string systemText;
  };
  for (const Case& c :
       {Case{dir("no-engine-here"), 0, "No such file or directory"},
        Case{broken("not_a_library"), 0, "Exec format error"},
        Case{broken("ziran_without_internal_version"), 1, "Function not implemented"},
        Case{broken("ziran_init_refused"), 1, ""}}) {
    LoadCounter counter;
    m_msg.clear();
    logLines();
    EXPECT_FALSE(verify(c.folder, patterns, VIRUS_PATTERN)) << c.folder;
    EXPECT_EQ(kVerifyErr, m_msg) << c.folder;
    EXPECT_EQ((Lines{startLine(c.folder, patterns, VIRUS_PATTERN),
                     "<1> QxUpdate::verifyByZIRAN load engine = " + c.folder + "\\ziran32.dll",
                     verifyErr + c.systemText}),
              logLines());
    EXPECT_ALL_RELEASED(counter, c.loads);
  }

  LoadCounter counter;
  m_msg.clear();
  EXPECT_FALSE(verify(broken("ziran_version_refused"), patterns, SCAN_ENGINE));
  EXPECT_EQ("The virus scan engine could not be initialized.", m_msg);
  EXPECT_EQ("", m_version.strVersion);
  EXPECT_ALL_RELEASED(counter, 1u);
}

TEST_F(VerifyByZiran, ArgumentsRefusedBeforeAnyLoad) {
  LoadCounter counter;
  const std::string patterns = dir("ptn");
  EXPECT_FALSE(verify(engines("v1"), patterns, QXASE_ENGINE));
  EXPECT_FALSE(verify(engines("v1"), patterns, QXUFE_ENGINE));
  EXPECT_EQ((Lines{startLine(engines("v1"), patterns, QXASE_ENGINE),
                   "<1> QxUpdate::verifyByZIRAN type = 5 not ZIRAN PTN ENG",
                   startLine(engines("v1"), patterns, QXUFE_ENGINE),
                   "<1> QxUpdate::verifyByZIRAN type = 8 not ZIRAN PTN ENG"}),
            logLines());
  EXPECT_EQ(7, m_version.usPatternNumber);
  EXPECT_EQ("untouched", m_version.strVersion);

  EXPECT_FALSE(QxUpdate::verifyByZIRAN(nullptr, nullptr, SCAN_ENGINE, m_msg, m_version, &m_bundle));
  EXPECT_EQ((Lines{"<1> QxUpdate::verifyByZIRAN PatternCheck start. enginepath = (null), "
                   "patternpath = (null), type = 0"}),
            logLines());
  EXPECT_FALSE(verify(engines("v1"), "", SCAN_ENGINE));
  EXPECT_FALSE(verify("", patterns, SCAN_ENGINE));
  EXPECT_EQ("", m_msg);
  EXPECT_EQ("untouched", m_version.strVersion);
  EXPECT_ALL_RELEASED(counter, 0u);
}
