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
  std::string logText() const { return readFile(m_dir / Log::kFileName); }
  std::string prefix(int level) const {
    return "2023-11-14 22:13:20 [" + std::to_string(getpid()) + "] <" + std::to_string(level) +
           "> ";
  }
  // Every line of orvel.log.N ... orvel.log.1 and orvel.log, oldest first.
  std::vector<std::string> allLines(int keep) const {
    std::string text;
    for (int i = keep; i >= 0; --i) {
      const std::string file = m_dir / (Log::kFileName + (i ? "." + std::to_string(i) : ""));
      if (fileExists(file)) text += readFile(file);
    }
    std::istringstream in(text);
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
  }

  OrvelTest::TempDir m_dir;
  OrvelTest::FakeClock m_clock{1700000000};
};

TEST_F(LogTest, OneLineWithTimeProcessAndLevelPerCallFilteredByTheThreshold) {
  Log::SetThreshold(2);
  for (int level = 1; level <= 4; ++level)
    Log::LogByLevel(static_cast<ORVEL::OrvelLogLevel>(level), "level %d of %s", level, "a.cpp");
  Log::Debug("debug line");
  Log::LogErrorToFile("KFBlobManager::_addKFBlob: can not open file: %s", "/x/y");
  const std::string expected = prefix(1) + "level 1 of a.cpp\n" + prefix(2) + "level 2 of a.cpp\n" +
                               prefix(1) + "KFBlobManager::_addKFBlob: can not open file: /x/y\n";
  EXPECT_EQ(expected, logText());

  Log::SetThreshold(-1);
  setenv("ORVEL_LOG_LEVEL", "4", 1);
  EXPECT_EQ(4, Log::Threshold());
  Log::Debug("from environment");
  EXPECT_EQ(expected + prefix(3) + "from environment\n", logText());
}

// That lines go to the log below the product's home shows in every run of the update object.
TEST_F(LogTest, LinesAreCutKeptOnOneLineOrLostButNeverStopTheCaller) {
  // A line that cannot be written is lost and the caller goes on.
  ASSERT_EQ(0, ::symlink("/dev/full", (m_dir / Log::kFileName).c_str()));
  Log::LogByLevel(ORVEL::ORVEL_LOG_ERROR, "lost on a full disk");
  ::unlink((m_dir / Log::kFileName).c_str());
  Log::LogByLevel(ORVEL::ORVEL_LOG_ERROR, "kept");
  EXPECT_EQ(prefix(1) + "kept\n", logText());
  ::unlink((m_dir / Log::kFileName).c_str());

  // Long text is cut and embedded line ends stay on one line.
  Log::LogByLevel(ORVEL::ORVEL_LOG_ERROR, "%s", std::string(3 * Log::kMaxLineBytes, 'x').c_str());
  Log::LogByLevel(ORVEL::ORVEL_LOG_ERROR, "first\nsecond\r\nthird\r\n\n");
  EXPECT_EQ(prefix(1) + std::string(Log::kMaxLineBytes - prefix(1).size() - 1, 'x') + "\n" +
                prefix(1) + "first second  third\n",
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
