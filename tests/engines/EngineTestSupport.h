// What the engine tests share: where the reference engines and their broken variants are, a log
// that keeps every level and can be read back line by line, and the product's message texts.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "OrvelCommon/QxResbundle.h"
#include "OrvelEngines/EngineFiles.h"
#include "TempDir.h"

namespace OrvelEngineTest {

// A build of the reference engines: "v1" (older) or "v2" (newer).
std::string engines(const char* build);
// The folder of one broken variant (tests/engines/CMakeLists.txt).
std::string broken(const char* variant);

// The texts of the product's message keys, as the tests expect them.
constexpr const char* kVerifyErr = "The component could not be verified by the scan engine.";
constexpr const char* kPatternReadErr = "Unable to read the pattern file.";
constexpr const char* kFileCorrupt = "The downloaded file is corrupt.";

// "<level> text" of every line written to the log since the last call.
class LogReader {
 public:
  explicit LogReader(std::string file) : m_file(std::move(file)) {}
  std::vector<std::string> take();

 private:
  std::string m_file;
  std::size_t m_read = 0;
};

// A scratch folder, a log at level 4 in it, the message texts for "en_US".
class EngineTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  std::string dir(const std::string& relative) const;  // created when missing
  std::vector<std::string> logLines() { return m_log->take(); }

  OrvelTest::TempDir m_scratch;
  ORVEL::QxResbundle m_bundle;
  std::unique_ptr<LogReader> m_log;
};

// Pattern files of one kind in a folder; numbers are internal / 100.
void writePatterns(const std::string& folder, OrvelEngines::PatternKind kind,
                   const std::vector<std::uint32_t>& internalVersions);
// Names of the files in a folder, sorted.
std::vector<std::string> filesIn(const std::string& folder);
// "QxUpdate [file.cpp][123]: text" without "[123]": source lines move as the code does.
std::string withoutSourceLine(std::string line);
// Damages a file in place: overwrites one byte at offset with its complement.
void flipByte(const std::string& path, std::size_t offset);

}  // namespace OrvelEngineTest
