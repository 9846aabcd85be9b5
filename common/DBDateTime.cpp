#include "DBDateTime.h"

#include <cctype>
#include <ctime>

namespace ORVEL {

namespace {

// Reads exactly digits decimal digits at p.
bool readDigits(const char*& p, int digits, int& value) {
  value = 0;
  for (int i = 0; i < digits; ++i) {
    if (!std::isdigit(static_cast<unsigned char>(*p))) return false;
    value = value * 10 + (*p++ - '0');
  }
  return true;
}

bool readExpected(const char*& p, char c) {
  if (*p != c) return false;
  ++p;
  return true;
}

// Nanoseconds of a fraction's digits; digits beyond nine are dropped.
std::uint32_t readFraction(const char*& p) {
  std::uint32_t nanos = 0;
  int digits = 0;
  for (; std::isdigit(static_cast<unsigned char>(*p)); ++p) {
    if (digits < 9) {
      nanos = nanos * 10 + static_cast<std::uint32_t>(*p - '0');
      ++digits;
    }
  }
  for (; digits < 9; ++digits) nanos *= 10;
  return nanos;
}

// "Z", "+HH", "+HH:MM", "+HHMM"; sets seconds east of UTC.
bool readOffset(const char*& p, long& seconds) {
  if (*p == 'Z') {
    ++p;
    seconds = 0;
    return true;
  }
  if (*p != '+' && *p != '-') return false;
  const int sign = *p++ == '-' ? -1 : 1;
  int hours = 0;
  int minutes = 0;
  if (!readDigits(p, 2, hours)) return false;
  if (*p == ':') ++p;
  if (std::isdigit(static_cast<unsigned char>(*p)) && !readDigits(p, 2, minutes)) return false;
  seconds = sign * (hours * 3600L + minutes * 60L);
  return true;
}

bool fieldsInRange(const QxDBTimestamp& v) {
  return v.month >= 1 && v.month <= 12 && v.day >= 1 && v.day <= 31 && v.hour <= 23 &&
         v.minute <= 59 && v.second <= 60;
}

bool toLocal(QxDBTimestamp& value, long offsetSeconds) {
  std::tm utc = {};
  utc.tm_year = value.year - 1900;
  utc.tm_mon = value.month - 1;
  utc.tm_mday = value.day;
  utc.tm_hour = value.hour;
  utc.tm_min = value.minute;
  utc.tm_sec = value.second;
  const std::uint32_t fraction = value.fraction;
  if (!localTimestampFromEpoch(static_cast<std::int64_t>(timegm(&utc)) - offsetSeconds, value))
    return false;
  value.fraction = fraction;
  return true;
}

}  // namespace

bool parseDateTimeText(const char* text, QxDBTimestamp& value) {
  if (!text) return false;
  QxDBTimestamp v;
  const char* p = text;
  if (!readDigits(p, 4, v.year) || !readExpected(p, '-') || !readDigits(p, 2, v.month) ||
      !readExpected(p, '-') || !readDigits(p, 2, v.day))
    return false;
  if (*p != ' ' && *p != 'T') return false;
  ++p;
  if (!readDigits(p, 2, v.hour) || !readExpected(p, ':') || !readDigits(p, 2, v.minute))
    return false;
  if (*p == ':') {
    ++p;
    if (!readDigits(p, 2, v.second)) return false;
    if (*p == '.') v.fraction = readFraction(++p);
  }
  if (!fieldsInRange(v)) return false;
  long offset = 0;
  const bool hasOffset = *p != '\0';
  if (hasOffset && (!readOffset(p, offset) || *p != '\0')) return false;
  if (hasOffset && !toLocal(v, offset)) return false;
  value = v;
  return true;
}

bool localTimestampFromEpoch(std::int64_t seconds, QxDBTimestamp& value) {
  const std::time_t t = static_cast<std::time_t>(seconds);
  std::tm local = {};
  if (!localtime_r(&t, &local)) return false;
  value.year = local.tm_year + 1900;
  value.month = local.tm_mon + 1;
  value.day = local.tm_mday;
  value.hour = local.tm_hour;
  value.minute = local.tm_min;
  value.second = local.tm_sec;
  value.fraction = 0;
  return true;
}

}  // namespace ORVEL
