#include "OrvelKF/VersionText.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <vector>

#include "OrvelPlatform/Clock.h"
#include "VersionTokens.h"

namespace {

// Product versions were 32-bit numbers; a larger value is as unusable as an
// overflowing one.
constexpr unsigned long kVersionNumberOverflow = 10000;
constexpr unsigned long kVersionNumberTooShort = 10000;
constexpr unsigned short kVersionMinorTooShort = 100;

unsigned long readVersionNumber(const std::string& digits) {
  errno = 0;
  unsigned long long value = std::strtoull(digits.c_str(), nullptr, 10);
  if (errno == ERANGE || value > UINT32_MAX) return kVersionNumberOverflow;
  return static_cast<unsigned long>(value);
}

}  // namespace

void getVerByNumber(unsigned long& number, unsigned short& minor, const char* version) {
  std::vector<std::string> tokens = kfSplitVersion(version, ".");
  if (tokens.size() < 3) {
    number = kVersionNumberTooShort;
    minor = kVersionMinorTooShort;
    return;
  }
  number = readVersionNumber(tokens[0] + tokens[1] + tokens[2]);
  minor = static_cast<unsigned short>(std::strtoul(tokens[1].c_str(), nullptr, 10));
}

void formatPatternVersion(unsigned number, std::string& out) {
  const std::string digits = std::to_string(number);
  const long count = static_cast<long>(digits.size());
  out.clear();
  for (long i = 0; i < count; ++i) {
    if (i == count - 5 || i == count - 2) out += '.';
    out += digits[i];
  }
  if (!out.empty() && out[0] == '.') out.insert(0, "0");
}

int getcurtime(std::string& format) {
  std::tm local{};
  if (!OrvelPlatform::clock().localTime(OrvelPlatform::clock().now(), &local)) {
    format.clear();
    return -1;
  }
  char buffer[256];
  std::size_t length = format.empty() ? 0 : std::strftime(buffer, sizeof buffer, format.c_str(), &local);
  if (length == 0) length = std::strftime(buffer, sizeof buffer, "%m/%d/%Y %X", &local);
  format.assign(buffer, length);
  return 0;
}

unsigned kfScaleMinorVersion(unsigned minor) {
  if (minor < 10) return minor * 100;
  if (minor < 100) return minor * 10;
  return minor;
}
