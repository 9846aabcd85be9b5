// Small helpers that several sources of the update object share: how a number is read from a
// setting, how a message key with one text argument becomes a text, and the message of an object
// that could not be set up.
#pragma once

#include <unicode/fmtable.h>
#include <unicode/unistr.h>

#include <cctype>
#include <climits>
#include <string>
#include <vector>

#include "OrvelCommon/QxResbundle.h"

// What every operation of an object whose set-up failed tells its caller.
inline constexpr const char* kfSystemErrorText = "System Error: unable to continue to do update.\n";

// A spam rule version is its base version times this plus the number of the incremental pattern.
inline constexpr unsigned kfRuleVersionsPerBase = 1000;

// The file name the global settings are read and written with.
inline constexpr const char* kfSettingsFile = "orvel.ini";

// The scanner information file below the home, and its section of installed versions and times.
inline constexpr const char* kfScannerInfoFile = "/config/scanner.info";
inline constexpr const char* kfScannerInfoSection = "update";

// The number a setting text starts with, read the way atoi reads it (blanks, then a sign, then
// digits; 0 when there are none), but held within the range of a long long instead of
// overflowing.
inline long long kfLeadingNumber(const std::string& text) {
  std::size_t at = 0;
  while (at < text.size() && std::isspace(static_cast<unsigned char>(text[at]))) ++at;
  const bool negative = at < text.size() && text[at] == '-';
  if (at < text.size() && (text[at] == '-' || text[at] == '+')) ++at;
  long long value = 0;
  for (; at < text.size() && std::isdigit(static_cast<unsigned char>(text[at])); ++at) {
    const int digit = text[at] - '0';
    value = value > (LLONG_MAX - digit) / 10 ? LLONG_MAX : value * 10 + digit;
  }
  return negative ? -value : value;
}

// A port number from a setting: its leading number when that is a port (0 to 65535), else 0, so
// that a negative or oversized text never wraps into some other port.
inline unsigned kfPortNumber(const std::string& text) {
  const long long value = kfLeadingNumber(text);
  return value >= 0 && value <= 65535 ? static_cast<unsigned>(value) : 0;
}

// The text of a message key formatted with one text and "0" as its arguments; empty when the
// bundle is missing or has no such key.
inline std::string kfFormatWithText(ORVEL::QxResbundle* bundle, const char* key,
                                    const std::string& first) {
  std::string text;
  if (bundle) {
    bundle->format(
        key,
        std::vector<icu::Formattable>{icu::Formattable(icu::UnicodeString::fromUTF8(first)),
                                      icu::Formattable(icu::UnicodeString::fromUTF8("0"))},
        text);
  }
  return text;
}
