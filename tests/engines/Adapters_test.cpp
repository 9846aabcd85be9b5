// The adapters of the update object to the reference engines, sound and broken: verification
// (verifyByZIRAN, verifyByQXUFE, verifyQxaseEngine, verifyQxasePattern, buildQXASECache) and the
// removal of patterns and rule sets newer than a version (removeNewerZIRANPtn,
// removeNewerQXASEPtn).
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <algorithm>
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

std::string reason(const std::string& text, const std::string& systemText = "") {
  return "<1> QxUpdate::_getErrString " + text + systemText;
}
Lines plus(Lines lines, const Lines& more) {
  lines.insert(lines.end(), more.begin(), more.end());
  return lines;
}
std::string qxase(const std::string& folder) { return folder + "/qxaseng.dll"; }
void ruleSet(const std::string& folder, unsigned base, unsigned incrementals, std::size_t size) {
  ASSERT_EQ(FileCheck::kOk, OrvelEngines::writeRuleSet(folder, base, incrementals, size));
}
void baseRuleFile(const std::string& folder, unsigned base, std::size_t size) {
  ASSERT_EQ(FileCheck::kOk,
            OrvelEngines::writeRuleFile(folder, OrvelEngines::RuleKind::kBase, base, 0, size));
}

// Every library an adapter loads is released before it returns.
class AdapterTest : public EngineTest {
 protected:
  void TearDown() override {
    EXPECT_EQ(m_counter.loads(), m_counter.releases());
    EngineTest::TearDown();
  }
  LoadCounter m_counter;
};

class VerifyTest : public AdapterTest {
 protected:
  bool verify(std::string engineFolder, std::string patternFolder, int type) {
    return QxUpdate::verifyByZIRAN(engineFolder.data(), patternFolder.data(),
                                   static_cast<QxUpdateType>(type), m_msg, m_version, &m_bundle);
  }
  bool verifyQxufe(const std::string& folder) {
    return QxUpdate::verifyByQXUFE(folder, m_version, m_msg, &m_bundle);
  }
  bool verifyRules(const std::string& engine, const std::string& rules) {
    m_msg.clear();
    return QxUpdate::verifyQxasePattern(engine, rules, m_base, m_rule, m_msg, &m_bundle);
  }
  bool buildCache(const std::string& engine, const std::string& rules, const std::string& cache) {
    m_msg.clear();
    return QxUpdate::buildQXASECache(engine, rules, cache, m_msg, &m_bundle);
  }
  // The start and load lines every verification by ZIRAN writes.
  Lines opening(const std::string& engineFolder, const std::string& patternFolder, int type,
                const char* library = "\\ziran32.dll") {
    return {"<1> QxUpdate::verifyByZIRAN PatternCheck start. enginepath = " + engineFolder +
                ", patternpath = " + patternFolder + ", type = " + std::to_string(type),
            "<1> QxUpdate::verifyByZIRAN load engine = " + engineFolder + library};
  }
  std::string qxufeClosing(const char* result, const std::string& version, const char* msg) {
    return std::string("<3> QxUpdate::verifyByQXUFE: return=") + result + " version=" + version +
           " msg=" + msg;
  }
  // "pattern number|internal version|version text"
  std::string version() const {
    return std::to_string(m_version.usPatternNumber) + "|" +
           std::to_string(m_version.uiInternalVersion) + "|" + m_version.strVersion;
  }
  std::string ruleVersions() const { return std::to_string(m_base) + " " + std::to_string(m_rule); }

  std::string m_msg;
  QxUpdateVersion m_version{7, 7, "untouched"};
  unsigned m_base = 99;
  unsigned m_rule = 99;
};

TEST_F(VerifyTest, ZiranEnginesReportTheirVersionsAndPatternsTheirNewest) {
  const std::string patterns = dir("ptn");
  const std::string ok = "<1> QxUpdate::verifyByZIRAN: the downloaded engine/pattern verified OK";
  ASSERT_TRUE(verify(engines("v1"), patterns, SCAN_ENGINE));
  EXPECT_EQ("0|0|9.500.1001", version());
  EXPECT_EQ(plus(opening(engines("v1"), patterns, SCAN_ENGINE), {ok}), logLines());
  ASSERT_TRUE(verify(engines("v2"), patterns, DEXA_ENGINE));
  EXPECT_EQ("0|0|2.120.1100", version());
  EXPECT_EQ(plus(opening(engines("v2"), patterns, DEXA_ENGINE, "/dexa32.dll"), {ok}), logLines());
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
  EXPECT_EQ(8u, m_counter.loads());
}

// Which damage the engine finds is its own business: the adapter reports the engine's reason.
TEST_F(VerifyTest, ZiranRefusalsGiveTheEnginesReasonAndBadArgumentsLoadNothing) {
  const std::string patterns = dir("ptn"), truncated = dir("truncated");
  for (const std::string& folder : {patterns, truncated})
    writePatterns(folder, PatternKind::kVirus, {576300});
  fs::resize_file(truncated + "/ksv$pat.5763", fs::file_size(truncated + "/ksv$pat.5763") - 10);
  m_msg = "earlier text. ";
  EXPECT_FALSE(verify(engines("v1"), truncated, VIRUS_PATTERN));
  EXPECT_EQ(std::string("earlier text. ") + kPatternReadErr, m_msg);
  EXPECT_EQ("0|0|", version());
  EXPECT_EQ(plus(opening(engines("v1"), truncated, VIRUS_PATTERN),
                 {"<1> QxUpdate::verifyByZIRAN: the downloaded pattern " + truncated +
                      " ksv$pat. verify result=-" +
                      std::to_string(static_cast<int>(FileCheck::kTruncated)),
                  reason(kPatternReadErr)}),
            logLines());
  const std::pair<std::string, const char*> refusing[] = {
      {broken("not_a_library"), "Exec format error"},
      {broken("ziran_without_internal_version"), "Function not implemented"},
      {broken("ziran_init_refused"), ""}};
  for (const auto& [folder, systemText] : refusing) {
    m_msg.clear();
    EXPECT_FALSE(verify(folder, patterns, VIRUS_PATTERN)) << folder;
    EXPECT_EQ(kVerifyErr, m_msg) << folder;
    EXPECT_EQ(plus(opening(folder, patterns, VIRUS_PATTERN), {reason(kVerifyErr, systemText)}),
              logLines());
  }
  m_msg.clear();
  EXPECT_FALSE(verify(broken("ziran_version_refused"), patterns, SCAN_ENGINE));
  EXPECT_EQ("The virus scan engine could not be initialized.", m_msg);
  const unsigned long loads = m_counter.loads();
  m_version = {7, 7, "untouched"};
  logLines();
  EXPECT_FALSE(verify(engines("v1"), patterns, QXUFE_ENGINE));
  EXPECT_EQ("<1> QxUpdate::verifyByZIRAN type = 8 not ZIRAN PTN ENG", logLines().at(1));
  EXPECT_FALSE(QxUpdate::verifyByZIRAN(nullptr, nullptr, SCAN_ENGINE, m_msg, m_version, &m_bundle));
  EXPECT_EQ((Lines{"<1> QxUpdate::verifyByZIRAN PatternCheck start. enginepath = (null), "
                   "patternpath = (null), type = 0"}),
            logLines());
  EXPECT_FALSE(verify(engines("v1"), "", SCAN_ENGINE) || verify("", patterns, SCAN_ENGINE));
  EXPECT_EQ("7|7|untouched", version());
  EXPECT_EQ(loads, m_counter.loads());
}

TEST_F(VerifyTest, QxufeBuildsReportTheirVersionAndEachRefusalIsLoggedWithItsCode) {
  ASSERT_TRUE(verifyQxufe(engines("v1")));
  EXPECT_EQ((Lines{qxufeClosing("true", "3.100.1004", "")}), logLines());
  ASSERT_TRUE(verifyQxufe(engines("v2")));
  EXPECT_EQ("7|7|3.123.1200", version()) << "only the text is the engine's";
  EXPECT_EQ("", m_msg);
  m_version.strVersion = "untouched";
  const std::pair<const char*, const char*> refusals[] = {
      {"qxufe_init_refused", "initialize QXUFE engine failed: retcode=-21"},
      {"qxufe_version_refused", "get QXUFE engine version failed: retcode=-21"},
      {"qxufe_uninit_refused", "uninitialize QXUFE engine failed: retcode=-21"},
      {"qxufe_without_uninit", nullptr}};
  logLines();
  for (const auto& [variant, error] : refusals) {
    m_msg.clear();
    EXPECT_FALSE(verifyQxufe(broken(variant))) << variant;
    EXPECT_EQ(kVerifyErr, m_msg);
    Lines expected = {reason(kVerifyErr, error ? "" : "Function not implemented"),
                      qxufeClosing("false", "untouched", kVerifyErr)};
    if (error)
      expected.insert(expected.begin(),
                      "<1> QxUpdate::verifyByQXUFE: ERROR: " + std::string(error));
    EXPECT_EQ(expected, logLines());
  }
  // Nothing loaded, nothing more to say than the reason.
  m_msg = "A. ";
  EXPECT_FALSE(verifyQxufe(broken("not_a_library")));
  EXPECT_EQ(std::string("A. ") + kVerifyErr, m_msg);
  EXPECT_EQ((Lines{reason(kVerifyErr, "Exec format error")}), logLines());
  m_msg.clear();
  EXPECT_FALSE(verifyQxufe(""));
  EXPECT_EQ("", m_msg);
}

TEST_F(VerifyTest, QxaseEngineVersionsAreTheNumbersTheEngineGivesAndRulesTheirVersions) {
  std::string text = "untouched";
  const std::pair<std::string, const char*> sound[] = {
      {engines("v1"), "7.2.1050"},
      {engines("v2"), "7.3.1120"},
      {broken("qxase_version_result_refused"), "7.2.1050"}};  // not the result it gives with them
  for (const auto& [folder, version] : sound) {
    ASSERT_TRUE(QxUpdate::verifyQxaseEngine(qxase(folder), text, m_msg, &m_bundle)) << folder;
    EXPECT_EQ(version, text);
  }
  EXPECT_EQ("", m_msg);
  text = "untouched";
  for (const char* variant : {"qxase_version_zero", "qxase_without_version", "not_a_library"}) {
    m_msg.clear();
    EXPECT_FALSE(QxUpdate::verifyQxaseEngine(qxase(broken(variant)), text, m_msg, &m_bundle));
    EXPECT_EQ(kVerifyErr, m_msg) << variant;
  }
  EXPECT_EQ((Lines{reason(kVerifyErr), reason(kVerifyErr, "Function not implemented"),
                   reason(kVerifyErr, "Exec format error")}),
            logLines());
  EXPECT_FALSE(QxUpdate::verifyQxaseEngine("", text, m_msg, &m_bundle));
  EXPECT_EQ("untouched", text);

  const std::string rules = dir("rules"), alone = dir("alone");
  ruleSet(rules, 17460, 2, 200);
  ruleSet(rules, 17461, 5, 200);
  ASSERT_TRUE(verifyRules(qxase(engines("v1")), rules)) << m_msg;
  EXPECT_EQ("17461 17461005", ruleVersions());
  EXPECT_EQ(Lines{}, logLines());
  // The engine's call fails, or answers with a version the rule files do not make up.
  baseRuleFile(alone, 17461, 50);
  const std::pair<std::string, std::string> corrupt[] = {
      {dir("empty"), "L_QX_AS_getRuleFileVerInDirEx call failed"},
      {alone,
       "The integrety check detected the downloaded anti-spam pattern "
       "to be invalid."}};
  for (const auto& [folder, line] : corrupt) {
    EXPECT_FALSE(verifyRules(qxase(engines("v2")), folder)) << folder;
    EXPECT_EQ(kFileCorrupt, m_msg);
    EXPECT_EQ("0 0", ruleVersions()) << "the engine's";
    EXPECT_EQ((Lines{"<1> QxUpdate::verifyQxasePattern: " + line, reason(kFileCorrupt)}),
              logLines());
  }
  m_base = m_rule = 99;
  EXPECT_FALSE(verifyRules(qxase(broken("qxase_without_rule_version")), dir("empty")));
  EXPECT_EQ(kVerifyErr, m_msg);
  EXPECT_EQ(99u, m_base);
  EXPECT_FALSE(verifyRules(qxase(engines("v1")), "") || verifyRules("", dir("empty")));
}

TEST_F(VerifyTest, QxaseCacheIsBuiltFromTheNewestSetOrNotAtAll) {
  const std::string rules = dir("rules");
  ruleSet(rules, 17461, 2, 100);
  const std::string cache = m_scratch / "cache/deep";
  // Held here as well, the engine shows that the adapter undid its initialisation.
  void* held = ::dlopen(qxase(engines("v2")).c_str(), RTLD_NOW);
  ASSERT_NE(nullptr, held);
  ASSERT_TRUE(buildCache(qxase(engines("v2")), rules, cache)) << m_msg;
  EXPECT_GT(0, reinterpret_cast<int (*)()>(::dlsym(held, "QX_AS_uninitEngine"))());
  ::dlclose(held);
  const std::string index = OrvelTest::readFile(cache + "/qxase.cache");
  EXPECT_EQ(0u, index.find("QXASE-CACHE 1 17461 17461002\nqx017461.rul 132 "));
  EXPECT_EQ(8, std::count(index.begin(), index.end(), '\n'));
  EXPECT_EQ((Lines{"<3> QxUpdate::buildQXASECache: generate QXASE pattern "
                   "cache successful"}),
            logLines());

  const std::string buildErr = "Unable to build the anti-spam pattern cache.";
  const std::string failing[][3] = {{engines("v1"), dir("no-rules"), m_scratch / "cache1"},
                                    {broken("qxase_cache_refused"), rules, m_scratch / "cache1"},
                                    {engines("v1"), rules, ""}};
  for (const auto& f : failing) {
    EXPECT_FALSE(buildCache(qxase(f[0]), f[1], f[2])) << f[0] << " " << f[1] << " " << f[2];
    EXPECT_EQ(buildErr, m_msg);
    EXPECT_EQ((Lines{"<1> QxUpdate::buildQXASECache: Error: generate QXASE "
                     "pattern cache failed",
                     reason(buildErr)}),
              logLines());
  }
  EXPECT_FALSE(fs::exists(m_scratch / "cache1/qxase.cache"));
  EXPECT_FALSE(buildCache(qxase(broken("qxase_without_uninit")), rules, m_scratch / "cache3"));
  EXPECT_EQ(kVerifyErr, m_msg);
  EXPECT_EQ((Lines{reason(kVerifyErr, "Function not implemented")}), logLines());
  EXPECT_FALSE(fs::exists(m_scratch / "cache3"));
  EXPECT_FALSE(buildCache(qxase(engines("v1")), "", m_scratch / "cache4"));
}

class RemoveNewerTest : public AdapterTest {
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
    m_msg.clear();
    return QxUpdate::removeNewerQXASEPtn(engine.data(), rules.data(), version, m_msg, &m_bundle);
  }
  // A line of removeNewerZIRANPtn or removeNewerQXASEPtn.
  static std::string line(const char* engine, const std::string& text) {
    return std::string("<1> QxUpdate::removeNewer") + engine + "Ptn " + text;
  }
  std::string moved(const std::string& name) {
    return line("ZIRAN", "move file succeed, src=" + m_patterns + "/" + name + ", dst=" + m_moveTo +
                             "/" + name);
  }
  Lines ziranOpening(int type, const std::string& version, const std::string& engine) {
    return {line("ZIRAN", "enginepath = " + engine + ", patternpath = " + m_patterns +
                              ", type = " + std::to_string(type) + ", version = " + version),
            "<3> QxUpdate::removeNewerZIRANPtn load engine = " + engine + "\\ziran32.dll"};
  }
  std::string qxaseOpening(const std::string& target) {
    return line("QXASE",
                "enginepath = " + m_qxase + ", patternpath = " + m_rules + ", version = " + target);
  }

  const std::string m_patterns = dir("pattern"), m_moveTo = dir("backup"), m_rules = dir("rules");
  const std::string m_qxase = engines("v1") + "/qxaseng.dll";
  std::string m_msg;
};

TEST_F(RemoveNewerTest, ZiranMovesNewerPatternsOfTheTypeAtMostTenOfThem) {
  writePatterns(m_patterns, PatternKind::kVirus, {576300, 576500, 576700});
  writePatterns(m_patterns, PatternKind::kSpyware, {576900});
  ASSERT_TRUE(removeZiran(engines("v1"), VIRUS_PATTERN, "5.763.00")) << m_msg;
  EXPECT_EQ(plus(ziranOpening(VIRUS_PATTERN, "5.763.00", engines("v1")),
                 {line("ZIRAN", "get local pattern version 5.767.00"), moved("ksv$pat.5767"),
                  line("ZIRAN", "get local pattern version 5.765.00"), moved("ksv$pat.5765"),
                  line("ZIRAN", "get local pattern version 5.763.00"),
                  line("ZIRAN", "Successfully rollback 2 pattern files")}),
            logLines());
  EXPECT_EQ((Lines{"ksv$pat.5763", "spyxdb.5769"}), filesIn(m_patterns));
  EXPECT_EQ((Lines{"ksv$pat.5765", "ksv$pat.5767"}), filesIn(m_moveTo));
  EXPECT_EQ("", m_msg);

  std::vector<std::uint32_t> versions;
  for (std::uint32_t n = 101; n <= 112; ++n) versions.push_back(n * 100);
  writePatterns(m_patterns, PatternKind::kCloudsift, versions);
  ASSERT_TRUE(removeZiran(engines("v2"), CLOUDSIFT_AGENT_PATTERN, "0.101.00")) << m_msg;
  const Lines lines = logLines();
  EXPECT_EQ(line("ZIRAN", "find 12 backup patterns"), lines.at(2));
  EXPECT_EQ(line("ZIRAN", "Successfully rollback 10 pattern files"), lines.back());
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
  EXPECT_EQ(line("ZIRAN", "move file failed, src=" + m_patterns + "/qxblack.1300, dst=" + m_moveTo +
                              "/qxblack.1300, errno=2"),
            lines.at(3));
  EXPECT_EQ(line("ZIRAN", "get local pattern version 1.000.00"),
            lines.back());  // no success line
  EXPECT_TRUE(fs::exists(m_patterns + "/qxblack.1300"));
}

TEST_F(RemoveNewerTest, ZiranRefusedBeforeOrByTheEngine) {
  EXPECT_FALSE(removeZiran(engines("v1"), SCAN_ENGINE, "9.500.1001"));
  EXPECT_FALSE(removeZiran(engines("v1"), QXASE_ENGINE, "7.2.1050"));
  EXPECT_EQ(2u, logLines().size());  // the opening line only
  EXPECT_EQ(0u, m_counter.loads());
  // An empty folder, an engine without the list, one that will not start, no engine at all.
  const std::pair<std::string, std::string> refusing[] = {
      {engines("v1"), ""},
      {broken("ziran_without_pattern_list"), "Function not implemented"},
      {broken("not_a_library"), "Exec format error"}};
  for (const auto& [engine, systemText] : refusing) {
    m_msg.clear();
    EXPECT_FALSE(removeZiran(engine, SPYWARE_PATTERN, "1.000.00")) << engine;
    EXPECT_EQ(kVerifyErr, m_msg);
    EXPECT_EQ(
        plus(ziranOpening(SPYWARE_PATTERN, "1.000.00", engine), {reason(kVerifyErr, systemText)}),
        logLines());
  }
  std::string patterns = m_patterns, engine = engines("v1"), empty;
  for (char* moveTo : {static_cast<char*>(nullptr), empty.data()})
    EXPECT_FALSE(QxUpdate::removeNewerZIRANPtn(engine.data(), patterns.data(), moveTo,
                                               VIRUS_PATTERN, "1.0.0", m_msg, &m_bundle));
}

// A newer base goes whole, newest first, then the target base's newer incrementals; broken
// rules stop the removal.
TEST_F(RemoveNewerTest, QxaseNewerBasesGoWholeNewestFirstThenTheTargetBasesIncrementals) {
  EXPECT_FALSE(removeQxase("17461"));  // no dot: not a rule version
  EXPECT_EQ("", m_msg);
  EXPECT_EQ(Lines{}, logLines());
  EXPECT_FALSE(removeQxase("17461.005"));
  EXPECT_EQ(kFileCorrupt, m_msg);
  EXPECT_EQ(
      (Lines{qxaseOpening("17461005"), line("QXASE", "L_QX_AS_getRuleFileVerInDirEx call failed"),
             reason(kFileCorrupt)}),
      logLines());
  EXPECT_FALSE(removeQxase("17461.005", qxase(broken("qxase_without_rule_version"))));
  EXPECT_EQ(kVerifyErr, m_msg);
  logLines();

  ruleSet(m_rules, 17461, 10, 64);
  ruleSet(m_rules, 17462, 2, 64);
  ruleSet(m_rules, 17463, 0, 64);
  ASSERT_TRUE(removeQxase("17461.005")) << m_msg;
  Lines expected = {qxaseOpening("17461005")};
  for (const auto& [base, last, files] : {std::array<std::string, 3>{"17463", "17463000", "17463*"},
                                          {"17462", "17462002", "17462*"},
                                          {"17461", "17461010", "17461-*"}}) {
    expected.push_back(line("QXASE", "find QXASE pattern " + base + "-" + last));
    expected.push_back(line("QXASE", "need to remove the QXASE pattern " + last));
    expected.push_back(line("QXASE", "remove pattern " + m_rules + "/qx0" + files + " succeed"));
  }
  EXPECT_EQ(expected, logLines());
  const Lines base17461 = {"qx017461.exp", "qx017461.hsh", "qx017461.phi", "qx017461.rul",
                           "qx017461.sig"};
  EXPECT_EQ(base17461, filesIn(m_rules));

  // Nothing newer is no error; missing incrementals end the removal without one.
  EXPECT_TRUE(removeQxase("17461.000"));
  EXPECT_EQ(line("QXASE", "no need to remove any QXASE patterns"), logLines().back());
  EXPECT_TRUE(removeQxase("17461.005"));
  EXPECT_EQ(line("QXASE",
                 "Failed to maintain anti-spam pattern from 17461-17461000 to "
                 "17461-17461005. Return anyway."),
            logLines().back());
  EXPECT_EQ(base17461, filesIn(m_rules));
  EXPECT_EQ("", m_msg);
  // A newer base that arrived without its siblings: the older one is not reached.
  ruleSet(m_rules, 17461, 7, 64);
  baseRuleFile(m_rules, 17462, 64);
  EXPECT_FALSE(removeQxase("17461.005"));
  EXPECT_EQ(kFileCorrupt, m_msg);
  EXPECT_EQ((Lines{qxaseOpening("17461005"),
                   line("QXASE", "invalid rule version returned when check pattern integrity"),
                   reason(kFileCorrupt)}),
            logLines());
  EXPECT_EQ(13u, filesIn(m_rules).size());
  // Ten rounds are the most.
  fs::remove_all(m_rules);
  fs::create_directories(m_rules);
  for (unsigned base = 17401; base <= 17411; ++base) ruleSet(m_rules, base, 0, 64);
  EXPECT_FALSE(removeQxase("17400.000"));
  EXPECT_EQ(line("QXASE", "got into infinite loop error"), logLines().back());
  EXPECT_EQ((Lines{"qx017401.exp", "qx017401.hsh", "qx017401.phi", "qx017401.rul", "qx017401.sig"}),
            filesIn(m_rules));
}

}  // namespace
