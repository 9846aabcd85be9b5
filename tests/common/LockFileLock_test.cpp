#include "OrvelCommon/LockFileLock.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "ChildProcess.h"
#include "TempDir.h"

namespace {

// A one-way signal from a child: "I hold the lock" or "I got it".
class Pipe {
 public:
  Pipe() { EXPECT_EQ(::pipe(m_fds), 0); }
  ~Pipe() {
    ::close(m_fds[0]);
    ::close(m_fds[1]);
  }
  void send() { EXPECT_EQ(::write(m_fds[1], "x", 1), 1); }
  // True when a byte arrived within the time.
  bool receive(int milliseconds) {
    pollfd p{m_fds[0], POLLIN, 0};
    char c;
    return ::poll(&p, 1, milliseconds) == 1 && ::read(m_fds[0], &c, 1) == 1;
  }

 private:
  int m_fds[2] = {-1, -1};
};

class LockFileLockTest : public ::testing::Test {
 protected:
  OrvelTest::TempDir m_dir;
  std::string m_path = m_dir / ".kfdownload.lck";
};

TEST_F(LockFileLockTest, ObjectsOfOneProcessExcludeEachOtherSharedOnesCoexist) {
  ::umask(022);
  {
    LockFileLock first((m_dir.path() + "\\.kfdownload.lck").c_str(), false, false);
    LockFileLock second(m_path.c_str(), false, false);
    ASSERT_TRUE(first.lock());
    EXPECT_TRUE(first.lock()) << "locking again while holding keeps the lock";
    EXPECT_FALSE(second.lock());
    EXPECT_TRUE(first.unlock());
    EXPECT_FALSE(first.unlock()) << "nothing left to release";
    EXPECT_TRUE(second.lock());
    EXPECT_FALSE(first.lock());
  }  // the destructor releases
  struct stat st;
  ASSERT_EQ(::stat(m_path.c_str(), &st), 0) << "the lock file stays";
  EXPECT_EQ(st.st_mode & 07777, 0644u);
  LockFileLock readerA(m_path.c_str(), false, true);
  LockFileLock readerB(m_path.c_str(), false, true);
  LockFileLock writer(m_path.c_str(), false, false);
  ASSERT_TRUE(readerA.lock());
  EXPECT_TRUE(readerB.lock());
  EXPECT_FALSE(writer.lock());
  readerA.unlock();
  readerB.unlock();
  EXPECT_TRUE(writer.lock());
  EXPECT_FALSE(readerA.lock());
}

// flock() needs an open file, not write access. Root may write anything: the child gives up root.
TEST_F(LockFileLockTest, ALockFileThisUserMayNotWriteIsLockedForReading) {
  OrvelTest::writeFile(m_path, "");
  ASSERT_EQ(0, ::chmod(m_path.c_str(), 0444));
  ASSERT_EQ(0, ::chmod(m_dir.path().c_str(), 0755));
  EXPECT_EQ(0, OrvelTest::runInChild([&] {
              if (::geteuid() == 0 && (::setgid(65534) != 0 || ::setuid(65534) != 0)) return 2;
              LockFileLock lock(m_path.c_str(), false, false);
              return lock.lock() ? 0 : 1;
            }));
  // A service runs without standard input: the lock file may get descriptor 0.
  EXPECT_EQ(0, OrvelTest::runInChild([&] {
              ::close(STDIN_FILENO);
              LockFileLock lock((m_dir / "other.lck").c_str(), false, false);
              return lock.lock() ? 0 : 1;
            }));
}

TEST_F(LockFileLockTest, UnusablePathsFailWithoutCreatingAnything) {
  const std::string missingFolder = m_dir / "no-such-folder";
  const std::string inMissing = missingFolder + "/.kfdownload.lck";
  for (const char* path : {inMissing.c_str(), "", static_cast<const char*>(nullptr)}) {
    LockFileLock lock(path, true, false);
    EXPECT_FALSE(lock.lock());
    EXPECT_FALSE(lock.unlock());
  }
  const std::string overLong = m_dir / std::string(5000, 'n');
  EXPECT_FALSE(LockFileLock(overLong.c_str(), true, false).lock());
  EXPECT_FALSE(OrvelTest::fileExists(missingFolder));
}

TEST_F(LockFileLockTest, ChildHoldsTheLockUntilItIsKilledOrExits) {
  for (bool killIt : {true, false}) {
    Pipe holding;
    Pipe finish;
    pid_t child = OrvelTest::startChild([&] {
      LockFileLock lock(m_path.c_str(), false, false);
      if (!lock.lock()) return 1;
      holding.send();
      finish.receive(10000);
      ::_exit(0);  // ends without unlock(): only the process end releases the lock
    });
    ASSERT_TRUE(holding.receive(10000));
    LockFileLock parent(m_path.c_str(), false, false);
    EXPECT_FALSE(parent.lock());
    if (killIt) {
      ::kill(child, SIGKILL);
      EXPECT_EQ(OrvelTest::waitChild(child), -1);
    } else {
      finish.send();
      EXPECT_EQ(OrvelTest::waitChild(child), 0);
    }
    EXPECT_TRUE(parent.lock()) << (killIt ? "after kill" : "after exit");
  }
}

// A signal that interrupts the wait (a service's timer, say) does not end it.
TEST_F(LockFileLockTest, WaitingLockerGetsTheLockWhenReleasedThoughASignalInterruptsIt) {
  LockFileLock parent(m_path.c_str(), false, false);
  ASSERT_TRUE(parent.lock());
  Pipe acquired;
  pid_t child = OrvelTest::startChild([&] {
    struct sigaction interrupting {};
    interrupting.sa_handler = [](int) {};  // no SA_RESTART: flock() returns EINTR
    ::sigaction(SIGALRM, &interrupting, nullptr);
    ::ualarm(50000, 0);
    LockFileLock waiter(m_path.c_str(), true, false);
    if (!waiter.lock()) return 1;
    acquired.send();
    return 0;
  });
  EXPECT_FALSE(acquired.receive(200)) << "the waiter must block while the parent holds the lock";
  parent.unlock();
  EXPECT_TRUE(acquired.receive(10000));
  EXPECT_EQ(OrvelTest::waitChild(child), 0);
}

TEST_F(LockFileLockTest, ForkedChildDroppingItsCopyKeepsTheParentsLock) {
  LockFileLock parent(m_path.c_str(), false, false);
  ASSERT_TRUE(parent.lock());
  int rc = OrvelTest::runInChild([&] { return parent.unlock() ? 0 : 1; });
  EXPECT_EQ(rc, 0);
  LockFileLock other(m_path.c_str(), false, false);
  EXPECT_FALSE(other.lock());
}

}  // namespace
