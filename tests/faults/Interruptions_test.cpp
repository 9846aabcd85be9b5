// A console update killed at moments spread over its run: after each kill the scanner holds whole
// files only (the previous or the new one under every installed name, an engine it can load), the
// central store holds the rows from before or after, and the next run completes the update.
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <thread>

#include "../common/ChildProcess.h"
#include "EndToEnd.h"

namespace fs = std::filesystem;
using namespace OrvelEndToEnd;

namespace {

// Moments of the run, each named by the log line that the child writes when it gets there.
const char* const kKillPoints[] = {
    "QxUpdate::_downloadUtil download scan engine now",
    "QxUpdate::verifyByZIRAN load engine",
    "QxUpdate::applyToLocal Stop ORVEL Scan Service Succeed",
    "QxUpdate::applyToLocal Stop ORVEL Policy Service Succeed",
    "QxUpdate::applyToLocal Start ORVEL Scan Service Succeed",
    "QxUpdate::_downloadUtil download virus pattern now",
    "QxUpdate::verifyByZIRAN PatternCheck start",
    "QxUpdate::_processPattern: verifyByZIRAN returned",
    "enter function _KFBlob",  // the upload into the central store
};

// Waits until the log holds text after offset, reading only what was added; false after about
// five seconds. The kill must follow the line closely, before the run gets much further.
bool awaitLine(const std::string& log, std::size_t offset, const std::string& text) {
  std::ifstream in(log, std::ios::binary);
  std::string added;
  char buffer[65536];
  for (int i = 0; i < 50000; ++i) {
    in.clear();
    in.seekg(static_cast<std::streamoff>(offset + added.size()));
    in.read(buffer, sizeof buffer);
    const std::size_t searchFrom = added.size() > text.size() ? added.size() - text.size() : 0;
    added.append(buffer, static_cast<std::size_t>(in.gcount()));
    if (added.find(text, searchFrom) != std::string::npos) return true;
    if (in.gcount() == 0) std::this_thread::sleep_for(std::chrono::microseconds(100));
  }
  return false;
}

}  // namespace

class Interruptions : public EndToEnd {
 protected:
  // Whole files only: every installed name holds the old or the new bytes.
  void expectWholeFiles(const std::string& point) {
    SCOPED_TRACE(point);
    const std::string bin = *home / "bin", ziran = *home / "lib/pattern/ziran";
    const std::string v1 = content(OrvelEngineTest::engines("v1") + "/ziran32.dll");
    const std::string v2 = content(newFiles() + "/ziran32.dll");
    const std::string engine = content(bin + "/ziran32.dll");
    EXPECT_TRUE(engine == v1 || engine == v2);
    if (fs::exists(bin + "/ziran32.dll.bak")) {
      EXPECT_EQ(v1, content(bin + "/ziran32.dll.bak"));
    }
    if (fs::exists(ziran + "/ksv$pat.764")) {
      EXPECT_EQ(content(newFiles() + "/ksv$pat.764"), content(ziran + "/ksv$pat.764"));
    }
    EXPECT_TRUE(fs::exists(ziran + "/ksv$pat.763"));
    for (auto [type, before, after] : {std::tuple{SCAN_ENGINE, "9.500.1001", "9.750.1042"},
                                       std::tuple{VIRUS_PATTERN, "5.763.00", "5.764.00"}}) {
      const std::string now = centralVersion(type);
      EXPECT_TRUE(now == before || now == after) << now;
      EXPECT_EQ(now == after ? before : "", centralVersion(type + 100));
    }
  }

  // A console update of the scan engine and then the virus pattern.
  int update() {
    const int engine = consoleUpdate(SCAN_ENGINE);
    if (engine != SUCCESS && engine != UP_TO_DATE) return engine;
    const int pattern = consoleUpdate(VIRUS_PATTERN);
    return pattern == UP_TO_DATE ? SUCCESS : pattern;
  }
};

TEST_P(Interruptions, AKilledConsoleUpdateLeavesWholeFilesAndTheNextRunCompletesIt) {
  publishNewComponents();
  const std::string log = *home / "log/orvel.log";

  // A loaded machine may let a run finish the few steps after its last line before the kill
  // lands; most runs must still die on the way.
  std::size_t killed = 0;
  for (const char* point : kKillPoints) {
    const std::size_t offset = content(log).size();
    const pid_t child = OrvelTest::startChild([&] { return update(); });
    ASSERT_GT(child, 0);
    const bool reached = awaitLine(log, offset, point);
    ::kill(child, SIGKILL);
    killed += OrvelTest::waitChild(child) == -1;
    EXPECT_TRUE(reached) << point;
    expectWholeFiles(point);
  }

  EXPECT_GT(killed, std::size(kKillPoints) / 2);
  EXPECT_EQ(SUCCESS, update());
  expectWholeFiles("the next run");
  EXPECT_EQ(content(newFiles() + "/ziran32.dll"), content(*home / "bin/ziran32.dll"));
  EXPECT_EQ(content(newFiles() + "/ksv$pat.764"), content(*home / "lib/pattern/ziran/ksv$pat.764"));
  EXPECT_EQ("9.750.1042", scannerInfo(kfScannerInfoVersionKey[SCAN_ENGINE]));
  EXPECT_EQ("5.764.00", scannerInfo(kfScannerInfoVersionKey[VIRUS_PATTERN]));
}

INSTANTIATE_TEST_SUITE_P(SQLite, Interruptions, ::testing::Values(OrvelTest::Backend::kSqlite),
                         OrvelTest::backendName);
