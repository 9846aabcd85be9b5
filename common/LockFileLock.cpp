#include "OrvelCommon/LockFileLock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>

#include "OrvelPlatform/Path.h"

namespace {

// flock() needs an open file, not write access: a lock file this user may not write is opened for
// reading.
int openLockFile(const std::string& osPath) {
  int fd = ::open(osPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOCTTY, 0644);
  if (fd < 0 && errno == EACCES) fd = ::open(osPath.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY);
  return fd;
}

bool flockRetryingOnSignal(int fd, int operation) {
  int rc;
  do {
    rc = ::flock(fd, operation);
  } while (rc != 0 && errno == EINTR);
  return rc == 0;
}

}  // namespace

LockFileLock::LockFileLock(const char* path, bool wait, bool shared)
    : m_path(path ? path : ""), m_wait(wait), m_shared(shared) {}

LockFileLock::~LockFileLock() { unlock(); }

bool LockFileLock::lock() {
  if (m_fd >= 0) return true;
  if (m_path.empty()) return false;
  int fd = openLockFile(OrvelPlatform::toOsPath(m_path));
  if (fd < 0) return false;
  int operation = (m_shared ? LOCK_SH : LOCK_EX) | (m_wait ? 0 : LOCK_NB);
  if (!flockRetryingOnSignal(fd, operation)) {
    ::close(fd);
    return false;
  }
  m_fd = fd;
  m_owner = ::getpid();
  return true;
}

bool LockFileLock::unlock() {
  if (m_fd < 0) return false;
  // A forked child shares the open file with its parent: an explicit release there would take
  // the parent's lock away, so the child only drops its reference.
  if (m_owner == ::getpid()) flockRetryingOnSignal(m_fd, LOCK_UN);
  // Closing releases the lock even if the explicit release failed.
  ::close(m_fd);
  m_fd = -1;
  return true;
}
