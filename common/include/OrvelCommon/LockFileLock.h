// An advisory lock on a lock file, for work that processes of the product must not do at once.
//
// The lock is an flock() on the file: it belongs to the open file of this object, so two objects
// on the same path exclude each other within one process as well as across processes, and the
// kernel releases it when the process ends in any way. The lock file is created (mode 0644) when
// missing but never its folder; it is left in place by unlock(), since deleting it would let a
// later locker lock a new file while an earlier one still holds the old.
//
// Constructor flags: wait (true: lock() blocks until the lock is free; false: lock() fails at once
// when another holder has it) and shared (true: a shared lock that only excludes exclusive
// holders; the product's own callers pass false, an exclusive lock).
#pragma once

#include <sys/types.h>

#include <string>

#pragma GCC visibility push(default)

class LockFileLock {
 public:
  LockFileLock(const char* path, bool wait, bool shared);
  virtual ~LockFileLock();
  LockFileLock(const LockFileLock&) = delete;
  LockFileLock& operator=(const LockFileLock&) = delete;

  // True when the lock is held on return (also when it already was). False for a null or empty
  // path, a missing folder, a file that cannot be opened, or a lock held elsewhere when not
  // waiting.
  virtual bool lock();
  // True when a held lock was released; false when none was held.
  virtual bool unlock();

  bool isLocked() const { return m_fd >= 0; }
  const std::string& path() const { return m_path; }

 private:
  std::string m_path;
  bool m_wait;
  bool m_shared;
  int m_fd = -1;
  pid_t m_owner = 0;  // the process that took the lock
};

#pragma GCC visibility pop
