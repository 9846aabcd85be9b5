// A named mutex excludes the holders of its name on other threads, may be taken
// again by the thread that holds it, and only that thread gives it back: the loader lock of the
// update client binding relies on all three.
#include <gtest/gtest.h>

#include <future>
#include <thread>

#include "OrvelPlatform/Clock.h"
#include "OrvelPlatform/NamedMutex.h"

using OrvelPlatform::NamedMutex;

namespace {

constexpr const char* kName = "QX_KF_///LOADER_reentry";

// Takes the mutex three times on one thread, twice through one object, and gives it back as often.
bool takeNestedAndGiveBack() {
  NamedMutex outer;
  NamedMutex inner;
  return outer.acquire(kName) && inner.acquire(kName) && outer.acquire(kName) && inner.release() &&
         outer.release() && outer.release() && !outer.release();
}

// True when the answer comes within the guard of half a second. A mutex that is not re-entrant
// never answers; the guard only keeps the test from hanging then.
bool answersWithinGuard(std::future<bool>& answer) {
  for (int poll = 0; poll < 100; ++poll) {
    if (answer.wait_for(std::chrono::seconds(0)) == std::future_status::ready) return true;
    OrvelPlatform::clock().sleepMilliseconds(5);
  }
  return false;
}

// The answer of tryAcquire on another thread, which never waits.
bool takenByAnotherThread() {
  return std::async(std::launch::async, [] { return NamedMutex().tryAcquire(kName); }).get();
}

TEST(NamedMutexReentry, TheHolderTakesItAgainAndOnlyItsLastReleaseFreesIt) {
  std::packaged_task<bool()> task(takeNestedAndGiveBack);
  std::future<bool> nested = task.get_future();
  std::thread worker(std::move(task));
  if (!answersWithinGuard(nested)) {
    worker.detach();  // stuck for good; its objects live on its own stack
    FAIL() << "a nested acquire by the holding thread deadlocked";
  }
  worker.join();
  EXPECT_TRUE(nested.get());
  EXPECT_TRUE(takenByAnotherThread()) << "the mutex stayed held after the last release";

  NamedMutex held;
  ASSERT_TRUE(held.acquire(kName));
  ASSERT_TRUE(held.tryAcquire(kName));  // the holder never waits for itself
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
