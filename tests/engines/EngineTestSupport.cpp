#include "EngineTestSupport.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "OrvelCommon/Log.h"

namespace fs = std::filesystem;

namespace OrvelEngineTest {

std::string engines(const char* build) { return std::string(ORVEL_ENGINES_DIR) + "/" + build; }
std::string broken(const char* variant) {
  return std::string(ORVEL_BROKEN_ENGINES_DIR) + "/" + variant;
}

std::vector<std::string> LogReader::take() {
  std::vector<std::string> lines;
  if (!OrvelTest::fileExists(m_file)) return lines;
  const std::string text = OrvelTest::readFile(m_file);
  std::istringstream in(text.substr(std::min(m_read, text.size())));
  m_read = text.size();
  // "2024-05-01 13:07:42 [4711] <1> text": keep what follows the process id.
  for (std::string line; std::getline(in, line);) {
    const std::size_t level = line.find("] <");
    lines.push_back(level == std::string::npos ? line : line.substr(level + 2));
  }
  return lines;
}

void EngineTest::SetUp() {
  ORVEL::Log::Configure(m_scratch.path().c_str(), ORVEL::ORVEL_LOG_DETAIL, 0, 0);
  m_log = std::make_unique<LogReader>(m_scratch / ORVEL::Log::kFileName);
  const std::string resources = std::string(ORVEL_TEST_RESOURCE_DIR) + "/";
  ASSERT_TRUE(m_bundle._init(resources.c_str(), "IDG_ORVEL_UTIL", "en_US"));
}

void EngineTest::TearDown() { ORVEL::Log::Configure(nullptr, -1); }

std::string EngineTest::dir(const std::string& relative) const {
  const std::string path = m_scratch / relative;
  fs::create_directories(path);
  return path;
}

void writePatterns(const std::string& folder, OrvelEngines::PatternKind kind,
                   const std::vector<std::uint32_t>& internalVersions) {
  for (std::uint32_t internal : internalVersions) {
    ASSERT_EQ(OrvelEngines::FileCheck::kOk,
              OrvelEngines::writePatternFile(folder, kind, internal,
                                             static_cast<std::uint16_t>(internal / 100), 1000));
  }
}

std::vector<std::string> filesIn(const std::string& folder) {
  std::vector<std::string> names;
  std::error_code ec;
  for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec))
    names.push_back(it->path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

std::string withoutSourceLine(std::string line) {
  const std::size_t file = line.find(".cpp][");
  const std::size_t close = file == std::string::npos ? file : line.find("]:", file + 5);
  if (close != std::string::npos) line.erase(file + 5, close - file - 4);
  return line;
}

void flipByte(const std::string& path, std::size_t offset) {
  std::fstream file(path, std::ios::in | std::ios::out | std::ios::binary);
  ASSERT_TRUE(file) << path;
  file.seekg(static_cast<std::streamoff>(offset));
  const char byte = static_cast<char>(~file.get());
  file.seekp(static_cast<std::streamoff>(offset));
  file.put(byte);
  ASSERT_TRUE(file) << path;
}

}  // namespace OrvelEngineTest
