// A named mutex may be taken again by the thread that holds it, and only that thread gives it
// back: the loader lock of the update client binding relies on both.
#include <gtest/gtest.h>

#include <future>
#include <thread>

#include "OrvelPlatform/Clock.h"
#include "OrvelPlatform/NamedMutex.h"

using OrvelPlatform::NamedMutex;

namespace {

constexpr const char* kName = "QX_KF_///LOADER_reentry";

// What one thread saw taking the mutex three times (twice through one object, once through a
// second) and giving it back as often.
struct NestedRun {
  bool acquired[3] = {};
  bool released[3] = {};
  bool extraRelease = true;
};

NestedRun takeNested() {
  NestedRun run;
  NamedMutex outer;
  NamedMutex inner;
  run.acquired[0] = outer.acquire(kName);
  run.acquired[1] = inner.acquire(kName);
  run.acquired[2] = outer.acquire(kName);
  run.released[0] = inner.release();
  run.released[1] = outer.release();
  run.released[2] = outer.release();
  run.extraRelease = outer.release();
  return run;
}

// True when the future is ready within the guard. A mutex that is not re-entrant never gets
// there; the guard only keeps the test from hanging then.
template <typename T>
bool readyWithinGuard(std::future<T>& result) {
  for (int poll = 0; poll < 100; ++poll) {
    if (result.wait_for(std::chrono::seconds(0)) == std::future_status::ready) return true;
    OrvelPlatform::clock().sleepMilliseconds(5);
  }
  return false;
}

// The answer of tryAcquire on another thread, which never waits.
bool takenByAnotherThread() {
  return std::async(std::launch::async,
                    [] {
                      NamedMutex other;
                      return other.tryAcquire(kName);
                    })
      .get();
}

TEST(NamedMutexReentry, TheHolderTakesItAgainAndOnlyItsLastReleaseFreesIt) {
  std::packaged_task<NestedRun()> task(takeNested);
  std::future<NestedRun> nested = task.get_future();
  std::thread worker(std::move(task));
  if (!readyWithinGuard(nested)) {
    worker.detach();  // stuck for good; its objects live on its own stack
    FAIL() << "a nested acquire by the holding thread deadlocked";
  }
  worker.join();
  const NestedRun run = nested.get();
  for (int i = 0; i < 3; ++i) {
    EXPECT_TRUE(run.acquired[i]) << "acquire " << i;
    EXPECT_TRUE(run.released[i]) << "release " << i;
  }
  EXPECT_FALSE(run.extraRelease) << "a release beyond the acquisitions";
  EXPECT_TRUE(takenByAnotherThread()) << "the mutex stayed held after the last release";

  NamedMutex held;
  ASSERT_TRUE(held.acquire(kName));
  ASSERT_TRUE(held.tryAcquire(kName));  // the holder never waits for itself
  EXPECT_FALSE(std::async(std::launch::async, [&] { return held.release(); }).get())
      << "a thread that does not hold the mutex gave it back";
  EXPECT_FALSE(takenByAnotherThread());
  EXPECT_TRUE(held.release());
  EXPECT_TRUE(held.owned());
  EXPECT_FALSE(takenByAnotherThread()) << "freed before the last release";
  EXPECT_TRUE(held.release());
  EXPECT_FALSE(held.owned());
  EXPECT_TRUE(takenByAnotherThread());
}

}  // namespace
