// Local installation into a product home: patterns, the spam rules with their cache, and engines
// with the scanner services (a scripted service manager) and their one backup.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>

#include <filesystem>

#include "../common/ChildProcess.h"
#include "OrvelCommon/ConfigFileOnDisk.h"
#include "OrvelCommon/LockFileLock.h"
#include "PipelineTest.h"

namespace fs = std::filesystem;
using namespace OrvelPlatform;
using namespace OrvelPipelineTest;
using OrvelTest::readFile;
using OrvelTest::writeFile;

class ApplyToLocal : public PipelineTest {
 protected:
  bool apply(int type, const std::string& path, const std::string& version,
             const std::string& file = "") {
    return update().applyToLocal(static_cast<QxUpdateType>(type), path, version, file);
  }
  // The installation's own lines at level 1, without "<1> QxUpdate::applyToLocal ".
  Lines ownLines() {
    Lines own;
    for (const std::string& line : logLines({"QxUpdate::applyToLocal "}))
      if (line.rfind("<1> ", 0) == 0) own.push_back(line.substr(27));
    return own;
  }
};

INSTANTIATE_TEST_SUITE_P(Install, ApplyToLocal, ::testing::Values(OrvelTest::Backend::kSqlite),
                         OrvelTest::backendName);

TEST_P(ApplyToLocal, PatternsAreInstalledOnceUnderTheLockAndRecorded) {
  const std::string lock = *home / "lib/.kfagent.lck", infoFile = *home / "config/scanner.info";
  EXPECT_FALSE(apply(QXASE_PATCH, "x", "1.000"));
  EXPECT_EQ(Lines{"Unsupport mode detected"}, ownLines());
  EXPECT_FALSE(fs::exists(lock));

  const std::string source = *home / "ksv$pat.5763";
  writeFile(source, "pattern 5763");
  EXPECT_TRUE(apply(VIRUS_PATTERN, source, "5.763.00"));
  EXPECT_EQ(Lines{"get local version of Virus Pattern from " + infoFile + " failed"}, ownLines());
  EXPECT_EQ("1700000000", scannerInfo("virus_pattern_timestamp"));
  LockFileLock released(lock.c_str(), false, false);
  EXPECT_TRUE(released.lock());
  released.unlock();

  m_clock.advance(60);
  writeFile(source, "other bytes");
  EXPECT_FALSE(apply(VIRUS_PATTERN, source, "5.763.00"));
  EXPECT_EQ((Lines{" the local component is up-to-date. No need to apply again."}), ownLines());
  EXPECT_EQ("pattern 5763", readFile(*home / "lib/pattern/ziran/ksv$pat.5763"));
  EXPECT_EQ("1700000000 5.763.00",
            scannerInfo("virus_pattern_timestamp") + " " + scannerInfo("virus_pattern_version"));

  EXPECT_FALSE(apply(SPYWARE_PATTERN, *home / "missing", "1.000.00"));
  EXPECT_EQ(
      " copy file failed, src=" + *home / "missing, dst=" + *home / "lib/pattern/ziran/, errno=2",
      ownLines().at(1));
  EXPECT_EQ("", scannerInfo("spyware_pattern_version"));

  // An information file that cannot be read or written: installed, but not recorded.
  fs::remove(infoFile);
  fs::create_directory(infoFile);
  EXPECT_TRUE(apply(LUREBOX_PATTERN, source, "1.000.00"));
  EXPECT_EQ(" write lurebox_pattern_version to " + infoFile + " failed", ownLines().at(2));
}

TEST_P(ApplyToLocal, SpamRulesWithTheCacheOfANewBase) {
  const std::string rules = *home / "download", cache = *home / "temp/kf/qxase/cache",
                    installed = *home / "lib/pattern/qxase";
  fs::create_directories(rules);
  fs::create_directories(cache);
  for (auto [version, cacheAfter] : {std::pair{"2211.004", "2211.004"},
                                     {"2211.007", "2211.004"},
                                     {"2212.001", "2212.001"},
                                     {"2213", "2212.001"}}) {
    writeFile(rules + "/rule.set", version);
    writeFile(cache + "/cache.bin", version);
    EXPECT_TRUE(apply(QXASE_PATTERN, rules, version)) << version;
    EXPECT_EQ(
        version + std::string(" ") + cacheAfter,
        readFile(installed + "/rules/rule.set") + " " + readFile(installed + "/cache/cache.bin"));
  }
  // Rules that cannot be read are not installed, and the installed version is not moved.
  fs::remove_all(rules);
  EXPECT_FALSE(apply(QXASE_PATTERN, rules, "2214"));
  EXPECT_EQ("2213", scannerInfo(kfScannerInfoVersionKey[QXASE_PATTERN]));
}

// The library is replaced with the services stopped, keeping one backup; a service that is down
// is neither stopped nor started, one that will not come back fails the installation; a copy that
// fails, at once or half-way, leaves the previous library installed and the services started.
TEST_P(ApplyToLocal, EnginesAreReplacedWithTheServicesStoppedOrLeftAsTheyWere) {
  const std::string stopScan = "Stop ORVEL Scan Service Succeed",
                    stopPolicy = "Stop ORVEL Policy Service Succeed",
                    startScan = "Start ORVEL Scan Service Succeed",
                    startPolicy = "Start ORVEL Policy Service Succeed";
  const std::string v1 = OrvelEngineTest::engines("v1") + "/ziran32.dll",
                    v2 = OrvelEngineTest::engines("v2") + "/ziran32.dll",
                    installed = *home / "bin/ziran32.dll";
  const auto installV1 = [&] {
    writeFile(installed, readFile(v1));
    writeFile(installed + ".bak", "an older library");
    ORVEL::ConfigFileOnDisk((*home / "config/scanner.info").c_str())
        .setparam("update", "virus_engine_version", "9.500.1001");
    for (const char* service : {"QxOrvelScan", "QxOrvelPolicy"})
      m_services.services[service] = {{kServiceRunning}};
    m_services.calls.clear();
  };
  const auto applyV2 = [&](const std::string& source) {
    return apply(SCAN_ENGINE, source, "9.750.1042", "ziran32.dll");
  };
  // The library under the installed name, and that the engine loads from it.
  const auto expectInstalled = [&](const std::string& library, const char* version) {
    EXPECT_EQ(readFile(library), readFile(installed));
    QxUpdateVersion loaded;
    std::string msg, bin = *home / "bin";
    EXPECT_TRUE(QxUpdate::verifyByZIRAN(bin.data(), bin.data(), SCAN_ENGINE, msg, loaded, nullptr));
    EXPECT_EQ(std::string(version) + " " + version,
              std::string(loaded.strVersion) + " " + scannerInfo("virus_engine_version"));
  };
  installV1();
  EXPECT_TRUE(applyV2(v2));
  EXPECT_EQ((Lines{stopScan, stopPolicy, startScan, startPolicy}), ownLines());
  EXPECT_EQ((Lines{"QxOrvelScan", "QxOrvelPolicy"}), m_services.callsOf("start"));
  EXPECT_EQ((Lines{"ziran32.dll", "ziran32.dll.bak"}), OrvelEngineTest::filesIn(*home / "bin"));
  EXPECT_EQ(readFile(v1), readFile(installed + ".bak"));
  expectInstalled(v2, "9.750.1042");

  installV1();
  m_services.services["QxOrvelScan"].states = {kServiceStopped};
  m_services.services["QxOrvelPolicy"].answers["start"] = {{1058, {}}};
  EXPECT_FALSE(applyV2(v2));
  EXPECT_EQ((Lines{stopPolicy, "Start ORVEL Service Failed. You need to manually restart it."}),
            ownLines());
  EXPECT_EQ((Lines{"QxOrvelPolicy"}), m_services.callsOf("stop"));
  expectInstalled(v2, "9.750.1042");

  installV1();
  EXPECT_FALSE(applyV2(*home / "missing.dll"));
  EXPECT_EQ(
      (Lines{stopScan, stopPolicy,
             " copy file failed, src=" + *home / "missing.dll, dst=" + installed + ", errno=2",
             startScan, startPolicy}),
      ownLines());
  EXPECT_EQ((Lines{"QxOrvelScan", "QxOrvelPolicy"}), m_services.callsOf("start"));

  // The file system refuses to grow the copy half-way through.
  const auto limit = static_cast<rlim_t>(fs::file_size(v2) / 2);
  ASSERT_GT(limit, fs::file_size(*home / "log/orvel.log") + 4096);
  EXPECT_EQ(1, OrvelTest::runInChild([&] {
              ::signal(SIGXFSZ, SIG_IGN);
              const rlimit fileSize{limit, limit};
              ::setrlimit(RLIMIT_FSIZE, &fileSize);
              return applyV2(v2) ? 0 : 1;
            }));
  EXPECT_EQ((Lines{stopScan, stopPolicy,
                   " copy file failed, src=" + v2 + ", dst=" + installed + ", errno=27", startScan,
                   startPolicy}),
            ownLines());
  EXPECT_EQ((Lines{"ziran32.dll"}), OrvelEngineTest::filesIn(*home / "bin"));
  expectInstalled(v1, "9.500.1001");
}
