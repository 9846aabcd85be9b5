#include "OrvelCommon/LockFileLock.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <string>

#include "ChildProcess.h"
#include "TempDir.h"

namespace {

using OrvelTest::Pipe;

class LockFileLockTest : public ::testing::Test {
 protected:
  OrvelTest::TempDir m_dir;
  std::string m_path = m_dir / ".kfdownload.lck";
};

TEST_F(LockFileLockTest,
       ObjectsOfOneProcessExcludeEachOtherAForkedCopyKeepsTheLockAndNoFolderIsMade) {
  {
    LockFileLock first((m_dir.path() + "\\.kfdownload.lck").c_str(), false, false);
    LockFileLock second(m_path.c_str(), false, false);
    ASSERT_TRUE(first.lock());
    EXPECT_TRUE(first.lock()) << "locking again while holding keeps the lock";
    EXPECT_FALSE(second.lock());
    EXPECT_TRUE(first.unlock());
    EXPECT_FALSE(first.unlock()) << "nothing left to release";
    EXPECT_TRUE(second.lock());
  }  // the destructor releases
  LockFileLock writer(m_path.c_str(), false, false), other(m_path.c_str(), false, false);
  ASSERT_TRUE(writer.lock());
  // A forked child dropping its copy keeps the parent's lock.
  EXPECT_EQ(OrvelTest::runInChild([&] { return writer.unlock() ? 0 : 1; }), 0);
  EXPECT_FALSE(other.lock());

  // A lock file in a folder that does not exist is refused, and the folder is not made.
  const std::string missingFolder = m_dir / "no-such-folder";
  const std::string inMissing = missingFolder + "/.kfdownload.lck";
  for (const char* path : {inMissing.c_str(), "", static_cast<const char*>(nullptr)}) {
    LockFileLock lock(path, true, false);
    EXPECT_FALSE(lock.lock());
    EXPECT_FALSE(lock.unlock());
  }
  EXPECT_FALSE(OrvelTest::fileExists(missingFolder));
}

// Only the end of the holder releases a lock it never unlocked.
TEST_F(LockFileLockTest, ChildHoldsTheLockUntilItEnds) {
  Pipe holding, finish;
  pid_t holder = OrvelTest::startChild([&] {
    LockFileLock lock(m_path.c_str(), false, false);
    if (!lock.lock()) return 1;
    holding.send();
    finish.receive();
    ::_exit(0);
  });
  ASSERT_TRUE(holding.receive());
  LockFileLock parent(m_path.c_str(), false, false);
  EXPECT_FALSE(parent.lock());
  ::kill(holder, SIGKILL);
  EXPECT_EQ(OrvelTest::waitChild(holder), -1);
  EXPECT_TRUE(parent.lock()) << "after kill";
}

}  // namespace
