// Local installation into a product home: patterns, the spam rules with their cache, and engines
// with the scanner services (a scripted service manager) and their one backup.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>

#include <filesystem>

#include "../common/ChildProcess.h"
#include "EngineTestSupport.h"
#include "FakeClock.h"
#include "OrvelCommon/ConfigFileOnDisk.h"
#include "OrvelCommon/LockFileLock.h"
#include "ProductHome.h"
#include "ScriptedServiceManager.h"

namespace fs = std::filesystem;
using namespace OrvelPlatform;
using OrvelTest::readFile;
using OrvelTest::writeFile;
using Lines = std::vector<std::string>;

class ApplyToLocal : public OrvelTest::HomeTest {
 protected:
  void SetUp() override {
    HomeTest::SetUp();
    if (HasFatalFailure()) return;
    m_home = home->path();
    m_update = std::make_unique<QxUpdate>();
    m_log = std::make_unique<OrvelEngineTest::LogReader>(m_home + "/log/orvel.log");
    m_log->take();
  }
  bool apply(int type, const std::string& path, const std::string& version,
             const std::string& file = "") {
    return m_update->applyToLocal(static_cast<QxUpdateType>(type), path, version, file);
  }
  std::string info(const char* key) {
    std::string value;
    ORVEL::ConfigFileOnDisk((m_home + "/config/scanner.info").c_str())
        .getparam("update", key, value);
    return value;
  }
  // The installation's own lines at level 1, without "<1> QxUpdate::applyToLocal ".
  Lines ownLines() {
    const std::string prefix = "<1> QxUpdate::applyToLocal ";
    Lines own;
    for (const std::string& line : m_log->take())
      if (line.rfind(prefix, 0) == 0)
        own.push_back(OrvelEngineTest::withoutSourceLine(line).substr(prefix.size()));
    return own;
  }

  std::string m_home;
  OrvelTest::FakeClock m_clock;
  std::unique_ptr<QxUpdate> m_update;
  std::unique_ptr<OrvelEngineTest::LogReader> m_log;
};

INSTANTIATE_TEST_SUITE_P(Install, ApplyToLocal, ::testing::Values(OrvelTest::Backend::kSqlite),
                         OrvelTest::backendName);

TEST_P(ApplyToLocal, PatternsAreInstalledOnceUnderTheLockAndRecorded) {
  const std::string lock = m_home + "/lib/.kfagent.lck", infoFile = m_home + "/config/scanner.info";
  for (int type : {7, 11}) {
    EXPECT_FALSE(apply(type, "x", "1.000"));
    EXPECT_EQ(Lines{"Unsupport mode detected"}, ownLines());
  }
  EXPECT_FALSE(fs::exists(lock));

  const std::string source = m_home + "/ksv$pat.5763";
  writeFile(source, "pattern 5763");
  EXPECT_TRUE(apply(VIRUS_PATTERN, source, "5.763.00"));
  EXPECT_EQ(Lines{"get local version of Virus Pattern from " + infoFile + " failed"}, ownLines());
  EXPECT_EQ("1700000000", info("virus_pattern_timestamp"));
  LockFileLock released(lock.c_str(), false, false);
  EXPECT_TRUE(released.lock());
  released.unlock();

  m_clock.advance(60);
  writeFile(source, "other bytes");
  EXPECT_FALSE(apply(VIRUS_PATTERN, source, "5.763.00"));
  EXPECT_EQ((Lines{" the local component is up-to-date. No need to apply again."}), ownLines());
  EXPECT_EQ("pattern 5763", readFile(m_home + "/lib/pattern/ziran/ksv$pat.5763"));
  EXPECT_EQ("1700000000", info("virus_pattern_timestamp"));
  EXPECT_EQ("5.763.00", info("virus_pattern_version"));

  EXPECT_FALSE(apply(SPYWARE_PATTERN, m_home + "/missing", "1.000.00"));
  EXPECT_EQ(" copy file failed, src=" + m_home + "/missing, dst=" + m_home +
                "/lib/pattern/ziran/, errno=2",
            ownLines().at(1));
  EXPECT_EQ("", info("spyware_pattern_version"));

  // An information file that cannot be read or written: installed, but not recorded.
  fs::remove(infoFile);
  fs::create_directory(infoFile);
  EXPECT_TRUE(apply(LUREBOX_PATTERN, source, "1.000.00"));
  EXPECT_EQ((Lines{"get local version of Lurebox Pattern from " + infoFile + " failed",
                   " write lurebox_pattern_timestamp to " + infoFile + " failed",
                   " write lurebox_pattern_version to " + infoFile + " failed"}),
            ownLines());
}

TEST_P(ApplyToLocal, SpamRulesWithTheCacheOfANewBase) {
  const std::string rules = m_home + "/download", cache = m_home + "/temp/kf/qxase/cache",
                    installed = m_home + "/lib/pattern/qxase";
  fs::create_directories(rules);
  fs::create_directories(cache);
  for (const auto& [version, cacheAfter] :
       std::vector<std::pair<std::string, std::string>>{{"2211.004", "2211.004"},
                                                        {"2211.007", "2211.004"},
                                                        {"2212.001", "2212.001"},
                                                        {"2213", "2212.001"}}) {
    writeFile(rules + "/rule.set", version);
    writeFile(cache + "/cache.bin", version);
    EXPECT_TRUE(apply(QXASE_PATTERN, rules, version)) << version;
    EXPECT_EQ(version, readFile(installed + "/rules/rule.set"));
    EXPECT_EQ(cacheAfter, readFile(installed + "/cache/cache.bin")) << version;
  }
  // Rules that cannot be read are not installed, and the installed version is not moved.
  fs::remove_all(rules);
  EXPECT_FALSE(apply(QXASE_PATTERN, rules, "2214"));
  std::string recorded;
  ORVEL::ConfigFileOnDisk((m_home + "/config/scanner.info").c_str())
      .getparam("update", kfScannerInfoVersionKey[QXASE_PATTERN], recorded);
  EXPECT_EQ("2213", recorded);
}

class ApplyEngine : public ApplyToLocal {
 protected:
  static constexpr const char* kStopScan = "Stop ORVEL Scan Service Succeed";
  static constexpr const char* kStopPolicy = "Stop ORVEL Policy Service Succeed";
  static constexpr const char* kStartScan = "Start ORVEL Scan Service Succeed";
  static constexpr const char* kStartPolicy = "Start ORVEL Policy Service Succeed";

  void SetUp() override {
    ApplyToLocal::SetUp();
    m_installed = m_home + "/bin/ziran32.dll";
    installV1();
  }
  void installV1() {
    writeFile(m_installed, readFile(m_v1));
    writeFile(m_installed + ".bak", "an older library");
    ORVEL::ConfigFileOnDisk((m_home + "/config/scanner.info").c_str())
        .setparam("update", "virus_engine_version", "9.500.1001");
    for (const char* service : {"QxOrvelScan", "QxOrvelPolicy"})
      m_services.services[service].states = {kServiceRunning};
  }
  bool applyV2(const std::string& source) {
    return apply(SCAN_ENGINE, source, "9.750.1042", "ziran32.dll");
  }
  // The library under the installed name, and that the engine loads from it.
  void expectInstalled(const std::string& library, const char* version) {
    EXPECT_EQ(readFile(library), readFile(m_installed));
    QxUpdateVersion loaded;
    std::string msg, bin = m_home + "/bin";
    EXPECT_TRUE(QxUpdate::verifyByZIRAN(bin.data(), bin.data(), SCAN_ENGINE, msg, loaded, nullptr));
    EXPECT_EQ(version, loaded.strVersion);
    EXPECT_EQ(version, info("virus_engine_version"));
  }

  const std::string m_v1 = OrvelEngineTest::engines("v1") + "/ziran32.dll";
  const std::string m_v2 = OrvelEngineTest::engines("v2") + "/ziran32.dll";
  std::string m_installed;
  OrvelTest::ScriptedServiceManager m_services;
};

INSTANTIATE_TEST_SUITE_P(Install, ApplyEngine, ::testing::Values(OrvelTest::Backend::kSqlite),
                         OrvelTest::backendName);

TEST_P(ApplyEngine, ReplacedWithTheServicesStoppedKeepingOneBackup) {
  EXPECT_TRUE(applyV2(m_v2));
  EXPECT_EQ((Lines{kStopScan, kStopPolicy, kStartScan, kStartPolicy}), ownLines());
  EXPECT_EQ((Lines{"QxOrvelScan", "QxOrvelPolicy"}), m_services.callsOf("start"));
  EXPECT_EQ(2, std::count(m_clock.sleeps().begin(), m_clock.sleeps().end(), 10000u));
  EXPECT_EQ((Lines{"ziran32.dll", "ziran32.dll.bak"}), OrvelEngineTest::filesIn(m_home + "/bin"));
  EXPECT_EQ(readFile(m_v1), readFile(m_installed + ".bak"));
  expectInstalled(m_v2, "9.750.1042");

  // A service that is down is neither stopped nor started; one that will not come back makes the
  // installation fail although the library is in place.
  installV1();
  m_services.services["QxOrvelScan"].states = {kServiceStopped};
  m_services.services["QxOrvelPolicy"].answers["start"] = {{1058, {}}};
  m_services.calls.clear();
  EXPECT_FALSE(applyV2(m_v2));
  EXPECT_EQ((Lines{kStopPolicy, "Start ORVEL Service Failed. You need to manually restart it."}),
            ownLines());
  EXPECT_EQ((Lines{"QxOrvelPolicy"}), m_services.callsOf("stop"));
  EXPECT_EQ(3, std::count(m_clock.sleeps().begin(), m_clock.sleeps().end(), 10000u));
  expectInstalled(m_v2, "9.750.1042");
}

TEST_P(ApplyEngine, ACopyThatFailsLeavesThePreviousLibraryInstalled) {
  EXPECT_FALSE(applyV2(m_home + "/missing.dll"));
  EXPECT_EQ(
      (Lines{kStopScan, kStopPolicy,
             " copy file failed, src=" + m_home + "/missing.dll, dst=" + m_installed + ", errno=2",
             kStartScan, kStartPolicy}),
      ownLines());
  EXPECT_EQ((Lines{"QxOrvelScan", "QxOrvelPolicy"}), m_services.callsOf("start"));

  // The file system refuses to grow the copy half-way through.
  const auto limit = static_cast<rlim_t>(fs::file_size(m_v2) / 2);
  ASSERT_GT(limit, fs::file_size(m_home + "/log/orvel.log") + 4096);
  EXPECT_EQ(1, OrvelTest::runInChild([&] {
              ::signal(SIGXFSZ, SIG_IGN);
              const rlimit fileSize{limit, limit};
              ::setrlimit(RLIMIT_FSIZE, &fileSize);
              return applyV2(m_v2) ? 0 : 1;
            }));
  EXPECT_EQ((Lines{kStopScan, kStopPolicy,
                   " copy file failed, src=" + m_v2 + ", dst=" + m_installed + ", errno=27",
                   kStartScan, kStartPolicy}),
            ownLines());
  EXPECT_EQ((Lines{"ziran32.dll"}), OrvelEngineTest::filesIn(m_home + "/bin"));
  expectInstalled(m_v1, "9.500.1001");
}
