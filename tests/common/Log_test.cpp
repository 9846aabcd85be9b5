#include "OrvelCommon/Log.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

#include "FakeClock.h"
#include "TempDir.h"

using ORVEL::Log;
using OrvelTest::fileExists;
using OrvelTest::readFile;

namespace {

class LogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    unsetenv("ORVEL_LOG_LEVEL");
    Log::Configure(m_dir.path().c_str(), ORVEL::ORVEL_LOG_DETAIL, 0, 0);
  }
  void TearDown() override {
    unsetenv("ORVEL_LOG_LEVEL");
    Log::Configure(nullptr, -1);
  }
  std::string logText() const {
    const std::string path = m_dir / Log::kFileName;
    return fileExists(path) ? readFile(path) : std::string();
  }
  std::string prefix(int level) const {
    return "2023-11-14 22:13:20 [" + std::to_string(getpid()) + "] <" + std::to_string(level) +
           "> ";
  }
  // Every line of orvel.log.N ... orvel.log.1 and orvel.log, oldest first.
  std::vector<std::string> allLines(int keep) const {
    std::string text;
    for (int i = keep; i >= 1; --i) {
      const std::string rotated = m_dir / (std::string(Log::kFileName) + "." + std::to_string(i));
      if (fileExists(rotated)) text += readFile(rotated);
    }
    std::istringstream in(text + logText());
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
  }

  OrvelTest::TempDir m_dir;
  OrvelTest::FakeClock m_clock{1700000000};
};

TEST_F(LogTest, OneLineWithTimeProcessAndLevelPerCallFilteredByTheThreshold) {
  Log::LogByLevel(ORVEL::ORVEL_LOG_TRACE, "QxUpdate [%s][%d]: enter function %s", "a.cpp", 12,
                  "download");
  Log::LogErrorToFile("KFBlobManager::_addKFBlob: can not open file: %s", "/x/y");
  Log::Debug("detail error code return valuse is %d", 0x1C0194);
  std::string expected = prefix(3) + "QxUpdate [a.cpp][12]: enter function download\n" + prefix(1) +
                         "KFBlobManager::_addKFBlob: can not open file: /x/y\n" + prefix(3) +
                         "detail error code return valuse is 1835412\n";
  EXPECT_EQ(expected, logText());

  Log::SetThreshold(2);
  for (int level = 1; level <= 4; ++level)
    Log::LogByLevel(static_cast<ORVEL::OrvelLogLevel>(level), "level %d", level);
  Log::Debug("debug line");
  expected += prefix(1) + "level 1\n" + prefix(2) + "level 2\n";
  EXPECT_EQ(expected, logText());

  Log::SetThreshold(-1);
  EXPECT_EQ(Log::kDefaultThreshold, Log::Threshold());
  setenv("ORVEL_LOG_LEVEL", "4", 1);
  EXPECT_EQ(4, Log::Threshold());
  Log::LogByLevel(ORVEL::ORVEL_LOG_DETAIL, "from environment");
  EXPECT_EQ(expected + prefix(4) + "from environment\n", logText());
  setenv("ORVEL_LOG_LEVEL", "1", 1);
  Log::SetThreshold(3);
  EXPECT_EQ(3, Log::Threshold()) << "a threshold set by code wins over the environment";
}

TEST_F(LogTest, LinesGoBelowTheHomeAreCutKeptOnOneLineOrLostButNeverStopTheCaller) {
  OrvelTest::TempDir home;
  Log::Configure(nullptr, 1);
  OrvelTest::ScopedEnvironment inHome("ORVEL_HOME", home.path().c_str());
  EXPECT_EQ(home / "log/orvel.log", Log::FilePath());
  Log::LogByLevel(ORVEL::ORVEL_LOG_ERROR, "below the home");
  unsetenv("ORVEL_HOME");
  EXPECT_EQ("", Log::FilePath());
  EXPECT_EQ(prefix(1) + "below the home\n", readFile(home / "log/orvel.log"));

  // A line that cannot be written is lost and the caller goes on.
  Log::Configure(m_dir.path().c_str(), ORVEL::ORVEL_LOG_DETAIL, 0, 0);
  ASSERT_EQ(0, ::symlink("/dev/full", (m_dir / Log::kFileName).c_str()));
  Log::LogByLevel(ORVEL::ORVEL_LOG_ERROR, "lost on a full disk");
  ::unlink((m_dir / Log::kFileName).c_str());
  Log::LogByLevel(ORVEL::ORVEL_LOG_ERROR, "kept");
  EXPECT_EQ(prefix(1) + "kept\n", logText());
  ::unlink((m_dir / Log::kFileName).c_str());

  // Long text is cut and embedded line ends stay on one line.
  Log::LogByLevel(ORVEL::ORVEL_LOG_ERROR, "%s", std::string(3 * Log::kMaxLineBytes, 'x').c_str());
  Log::LogByLevel(ORVEL::ORVEL_LOG_ERROR, "first\nsecond\r\nthird\r\n\n");
  const char* volatile nothing = nullptr;
  Log::LogByLevel(ORVEL::ORVEL_LOG_ERROR, nothing);
  EXPECT_EQ(prefix(1) + std::string(Log::kMaxLineBytes - prefix(1).size() - 1, 'x') + "\n" +
                prefix(1) + "first second  third\n" + prefix(1) + "\n",
            logText());
}

TEST_F(LogTest, RotationKeepsEveryLineInOrderOnlyTheGivenNumberOfFilesAndReopens) {
  Log::Configure(m_dir.path().c_str(), 4, 1000, 50);
  std::vector<std::string> expected;
  for (int i = 100; i < 300; ++i) {
    Log::LogByLevel(ORVEL::ORVEL_LOG_ERROR, "line %d", i);
    expected.push_back(prefix(1) + "line " + std::to_string(i));
  }
  EXPECT_EQ(expected, allLines(50));

  OrvelTest::TempDir few;
  Log::Configure(few.path().c_str(), 4, 1000, 2);
  for (int i = 0; i < 200; ++i) Log::LogByLevel(ORVEL::ORVEL_LOG_ERROR, "line %03d", i);
  EXPECT_TRUE(fileExists(few / "orvel.log.2"));
  EXPECT_FALSE(fileExists(few / "orvel.log.3"));
  // A writer whose file was rotated away by someone else opens the new one.
  Log::LogByLevel(ORVEL::ORVEL_LOG_ERROR, "before");
  ASSERT_EQ(0, ::rename((few / "orvel.log").c_str(), (few / "moved").c_str()));
  Log::LogByLevel(ORVEL::ORVEL_LOG_ERROR, "after");
  EXPECT_EQ(prefix(1) + "after\n", readFile(few / "orvel.log"));
}

}  // namespace
