// A named mutex excludes the holders of its name on other threads, may be taken
// again by the thread that holds it, and only that thread gives it back: the loader lock of the
// update client binding relies on all three. A mutex that is not re-entrant deadlocks here.
#include <gtest/gtest.h>

#include <future>

#include "OrvelPlatform/NamedMutex.h"

using OrvelPlatform::NamedMutex;

namespace {

constexpr const char* kName = "QX_KF_///LOADER_reentry";

// The answer of tryAcquire on another thread, which never waits.
bool takenByAnotherThread() {
  return std::async(std::launch::async, [] { return NamedMutex().tryAcquire(kName); }).get();
}

TEST(NamedMutexReentry, TheHolderTakesItAgainAndOnlyItsLastReleaseFreesIt) {
  NamedMutex held, other;
  ASSERT_TRUE(held.acquire(kName) && other.acquire(kName) && held.tryAcquire(kName));
  EXPECT_TRUE(other.release() && !other.release());
  EXPECT_FALSE(std::async(std::launch::async, [&] { return held.release(); }).get())
      << "a thread that does not hold the mutex gave it back";
  EXPECT_FALSE(takenByAnotherThread());
  EXPECT_TRUE(held.release());
  EXPECT_FALSE(takenByAnotherThread()) << "freed before the last release";
  EXPECT_TRUE(held.release());
  EXPECT_FALSE(held.release());
  EXPECT_TRUE(takenByAnotherThread());
  EXPECT_FALSE(held.acquire("") || held.acquire(nullptr));
}

}  // namespace
