#include "OrvelCommon/Log.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <mutex>

#include "OrvelCommon/LockFileLock.h"
#include "OrvelPlatform/Clock.h"
#include "OrvelPlatform/Path.h"

namespace ORVEL {

namespace {

struct LogState {
  std::mutex mutex;
  bool folderConfigured = false;
  std::string configuredFolder;
  int codeThreshold = -1;
  std::uint64_t maxBytes = Log::kDefaultMaxBytes;
  int keep = Log::kDefaultKeep;
  // The file this process has open, and the inode it had when opened.
  int fd = -1;
  std::string openPath;
  dev_t dev = 0;
  ino_t ino = 0;
  Log::Observer observer = nullptr;
  void* observerContext = nullptr;
};

// Never destroyed: objects of other libraries may still log while statics are torn down.
LogState& state() {
  static LogState* s = new LogState;
  return *s;
}

int thresholdFromEnvironment() {
  const char* text = std::getenv("ORVEL_LOG_LEVEL");
  if (!text || !*text) return Log::kDefaultThreshold;
  char* end = nullptr;
  errno = 0;
  long value = std::strtol(text, &end, 10);
  if (errno || *end || value < 0) return Log::kDefaultThreshold;
  return value > ORVEL_LOG_DETAIL ? ORVEL_LOG_DETAIL : static_cast<int>(value);
}

int effectiveThreshold(const LogState& s) {
  return s.codeThreshold >= 0 ? s.codeThreshold : thresholdFromEnvironment();
}

std::string logFolder(const LogState& s) {
  if (s.folderConfigured) return OrvelPlatform::toOsPath(s.configuredFolder);
  const char* home = std::getenv("ORVEL_HOME");
  if (!home || !*home) return std::string();
  return OrvelPlatform::toOsPath(std::string(home) + "\\log");
}

void closeLogFile(LogState& s) {
  if (s.fd >= 0) ::close(s.fd);
  s.fd = -1;
  s.openPath.clear();
}

bool openLogFile(LogState& s, const std::string& folder, const std::string& path) {
  closeLogFile(s);
  ::mkdir(folder.c_str(), 0755);  // only the last level: the home itself must exist
  int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) return false;
  struct stat st;
  if (::fstat(fd, &st) != 0) {
    ::close(fd);
    return false;
  }
  s.fd = fd;
  s.openPath = path;
  s.dev = st.st_dev;
  s.ino = st.st_ino;
  return true;
}

// True when the name still leads to the file this process has open; false after another process
// rotated it away (or it was deleted), which calls for a reopen.
bool openFileIsCurrent(const LogState& s, const std::string& path) {
  if (s.fd < 0 || s.openPath != path) return false;
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 && st.st_dev == s.dev && st.st_ino == s.ino;
}

bool ensureLogFileOpen(LogState& s) {
  std::string folder = logFolder(s);
  if (folder.empty()) {
    closeLogFile(s);
    return false;
  }
  std::string path = folder + "/" + Log::kFileName;
  return openFileIsCurrent(s, path) || openLogFile(s, folder, path);
}

void shiftRotatedFiles(const std::string& path, int keep) {
  if (keep <= 0) {
    ::unlink(path.c_str());
    return;
  }
  for (int i = keep - 1; i >= 1; --i) {
    std::string from = path + "." + std::to_string(i);
    std::string to = path + "." + std::to_string(i + 1);
    ::rename(from.c_str(), to.c_str());
  }
  ::rename(path.c_str(), (path + ".1").c_str());
}

// Several processes may find the file full at once; the lock lets one of them rotate and the
// others see, by the changed inode, that it is done.
void rotateIfFull(LogState& s) {
  if (s.maxBytes == 0) return;
  struct stat st;
  if (::fstat(s.fd, &st) != 0 || static_cast<std::uint64_t>(st.st_size) < s.maxBytes) return;
  LockFileLock rotationLock((s.openPath + ".lck").c_str(), true, false);
  if (!rotationLock.lock()) return;
  struct stat named;
  if (::stat(s.openPath.c_str(), &named) == 0 && named.st_dev == s.dev && named.st_ino == s.ino &&
      static_cast<std::uint64_t>(named.st_size) >= s.maxBytes) {
    shiftRotatedFiles(s.openPath, s.keep);
  }
  rotationLock.unlock();
  closeLogFile(s);
}

std::size_t formatPrefix(char* line, std::size_t capacity, int level) {
  std::time_t now = OrvelPlatform::clock().now();
  std::tm tm{};
  if (!OrvelPlatform::clock().localTime(now, &tm)) tm = std::tm{};
  int n = std::snprintf(line, capacity, "%04d-%02d-%02d %02d:%02d:%02d [%d] <%d> ",
                        tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min,
                        tm.tm_sec, static_cast<int>(::getpid()), level);
  if (n < 0) return 0;
  return static_cast<std::size_t>(n) < capacity ? static_cast<std::size_t>(n) : capacity - 1;
}

// Keeps one call on one line: trailing line ends go, inner ones become blanks.
std::size_t flattenLineEnds(char* text, std::size_t length) {
  while (length > 0 && (text[length - 1] == '\n' || text[length - 1] == '\r')) --length;
  for (std::size_t i = 0; i < length; ++i) {
    if (text[i] == '\n' || text[i] == '\r') text[i] = ' ';
  }
  return length;
}

// Builds the whole line, line end included, in line[]; returns its length.
// The whole line with its end; bodyAt receives where the caller's text begins.
std::size_t formatLine(char* line, int level, const char* format, va_list args,
                       std::size_t& bodyAt) {
  const std::size_t capacity = Log::kMaxLineBytes;
  std::size_t used = formatPrefix(line, capacity, level);
  bodyAt = used;
  char* body = line + used;
  std::size_t room = capacity - used - 1;  // one byte kept for the line end
  std::size_t length = 0;
  if (format) {
    int n = std::vsnprintf(body, room + 1, format, args);
    if (n > 0) length = static_cast<std::size_t>(n) < room ? static_cast<std::size_t>(n) : room;
  }
  length = flattenLineEnds(body, length);
  body[length] = '\n';
  return used + length + 1;
}

void writeLine(int level, const char* format, va_list args) {
  if (level < ORVEL_LOG_ERROR) level = ORVEL_LOG_ERROR;
  LogState& s = state();
  bool toFile;
  Log::Observer observer;
  void* context;
  {
    std::lock_guard<std::mutex> guard(s.mutex);
    toFile = level <= effectiveThreshold(s);
    observer = s.observer;
    context = s.observerContext;
  }
  if (!toFile && !observer) return;
  char line[Log::kMaxLineBytes + 1];
  std::size_t bodyAt = 0;
  std::size_t length = formatLine(line, level, format, args, bodyAt);
  if (observer) {
    line[length - 1] = '\0';
    observer(level, line + bodyAt, context);
    line[length - 1] = '\n';
  }
  if (!toFile) return;
  std::lock_guard<std::mutex> guard(s.mutex);
  if (!ensureLogFileOpen(s)) return;
  // One write per line: with O_APPEND the kernel places it whole at the end of the file. A
  // second write for a short remainder could land after another process's line, so there is none.
  ssize_t written;
  do {
    written = ::write(s.fd, line, length);
  } while (written < 0 && errno == EINTR);
  rotateIfFull(s);
}

}  // namespace

void Log::SetObserver(Observer observer, void* context) {
  LogState& s = state();
  std::lock_guard<std::mutex> guard(s.mutex);
  s.observer = observer;
  s.observerContext = context;
}

void Log::LogByLevel(OrvelLogLevel level, const char* format, ...) {
  va_list args;
  va_start(args, format);
  writeLine(level, format, args);
  va_end(args);
}

void Log::LogErrorToFile(const char* format, ...) {
  va_list args;
  va_start(args, format);
  writeLine(ORVEL_LOG_ERROR, format, args);
  va_end(args);
}

void Log::Debug(const char* format, ...) {
  va_list args;
  va_start(args, format);
  writeLine(ORVEL_LOG_TRACE, format, args);
  va_end(args);
}

void Log::Configure(const char* folder, int threshold, std::uint64_t maxBytes, int keep) {
  LogState& s = state();
  std::lock_guard<std::mutex> guard(s.mutex);
  closeLogFile(s);
  s.folderConfigured = folder != nullptr;
  s.configuredFolder = folder ? folder : "";
  s.codeThreshold = threshold < 0 ? -1 : threshold;
  s.maxBytes = maxBytes;
  s.keep = keep < 0 ? 0 : keep;
}

void Log::SetThreshold(int threshold) {
  LogState& s = state();
  std::lock_guard<std::mutex> guard(s.mutex);
  s.codeThreshold = threshold < 0 ? -1 : threshold;
}

int Log::Threshold() {
  LogState& s = state();
  std::lock_guard<std::mutex> guard(s.mutex);
  return effectiveThreshold(s);
}

std::string Log::FilePath() {
  LogState& s = state();
  std::lock_guard<std::mutex> guard(s.mutex);
  std::string folder = logFolder(s);
  return folder.empty() ? folder : folder + "/" + kFileName;
}

}  // namespace ORVEL
