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
#include "ScriptedServiceManager.h"
#include "UpdateTestHome.h"

namespace fs = std::filesystem;
using namespace OrvelPlatform;
using OrvelEngineTest::engines;
using OrvelEngineTest::filesIn;
using OrvelTest::readFile;
using OrvelTest::writeFile;
using Lines = std::vector<std::string>;

class ApplyToLocal : public OrvelUpdateTest::UpdateTest {
 protected:
  void SetUp() override {
    UpdateTest::SetUp();
    if (HasFatalFailure()) return;
    m_update = std::make_unique<QxUpdate>();
    ASSERT_TRUE(m_update->ok());
    m_log = std::make_unique<OrvelEngineTest::LogReader>(*home / "log/orvel.log");
    m_log->take();
  }
  bool apply(int type, const std::string& path, const std::string& version,
             const std::string& file = "") {
    return m_update->applyToLocal(static_cast<QxUpdateType>(type), path, version, file);
  }
  std::string info(const char* key) {
    std::string value;
    ORVEL::ConfigFileOnDisk((*home / "config/scanner.info").c_str()).getparam("update", key, value);
    return value;
  }
  bool logged(const std::string& line) {
    const Lines taken = lines();
    return std::find(taken.begin(), taken.end(), line) != taken.end();
  }
  Lines lines() {
    Lines taken = m_log->take();
    for (std::string& line : taken) line = OrvelEngineTest::withoutSourceLine(line);
    return taken;
  }
  std::string enter(int type, const std::string& path, const std::string& version,
                    const std::string& file = "") {
    return "<3> QxUpdate [QxUpdateInstall.cpp]: enter function applyToLocal: kfType=" +
           std::to_string(type) + ", szPath=" + path + ", szVersion=" + version +
           ", szFileName=" + file;
  }
  const std::string leave = "<3> QxUpdate [QxUpdateInstall.cpp]: leave function applyToLocal";

  OrvelTest::FakeClock m_clock;
  std::unique_ptr<QxUpdate> m_update;
  std::unique_ptr<OrvelEngineTest::LogReader> m_log;
};

INSTANTIATE_TEST_SUITE_P(Install, ApplyToLocal, ::testing::Values(OrvelDbTest::Backend::kSqlite),
                         OrvelDbTest::backendName);

TEST_P(ApplyToLocal, PatternsAreInstalledOnceUnderTheLockAndRecorded) {
  const std::string lockPath = *home / "lib/.kfagent.lck";
  for (int type : {static_cast<int>(QXASE_PATCH), 11}) {
    EXPECT_FALSE(apply(type, "x", "1.000"));
    EXPECT_EQ(
        (Lines{enter(type, "x", "1.000"), "<1> QxUpdate::applyToLocal Unsupport mode detected"}),
        lines());
  }
  EXPECT_FALSE(fs::exists(lockPath));

  const std::string source = *home / "ksv$pat.5763";
  writeFile(source, "pattern 5763");
  EXPECT_TRUE(apply(VIRUS_PATTERN, source, "5.763.00"));
  EXPECT_EQ((Lines{enter(1, source, "5.763.00"),
                   "<1> QxUpdate::applyToLocal get local version of Virus Pattern from " +
                       home->path() + "/config/scanner.info failed",
                   leave}),
            lines());
  EXPECT_EQ("pattern 5763", readFile(*home / "lib/pattern/ziran/ksv$pat.5763"));
  EXPECT_EQ("5.763.00", info("virus_pattern_version"));
  EXPECT_EQ("1700000000", info("virus_pattern_timestamp"));
  LockFileLock released(lockPath.c_str(), false, false);
  EXPECT_TRUE(released.lock());
  released.unlock();

  m_clock.advance(60);
  writeFile(source, "other bytes");
  EXPECT_FALSE(apply(VIRUS_PATTERN, source, "5.763.00"));
  EXPECT_EQ(
      (Lines{enter(1, source, "5.763.00"),
             "<1> QxUpdate::applyToLocal  the local component is up-to-date. No need to apply "
             "again.",
             leave}),
      lines());
  EXPECT_EQ("pattern 5763", readFile(*home / "lib/pattern/ziran/ksv$pat.5763"));
  EXPECT_EQ("1700000000", info("virus_pattern_timestamp"));

  EXPECT_FALSE(apply(SPYWARE_PATTERN, *home / "missing", "1.000.00"));
  EXPECT_EQ("<1> QxUpdate::applyToLocal  copy file failed, src=" + home->path() +
                "/missing, dst=" + home->path() + "/lib/pattern/ziran/, errno=2",
            lines().at(2));
  EXPECT_EQ("", info("spyware_pattern_version"));

  // An information file that cannot be read or written: installed, but not recorded.
  fs::remove(*home / "config/scanner.info");
  fs::create_directory(*home / "config/scanner.info");
  EXPECT_TRUE(apply(LUREBOX_PATTERN, source, "1.000.00"));
  const std::string infoPath = home->path() + "/config/scanner.info";
  EXPECT_EQ(
      (Lines{
          enter(3, source, "1.000.00"),
          "<1> QxUpdate::applyToLocal get local version of Lurebox Pattern from " + infoPath +
              " failed",
          "<1> QxUpdate::applyToLocal  write lurebox_pattern_timestamp to " + infoPath + " failed",
          "<1> QxUpdate::applyToLocal  write lurebox_pattern_version to " + infoPath + " failed",
          leave}),
      lines());

  fs::rename(*home / "lib", *home / "lib.away");
  EXPECT_FALSE(apply(VIRUS_PATTERN, source, "5.764.00"));
  EXPECT_EQ((Lines{enter(1, source, "5.764.00"),
                   "<1> QxUpdate::applyToLocal  lock file " + lockPath + " failed"}),
            lines());
}

TEST_P(ApplyToLocal, SpamRulesAndTheCacheOfANewBase) {
  const std::string rules = *home / "download/rules";
  const std::string cache = *home / "temp/kf/qxase/cache";
  const std::string installed = *home / "lib/pattern/qxase";
  fs::create_directories(rules);
  fs::create_directories(cache);
  struct Case {
    const char* version;
    const char* cacheAfter;
  };
  for (const Case& c : {Case{"2211.004", "2211.004"}, Case{"2211.007", "2211.004"},
                        Case{"2212.001", "2212.001"}, Case{"2213", "2212.001"}}) {
    writeFile(rules + "/rule.set", c.version);
    writeFile(cache + "/cache.bin", c.version);
    EXPECT_TRUE(apply(QXASE_PATTERN, rules, c.version)) << c.version;
    EXPECT_EQ(c.version, readFile(installed + "/rules/rule.set"));
    EXPECT_EQ(c.cacheAfter, readFile(installed + "/cache/cache.bin")) << c.version;
    EXPECT_EQ(c.version, info("spam_pattern_version"));
  }
  fs::remove_all(installed + "/cache");
  writeFile(installed + "/cache", "a file where the cache folder belongs");
  lines();
  EXPECT_FALSE(apply(QXASE_PATTERN, rules, "2214.001"));
  EXPECT_EQ(
      0u, lines().at(1).rfind("<1> QxUpdate::applyToLocal  copy file failed, src=" + home->path() +
                                  "\\temp\\kf/qxase/cache/*, dst=" + installed + "/cache/, errno=",
                              0));
  EXPECT_EQ("2213", info("spam_pattern_version"));
}

class ApplyEngine : public ApplyToLocal {
 protected:
  void SetUp() override {
    ApplyToLocal::SetUp();
    if (HasFatalFailure()) return;
    m_installed = *home / "bin/ziran32.dll";
    installV1();
  }
  // v1 installed and recorded, an older backup beside it.
  void installV1() {
    writeFile(m_installed, readFile(m_v1));
    writeFile(m_installed + ".bak", "an older library");
    ASSERT_TRUE(ORVEL::ConfigFileOnDisk((*home / "config/scanner.info").c_str())
                    .setparam("update", "virus_engine_version", "9.500.1001"));
  }
  bool applyV2(const std::string& source) {
    return apply(SCAN_ENGINE, source, "9.750.1042", "ziran32.dll");
  }
  // The engine under the installed name loads and reports this version.
  void expectLoadableVersion(const char* version) {
    QxUpdateVersion loaded;
    std::string msg, bin = *home / "bin";
    ASSERT_TRUE(QxUpdate::verifyByZIRAN(bin.data(), bin.data(), SCAN_ENGINE, msg, loaded, nullptr));
    EXPECT_EQ(version, loaded.strVersion);
  }

  const std::string m_v1 = engines("v1") + "/ziran32.dll";
  const std::string m_v2 = engines("v2") + "/ziran32.dll";
  std::string m_installed;
};

INSTANTIATE_TEST_SUITE_P(Install, ApplyEngine, ::testing::Values(OrvelDbTest::Backend::kSqlite),
                         OrvelDbTest::backendName);

TEST_P(ApplyEngine, ReplacedWithTheServicesStoppedKeepingOneBackup) {
  const std::string stopScan = "<1> QxUpdate::applyToLocal Stop ORVEL Scan Service Succeed";
  const std::string stopPolicy = "<1> QxUpdate::applyToLocal Stop ORVEL Policy Service Succeed";
  struct Case {
    const char* what;
    int scan, policy;
    int policyStart;
    Lines lines;
  };
  for (const Case& c :
       {Case{"both running",
             kServiceRunning,
             kServiceRunning,
             0,
             {stopScan, stopPolicy, "<1> QxUpdate::applyToLocal Start ORVEL Scan Service Succeed",
              "<1> QxUpdate::applyToLocal Start ORVEL Policy Service Succeed"}},
        Case{"none running", kServiceStopped, kServiceStopped, 0, {}},
        Case{"policy stays down",
             kServiceStopped,
             kServiceRunning,
             1058,
             {stopPolicy,
              "<1> QxUpdate::applyToLocal Start ORVEL Service Failed. You need to manually "
              "restart it."}}}) {
    installV1();
    OrvelTest::FakeClock clock;
    OrvelTest::ScriptedServiceManager services;
    services.add("QxOrvelScan", {c.scan});
    services.add("QxOrvelPolicy", {c.policy});
    if (c.policyStart != 0) services.onStart("QxOrvelPolicy", c.policyStart);
    EXPECT_EQ(c.policyStart == 0, applyV2(m_v2)) << c.what;
    Lines serviceLines;
    for (const std::string& line : lines())
      if (line.rfind("<1> QxUpdate::applyToLocal", 0) == 0 && line.find("Service") != line.npos)
        serviceLines.push_back(line);
    EXPECT_EQ(c.lines, serviceLines) << c.what;
    EXPECT_EQ(static_cast<long>(c.lines.size() / 2),
              std::count(clock.sleeps().begin(), clock.sleeps().end(), 10000u));
    EXPECT_EQ((Lines{"ziran32.dll", "ziran32.dll.bak"}), filesIn(*home / "bin")) << c.what;
    EXPECT_EQ(readFile(m_v1), readFile(m_installed + ".bak")) << c.what;
    EXPECT_EQ(readFile(m_v2), readFile(m_installed)) << c.what;
    EXPECT_EQ("9.750.1042", info("virus_engine_version")) << c.what;
    expectLoadableVersion("9.750.1042");
  }
}

TEST_P(ApplyEngine, ACopyThatFailsLeavesThePreviousLibraryInstalled) {
  OrvelTest::ScriptedServiceManager services;
  services.add("QxOrvelScan", {kServiceRunning});
  services.add("QxOrvelPolicy", {kServiceRunning});
  EXPECT_FALSE(applyV2(*home / "missing.dll"));
  EXPECT_TRUE(logged("<1> QxUpdate::applyToLocal  copy file failed, src=" + home->path() +
                     "/missing.dll, dst=" + m_installed + ".new, errno=2"));
  EXPECT_EQ((Lines{"QxOrvelScan", "QxOrvelPolicy"}), services.callsOf("start"));

  // A disk that fills up half-way through the copy.
  const auto limit = static_cast<rlim_t>(fs::file_size(m_v2) / 2);
  ASSERT_GT(limit, fs::file_size(*home / "log/orvel.log") + 4096);
  EXPECT_EQ(1, OrvelTest::runInChild([&] {
              ::signal(SIGXFSZ, SIG_IGN);
              const rlimit fileSize{limit, limit};
              ::setrlimit(RLIMIT_FSIZE, &fileSize);
              return applyV2(m_v2) ? 0 : 1;
            }));
  EXPECT_TRUE(logged("<1> QxUpdate::applyToLocal  copy file failed, src=" + m_v2 +
                     ", dst=" + m_installed + ".new, errno=27"));
  EXPECT_EQ((Lines{"ziran32.dll"}), filesIn(*home / "bin"));
  EXPECT_EQ(readFile(m_v1), readFile(m_installed));
  EXPECT_EQ("9.500.1001", info("virus_engine_version"));
  expectLoadableVersion("9.500.1001");
}
