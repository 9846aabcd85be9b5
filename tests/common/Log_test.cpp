#include "OrvelCommon/Log.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

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
  // The text of orvel.log.N ... orvel.log.1 and orvel.log, oldest first.
  std::string allText(int keep) const {
    std::string text;
    for (int i = keep; i >= 0; --i) {
      const std::string file = m_dir / (Log::kFileName + (i ? "." + std::to_string(i) : ""));
      if (fileExists(file)) text += readFile(file);
    }
    return text;
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
  Log::LogByLevel(ORVEL::ORVEL_LOG_DETAIL, "from environment");
  EXPECT_EQ(expected + prefix(4) + "from environment\n", logText());
}

// That lines go to the log below the product's home shows in every run of the update object.
TEST_F(LogTest, LongLinesAreCutAndLineEndsKeptOnOneLine) {
  Log::LogByLevel(ORVEL::ORVEL_LOG_ERROR, "%s", std::string(3 * Log::kMaxLineBytes, 'x').c_str());
  Log::LogByLevel(ORVEL::ORVEL_LOG_ERROR, "first\nsecond\r\nthird\r\n\n");
  EXPECT_EQ(prefix(1) + std::string(Log::kMaxLineBytes - prefix(1).size() - 1, 'x') + "\n" +
                prefix(1) + "first second  third\n",
            logText());
}

// A writer whose file was rotated away by someone else opens the new one.
TEST_F(LogTest, RotationKeepsEveryLineInOrderAndAWriterReopensAMovedFile) {
  Log::Configure(m_dir.path().c_str(), 4, 1000, 50);
  std::string expected;
  for (int i = 100; i < 300; ++i) {
    Log::LogByLevel(ORVEL::ORVEL_LOG_ERROR, "line %d", i);
    expected += prefix(1) + "line " + std::to_string(i) + "\n";
  }
  EXPECT_EQ(expected, allText(50));
  Log::LogByLevel(ORVEL::ORVEL_LOG_ERROR, "before");
  ASSERT_EQ(0, ::rename((m_dir / "orvel.log").c_str(), (m_dir / "moved").c_str()));
  Log::LogByLevel(ORVEL::ORVEL_LOG_ERROR, "after");
  EXPECT_EQ(prefix(1) + "after\n", logText());
}

}  // namespace
