#include "VersionTokens.h"

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "OrvelKF/VersionText.h"

namespace {
// Version texts are read from 64-byte buffers.
constexpr std::size_t kVersionTextLimit = 63;

// Parts never carry a sign (a "-" separates them); a part too large for an int
// stays at the largest one instead of wrapping.
int readDecimal(const std::string& token) {
  long value = std::strtol(token.c_str(), nullptr, 10);
  if (value < 0) return 0;
  return value > INT_MAX ? INT_MAX : static_cast<int>(value);
}
}  // namespace

std::vector<std::string> kfSplitVersion(const char* version, const char* separators) {
  std::vector<std::string> tokens;
  if (!version) return tokens;
  const std::string text(version, strnlen(version, kVersionTextLimit));
  std::size_t start = 0;
  while (start <= text.size()) {
    std::size_t end = text.find_first_of(separators, start);
    if (end == std::string::npos) end = text.size();
    if (end > start) tokens.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  return tokens;
}

bool kfReformatEngineVersion(std::string& version) {
  if (version == "0.0") return true;
  std::vector<std::string> tokens = kfSplitVersion(version.c_str(), ".-");
  if (tokens.size() < 3) return false;
  const int major = readDecimal(tokens[0]);
  const unsigned minor = kfScaleMinorVersion(static_cast<unsigned>(readDecimal(tokens[1])));
  const int build = readDecimal(tokens[2]);
  char buffer[64];
  std::snprintf(buffer, sizeof buffer, "%d.%03u.%04d", major, minor, build);
  version = buffer;
  return true;
}
