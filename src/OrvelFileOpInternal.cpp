#include "OrvelFileOpInternal.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "OrvelPlatform/Path.h"

namespace OrvelFileOpUtil {
namespace detail {

bool isNullOrEmpty(const char* path) { return path == nullptr || *path == '\0'; }

bool isSeparator(char c) { return c == '\\' || c == '/'; }

bool endsWithSeparator(const std::string& path) {
  return !path.empty() && isSeparator(path.back());
}

bool holdsWildcard(const std::string& path) {
  return path.find_first_of("*?") != std::string::npos;
}

std::string normalise(const char* path) { return normalise(std::string(path ? path : "")); }

std::string normalise(const std::string& path) {
  std::string result = path;
  std::replace(result.begin(), result.end(), '/', '\\');
  return result;
}

void dropTrailingSeparator(std::string& path) {
  if (path.size() > 1 && endsWithSeparator(path)) path.pop_back();
}

std::string withTrailingSeparator(const std::string& path) {
  return endsWithSeparator(path) ? path : path + '\\';
}

std::string ownName(const std::string& folderPath) {
  std::string path = folderPath;
  dropTrailingSeparator(path);
  const std::size_t lastSeparator = path.find_last_of("\\/");
  return lastSeparator == std::string::npos ? path : path.substr(lastSeparator + 1);
}

namespace {

char asciiLower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

}  // namespace

bool matchesFilter(const std::string& name, const std::string& filter) {
  // Greedy match that, on a mismatch, lets the last "*" absorb one more character: linear in
  // practice and never exponential, whatever the filter.
  std::size_t n = 0;
  std::size_t f = 0;
  std::size_t starInFilter = std::string::npos;
  std::size_t nameAtStar = 0;
  while (n < name.size()) {
    if (f < filter.size() && filter[f] == '*') {
      starInFilter = f++;
      nameAtStar = n;
    } else if (f < filter.size() &&
               (filter[f] == '?' || asciiLower(filter[f]) == asciiLower(name[n]))) {
      ++f;
      ++n;
    } else if (starInFilter != std::string::npos) {
      f = starInFilter + 1;
      n = ++nameAtStar;
    } else {
      return false;
    }
  }
  while (f < filter.size() && filter[f] == '*') ++f;
  return f == filter.size();
}

bool statPath(const std::string& path, struct stat* status) {
  return ::stat(OrvelPlatform::toOsPath(path).c_str(), status) == 0;
}

bool isSymlink(const std::string& path) {
  struct stat status;
  return ::lstat(OrvelPlatform::toOsPath(path).c_str(), &status) == 0 && S_ISLNK(status.st_mode);
}

bool isRealDirectory(const std::string& path) {
  struct stat status;
  return ::lstat(OrvelPlatform::toOsPath(path).c_str(), &status) == 0 && S_ISDIR(status.st_mode);
}

UniqueFd::~UniqueFd() { close(); }

UniqueFd& UniqueFd::operator=(UniqueFd&& other) noexcept {
  if (this != &other) {
    close();
    m_fd = other.m_fd;
    other.m_fd = -1;
  }
  return *this;
}

bool UniqueFd::close() {
  if (m_fd < 0) return true;
  // Linux releases the descriptor even when close fails, so it is never retried.
  const bool closed = ::close(m_fd) == 0;
  m_fd = -1;
  return closed;
}

namespace {

// Files are opened without blocking so that a pipe without a partner cannot hang an
// operation; once open, ordinary blocking reads and writes are wanted again.
UniqueFd openWithoutWaiting(const std::string& path, int flags, mode_t mode) {
  const std::string osPath = OrvelPlatform::toOsPath(path);
  int fd;
  do {
    fd = ::open(osPath.c_str(), flags | O_CLOEXEC | O_NONBLOCK, mode);
  } while (fd < 0 && errno == EINTR);
  UniqueFd file(fd);
  if (file) {
    const int statusFlags = ::fcntl(fd, F_GETFL);
    if (statusFlags >= 0) ::fcntl(fd, F_SETFL, statusFlags & ~O_NONBLOCK);
  }
  return file;
}

}  // namespace

UniqueFd openForReading(const std::string& path) {
  UniqueFd file = openWithoutWaiting(path, O_RDONLY, 0);
  struct stat status;
  if (file && (::fstat(file.get(), &status) != 0 || S_ISDIR(status.st_mode))) return UniqueFd();
  return file;
}

UniqueFd openForWriting(const std::string& path) {
  return openWithoutWaiting(path, O_WRONLY | O_CREAT | O_TRUNC, 0666);
}

long long readFully(int fd, char* buffer, std::size_t count) {
  std::size_t total = 0;
  while (total < count) {
    const ssize_t got = ::read(fd, buffer + total, count - total);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return -1;
    if (got == 0) break;
    total += static_cast<std::size_t>(got);
  }
  return static_cast<long long>(total);
}

void describeStep(CallbackEntry* entry, const std::string& srcPath, const char* dstPath,
                  int action) {
  if (entry == nullptr) return;
  entry->srcPath = srcPath.c_str();
  entry->dstPath = dstPath;
  entry->action = action;
  entry->done = 0;
}

bool mayDoStep(Callback callback, CallbackEntry* entry, int* result) {
  *result = kOk;
  if (callback == nullptr || entry == nullptr) return true;
  const int answer = callback(entry);
  if (answer == kCallbackContinue) return true;
  if (answer != kCallbackSkip) *result = answer;
  return false;
}

void reportDone(Callback callback, CallbackEntry* entry) {
  if (entry == nullptr) return;
  entry->done = 1;
  if (callback != nullptr) callback(entry);
}

}  // namespace detail
}  // namespace OrvelFileOpUtil
