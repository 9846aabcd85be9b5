#include "OrvelKF/KFBlobManager.h"

#include <cstdlib>
#include <cstring>
#include <string>

namespace {

int compareNumbers(double first, double second) {
  if (first < second) return 1;
  if (first > second) return -1;
  return 0;
}

// "17461.001" has the fraction 0.001; a text without "." has none.
double spamPatternFraction(const char* text) {
  const char* dot = std::strchr(text, '.');
  return dot ? std::strtod(("0" + std::string(dot)).c_str(), nullptr) : 0.0;
}

// "5.763.00" continues with 763.00 after its first "."; without "." it is 0.
double afterFirstDot(const char* text) {
  const char* dot = std::strchr(text, '.');
  return dot ? std::strtod(dot + 1, nullptr) : 0.0;
}

int compareSpamPatternVersions(const char* first, const char* second) {
  const long firstBase = std::atol(first);
  const long secondBase = std::atol(second);
  if (secondBase != firstBase) return secondBase > firstBase ? 1 : -1;
  return compareNumbers(spamPatternFraction(first), spamPatternFraction(second));
}

// Reads the leading number ("5.763.00" as 5.763), then what follows the first
// "." to tell apart texts whose leading numbers are equal. Double precision:
// single precision took builds such as 500.12345 and 500.12346 for equal.
int compareDottedVersions(const char* first, const char* second) {
  int result = compareNumbers(std::strtod(first, nullptr), std::strtod(second, nullptr));
  if (result != 0) return result;
  return compareNumbers(afterFirstDot(first), afterFirstDot(second));
}

}  // namespace

int KFBlobManager::CmpVersion(QxUpdateType type, const char* first, const char* second) {
  if (!first || !second || type == QXASE_PATCH) return -1;
  if (type == QXASE_PATTERN) return compareSpamPatternVersions(first, second);
  return compareDottedVersions(first, second);
}
