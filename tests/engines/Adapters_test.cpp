// The adapters of the update object to the reference engines, sound and broken: verification
// (verifyByZIRAN, verifyByQXUFE, verifyQxaseEngine, verifyQxasePattern, buildQXASECache) and the
// removal of patterns and rule sets newer than a version (removeNewerZIRANPtn,
// removeNewerQXASEPtn). That sound engines verify every component shows in the end-to-end runs;
// here each refusal is taken once.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

#include "EngineTestSupport.h"
#include "OrvelKF/QxUpdate.h"
#include "OrvelPlatform/DynamicLibrary.h"

namespace fs = std::filesystem;
using namespace OrvelEngineTest;
using Lines = std::vector<std::string>;
using OrvelEngines::FileCheck;
using OrvelEngines::PatternKind;

namespace {

std::string reason(const std::string& text, const std::string& systemText = "") {
  return "<1> QxUpdate::_getErrString " + text + systemText;
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
    EXPECT_EQ(OrvelPlatform::libraryLoadCount() - m_loads,
              OrvelPlatform::libraryReleaseCount() - m_releases);
    EngineTest::TearDown();
  }
  const unsigned long m_loads = OrvelPlatform::libraryLoadCount();
  const unsigned long m_releases = OrvelPlatform::libraryReleaseCount();
  std::string m_msg;
};

class VerifyTest : public AdapterTest {
 protected:
  bool verify(std::string engineFolder, std::string patternFolder, int type) {
    return QxUpdate::verifyByZIRAN(engineFolder.data(), patternFolder.data(),
                                   static_cast<QxUpdateType>(type), m_msg, m_version, &m_bundle);
  }
  QxUpdateVersion m_version{7, 7, "untouched"};
};

// That sound engines verify every component, each with the version the feed offered, shows in the
// end-to-end runs; here what only the adapter decides: the engine is left uninitialised.
TEST_F(VerifyTest, ACacheBuildLeavesTheEngineUninitialised) {
  const std::string rules = dir("rules"), cache = m_scratch / "cache/deep";
  ruleSet(rules, 17461, 2, 100);
  // Held here as well, the engine shows that the adapter undid its initialisation.
  void* held = ::dlopen(qxase(engines("v2")).c_str(), RTLD_NOW);
  ASSERT_NE(nullptr, held);
  ASSERT_TRUE(QxUpdate::buildQXASECache(qxase(engines("v2")), rules, cache, m_msg, &m_bundle));
  EXPECT_GT(0, reinterpret_cast<int (*)()>(::dlsym(held, "QX_AS_uninitEngine"))());
  ::dlclose(held);
  EXPECT_EQ(0u, OrvelTest::readFile(cache + "/qxase.cache")
                    .find("QXASE-CACHE 1 17461 17461002\nqx017461.rul 132 "));
}

// Which damage the engine finds is its own business: the adapter reports the engine's reason, and
// the log says which step refused.
TEST_F(VerifyTest, EachRefusalGivesItsMessageAndTheReason) {
  const std::string patterns = dir("ptn");
  const std::string buildErr = "Unable to build the anti-spam pattern cache.";
  writePatterns(patterns, PatternKind::kVirus, {576300});
  baseRuleFile(dir("alone"), 17461, 50);
  ruleSet(dir("rules"), 17461, 2, 100);
  const std::string qxufe = "<1> QxUpdate::verifyByQXUFE: ERROR: ",
                    rules = "<1> QxUpdate::verifyQxasePattern: ",
                    missing = "Function not implemented";
  // adapter: z verifyByZIRAN (virus pattern), u verifyByQXUFE, e verifyQxaseEngine,
  // r verifyQxasePattern, c buildQXASECache
  const struct {
    char adapter;
    std::string engine, folder;
    std::string msg, line, systemText;
  } refusals[] = {
      {'z', broken("ziran_without_internal_version"), patterns, kVerifyErr, "", missing},
      {'z', broken("ziran_init_refused"), patterns, kVerifyErr, "", ""},
      {'u', broken("qxufe_init_refused"), "", kVerifyErr,
       qxufe + "initialize QXUFE engine failed: retcode=-21", ""},
      {'u', broken("qxufe_version_refused"), "", kVerifyErr,
       qxufe + "get QXUFE engine version failed: retcode=-21", ""},
      {'u', broken("qxufe_uninit_refused"), "", kVerifyErr,
       qxufe + "uninitialize QXUFE engine failed: retcode=-21", ""},
      {'u', broken("qxufe_without_uninit"), "", kVerifyErr, "", missing},
      {'u', broken("not_a_library"), "", kVerifyErr, "", "Exec format error"},
      {'e', qxase(broken("qxase_version_zero")), "", kVerifyErr, "", ""},
      {'e', qxase(broken("qxase_without_version")), "", kVerifyErr, "", missing},
      {'r', qxase(engines("v2")), dir("empty"), kFileCorrupt,
       rules + "L_QX_AS_getRuleFileVerInDirEx call failed", ""},
      {'r', qxase(engines("v2")), dir("alone"), kFileCorrupt,
       rules + "The integrety check detected the downloaded anti-spam pattern to be invalid.", ""},
      {'r', qxase(broken("qxase_without_rule_version")), dir("empty"), kVerifyErr, "", missing},
      {'c', qxase(engines("v1")), dir("empty"), buildErr,
       "<1> QxUpdate::buildQXASECache: Error: generate QXASE pattern cache failed", ""},
      {'c', qxase(broken("qxase_without_uninit")), dir("rules"), kVerifyErr, "", missing},
  };
  const std::string cache = m_scratch / "cache";
  logLines();
  for (const auto& r : refusals) {
    m_msg.clear();
    std::string text;
    unsigned base = 0, rule = 0;
    EXPECT_FALSE(
        r.adapter == 'z'   ? verify(r.engine, r.folder, VIRUS_PATTERN)
        : r.adapter == 'u' ? QxUpdate::verifyByQXUFE(r.engine, m_version, m_msg, &m_bundle)
        : r.adapter == 'e' ? QxUpdate::verifyQxaseEngine(r.engine, text, m_msg, &m_bundle)
        : r.adapter == 'r'
            ? QxUpdate::verifyQxasePattern(r.engine, r.folder, base, rule, m_msg, &m_bundle)
            : QxUpdate::buildQXASECache(r.engine, r.folder, cache, m_msg, &m_bundle))
        << r.engine;
    EXPECT_EQ(r.msg, m_msg) << r.engine;
    Lines expected = {reason(r.msg, r.systemText)};
    if (!r.line.empty()) expected.insert(expected.begin(), r.line);
    Lines log = logLines();  // without the opening or closing lines of verifyByZIRAN and QXUFE
    log.erase(
        std::remove_if(
            log.begin(), log.end(),
            [](auto& l) { return l[1] == '3' || l.rfind("<1> QxUpdate::verifyByZIRAN ", 0) == 0; }),
        log.end());
    EXPECT_EQ(expected, log) << r.engine;
  }
  EXPECT_FALSE(QxUpdate::buildQXASECache("", dir("rules"), cache, m_msg, &m_bundle) ||
               QxUpdate::buildQXASECache(qxase(engines("v2")), "", cache, m_msg, &m_bundle));
  EXPECT_FALSE(fs::exists(cache));
  m_msg.clear();
  EXPECT_FALSE(verify(broken("ziran_version_refused"), patterns, SCAN_ENGINE));
  EXPECT_EQ("The virus scan engine could not be initialized.", m_msg);
}

class RemoveNewerTest : public AdapterTest {
 protected:
  bool removeZiran(std::string engine, int type, const std::string& version) {
    std::string patterns = m_patterns, moveTo = m_moveTo;
    return QxUpdate::removeNewerZIRANPtn(engine.data(), patterns.data(), moveTo.data(),
                                         static_cast<QxUpdateType>(type), version, m_msg,
                                         &m_bundle);
  }
  bool removeQxase(std::string version) {
    std::string rules = m_rules, engine = m_qxase;
    m_msg.clear();
    return QxUpdate::removeNewerQXASEPtn(engine.data(), rules.data(), version, m_msg, &m_bundle);
  }
  // A line of removeNewerZIRANPtn or removeNewerQXASEPtn.
  static std::string line(const char* engine, const std::string& text) {
    return std::string("<1> QxUpdate::removeNewer") + engine + "Ptn " + text;
  }
  const std::string m_patterns = dir("pattern"), m_moveTo = dir("backup"), m_rules = dir("rules");
  const std::string m_qxase = engines("v1") + "/qxaseng.dll";
};

TEST_F(RemoveNewerTest, ZiranMovesNewerPatternsOfTheTypeAtMostTenOfThem) {
  writePatterns(m_patterns, PatternKind::kVirus, {576300, 576500, 576700});
  writePatterns(m_patterns, PatternKind::kSpyware, {576900});
  ASSERT_TRUE(removeZiran(engines("v1"), VIRUS_PATTERN, "5.763.00")) << m_msg;
  EXPECT_EQ((Lines{"ksv$pat.5763", "spyxdb.5769"}), filesIn(m_patterns));
  EXPECT_EQ((Lines{"ksv$pat.5765", "ksv$pat.5767"}), filesIn(m_moveTo));
  EXPECT_EQ("", m_msg);

  std::vector<std::uint32_t> versions;
  for (std::uint32_t n = 101; n <= 112; ++n) versions.push_back(n * 100);
  writePatterns(m_patterns, PatternKind::kCloudsift, versions);
  ASSERT_TRUE(removeZiran(engines("v2"), CLOUDSIFT_AGENT_PATTERN, "0.101.00")) << m_msg;
  // The list is newest first: the two oldest were never looked at, though one is newer.
  EXPECT_EQ((Lines{"cldx$agt.101", "cldx$agt.102", "ksv$pat.5763", "spyxdb.5769"}),
            filesIn(m_patterns));
  EXPECT_EQ(12u, filesIn(m_moveTo).size());
}

// Past one bad file it goes on; with nowhere to move to, or refused before or by the engine, it
// fails and leaves the patterns.
TEST_F(RemoveNewerTest, ZiranGoesOnPastOneBadFileButFailsWithoutABackupFolderOrAnEngine) {
  writePatterns(m_patterns, PatternKind::kLurebox, {100000, 110000, 120000});
  flipByte(m_patterns + "/qxblack.1100", 200);
  ASSERT_TRUE(removeZiran(engines("v1"), LUREBOX_PATTERN, "1.000.00"));
  EXPECT_EQ(kPatternReadErr, m_msg);
  EXPECT_EQ((Lines{"qxblack.1000", "qxblack.1100"}), filesIn(m_patterns));
  fs::remove_all(m_moveTo);
  writePatterns(m_patterns, PatternKind::kLurebox, {130000});
  EXPECT_FALSE(removeZiran(engines("v1"), LUREBOX_PATTERN, "1.200.00"));
  EXPECT_TRUE(fs::exists(m_patterns + "/qxblack.1300"));
  // No pattern of the type at all.
  m_msg.clear();
  EXPECT_FALSE(removeZiran(engines("v1"), SPYWARE_PATTERN, "1.000.00"));
  EXPECT_EQ(kVerifyErr, m_msg);
  EXPECT_EQ(reason(kVerifyErr), logLines().back());
  std::string patterns = m_patterns, engine = engines("v1");
  EXPECT_FALSE(QxUpdate::removeNewerZIRANPtn(engine.data(), patterns.data(), nullptr, VIRUS_PATTERN,
                                             "1.0.0", m_msg, &m_bundle));
}

// A newer base goes whole, newest first, then the target base's newer incrementals; broken
// rules stop the removal.
TEST_F(RemoveNewerTest, QxaseNewerBasesGoWholeNewestFirstThenTheTargetBasesIncrementals) {
  EXPECT_FALSE(removeQxase("17461.005"));
  EXPECT_EQ(kFileCorrupt, m_msg);
  EXPECT_EQ(line("QXASE", "L_QX_AS_getRuleFileVerInDirEx call failed"), logLines().at(1));

  ruleSet(m_rules, 17461, 10, 64);
  ruleSet(m_rules, 17462, 2, 64);
  ruleSet(m_rules, 17463, 0, 64);
  ASSERT_TRUE(removeQxase("17461.005")) << m_msg;
  logLines();
  const Lines base17461 = {"qx017461.exp", "qx017461.hsh", "qx017461.phi", "qx017461.rul",
                           "qx017461.sig"};
  EXPECT_EQ(base17461, filesIn(m_rules));

  // Missing incrementals end the removal without an error.
  EXPECT_TRUE(removeQxase("17461.005"));
  EXPECT_EQ(line("QXASE",
                 "Failed to maintain anti-spam pattern from 17461-17461000 to "
                 "17461-17461005. Return anyway."),
            logLines().back());
  EXPECT_EQ(base17461, filesIn(m_rules));
  // A newer base that arrived without its siblings: the older one is not reached.
  ruleSet(m_rules, 17461, 7, 64);
  baseRuleFile(m_rules, 17462, 64);
  EXPECT_FALSE(removeQxase("17461.005"));
  EXPECT_EQ(kFileCorrupt, m_msg);
  EXPECT_EQ(line("QXASE", "invalid rule version returned when check pattern integrity"),
            logLines().at(1));
  EXPECT_EQ(13u, filesIn(m_rules).size());
}

}  // namespace
