#include "Settings.h"

#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>

#include "ClientError.h"
#include "OrvelPlatform/Path.h"
#include "feed/FeedFormat.h"

namespace QxuClient {

namespace {

constexpr std::size_t kMaxTextProperty = 4095;
constexpr long kMinTimeoutMs = 50;
constexpr long kMaxTimeoutMs = 86400L * 1000;
constexpr long kMaxLowSpeedLimit = 1L << 30;  // bytes per second

// Reads the leading decimal number of a text ("90", "0.25", "15abc" -> 15):
// the caller may hand over a setting with trailing letters, and the leading
// number is what it means. Fractions allow time-outs below one second.
bool leadingDecimal(const std::string& text, double* value) {
  const char* p = text.c_str();
  while (*p == ' ' || *p == '\t') ++p;
  if (*p < '0' || *p > '9') return false;
  double whole = 0;
  for (; *p >= '0' && *p <= '9'; ++p) whole = whole * 10 + (*p - '0');
  if (*p == '.') {
    double scale = 0.1;
    for (++p; *p >= '0' && *p <= '9'; ++p, scale /= 10) whole += (*p - '0') * scale;
  }
  *value = whole;
  return true;
}

bool secondsAsMilliseconds(const std::string& text, long* ms) {
  double seconds = 0;
  if (!leadingDecimal(text, &seconds)) return false;
  const double value = seconds * 1000.0;
  if (value < kMinTimeoutMs || value > kMaxTimeoutMs) return false;
  *ms = static_cast<long>(value);
  return true;
}

bool wholeNumber(const std::string& text, long min, long max, long* out) {
  double value = 0;
  if (!leadingDecimal(text, &value) || value < min || value > max) return false;
  *out = static_cast<long>(value);
  return true;
}

bool isFolder(const std::string& path) {
  struct stat st;
  return !path.empty() && ::stat(OrvelPlatform::toOsPath(path).c_str(), &st) == 0 &&
         S_ISDIR(st.st_mode);
}

std::string millisecondsAsSeconds(long ms) {
  std::string text = std::to_string(ms / 1000);
  if (ms % 1000 != 0) {
    char fraction[8];
    std::snprintf(fraction, sizeof fraction, ".%03ld", ms % 1000);
    text += fraction;
  }
  return text;
}

}  // namespace

bool applyProperty(Settings* s, const std::string& name, const std::string& value) {
  long number = 0;
  if (name == "UserAgent") {
    if (value.size() > kMaxTextProperty) return false;
    s->userAgent = value;
    return true;
  }
  if (name == "SocketTimeoutConnect") return secondsAsMilliseconds(value, &s->connectTimeoutMs);
  if (name == "SocketTimeout") return secondsAsMilliseconds(value, &s->stallTimeoutMs);
  if (name == "LowSpeedTime") return secondsAsMilliseconds(value, &s->lowSpeedTimeMs);
  if (name == "LowSpeedLimit") {
    if (!wholeNumber(value, 0, kMaxLowSpeedLimit, &number)) return false;
    s->lowSpeedLimit = static_cast<std::uint64_t>(number);
    return true;
  }
  if (name == "RetryCount") {
    if (!wholeNumber(value, 0, 100, &number)) return false;
    s->retryCount = static_cast<int>(number);
    return true;
  }
  if (name == "RetryAfterMax") {
    if (!wholeNumber(value, 0, 86400, &number)) return false;
    s->retryAfterMaxSeconds = number;
    return true;
  }
  if (name == "OSCodePage" || name == "MsgCodePage") {
    if (!wholeNumber(value, 1, 65535, &number)) return false;
    if (name == "OSCodePage") {
      s->osCodePage = static_cast<int>(number);
    } else {
      s->msgCodePage = static_cast<int>(number);
      setMessageCodePage(s->msgCodePage);
    }
    return true;
  }
  if (name == "CAFile") {
    if (value.size() > kMaxTextProperty) return false;
    s->caFile = value;
    return true;
  }
  if (name == "FeedName") {
    if (!value.empty() && !KiteFeed::isFeedName(value)) return false;
    s->feedName = value;
    return true;
  }
  if (name == "IndexMaxBytes") {
    if (!wholeNumber(value, 1024, 256L << 20, &number)) return false;
    s->indexMaxBytes = static_cast<std::uint64_t>(number);
    return true;
  }
  return false;
}

bool readProperty(const Settings& s, const std::string& name, std::string* value) {
  if (name == "UserAgent")
    *value = s.userAgent;
  else if (name == "SocketTimeoutConnect")
    *value = millisecondsAsSeconds(s.connectTimeoutMs);
  else if (name == "SocketTimeout")
    *value = millisecondsAsSeconds(s.stallTimeoutMs);
  else if (name == "LowSpeedTime")
    *value = millisecondsAsSeconds(s.lowSpeedTimeMs);
  else if (name == "LowSpeedLimit")
    *value = std::to_string(s.lowSpeedLimit);
  else if (name == "RetryCount")
    *value = std::to_string(s.retryCount);
  else if (name == "RetryAfterMax")
    *value = std::to_string(s.retryAfterMaxSeconds);
  else if (name == "OSCodePage")
    *value = std::to_string(s.osCodePage);
  else if (name == "MsgCodePage")
    *value = std::to_string(s.msgCodePage);
  else if (name == "CAFile")
    *value = s.caFile;
  else if (name == "IndexMaxBytes")
    *value = std::to_string(s.indexMaxBytes);
  else if (name == "FeedName")
    *value = s.feedName;
  else
    return false;
  return true;
}

ProcessState& ProcessState::instance() {
  static ProcessState state;
  return state;
}

bool ProcessState::setProperty(const std::string& name, const std::string& value) {
  std::lock_guard<std::mutex> lock(m_mutex);
  if (name == "KiteFeedLib_FromLoader" || name == "KiteFeedPath_FromLoader") {
    if (!isFolder(value)) return false;
    (name == "KiteFeedLib_FromLoader" ? m_libraryFolder : m_workFolder) = value;
    return true;
  }
  return applyProperty(&m_defaults, name, value);
}

Settings ProcessState::defaults() {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_defaults;
}

std::string ProcessState::libraryFolder() {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_libraryFolder;
}

std::string ProcessState::workFolder() {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_workFolder;
}

void ProcessState::setLastServer(const std::string& url) {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_lastServer = url;
}

std::string ProcessState::lastServer() {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_lastServer;
}

Context* ProcessState::createContext() {
  auto context = std::make_unique<Context>();
  context->settings = defaults();
  std::lock_guard<std::mutex> lock(m_mutex);
  m_contexts.insert(context.get());
  return context.release();
}

bool ProcessState::releaseContext(void* handle) {
  std::lock_guard<std::mutex> lock(m_mutex);
  auto it = m_contexts.find(static_cast<Context*>(handle));
  if (it == m_contexts.end()) return false;
  delete *it;
  m_contexts.erase(it);
  return true;
}

Context* ProcessState::findContext(void* handle) {
  std::lock_guard<std::mutex> lock(m_mutex);
  auto it = m_contexts.find(static_cast<Context*>(handle));
  return it == m_contexts.end() ? nullptr : *it;
}

}  // namespace QxuClient
