// Counted forwarders on several threads: the client is never freed under a running call.
#include <atomic>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "BindingTestSupport.h"
#include "OrvelKF/QxUpdateInit.h"

using namespace BindingTest;

namespace {

using ConcurrencyTest = ClientBindingTest;

// Runs counted calls on `threads` threads, `rounds` each; counts wrong answers.
int runCountedCalls(int threads, int rounds) {
  std::atomic<int> wrong{0};
  std::vector<std::thread> pool;
  for (int t = 0; t < threads; ++t) {
    pool.emplace_back([&wrong, rounds, t] {
      for (int i = 0; i < rounds; ++i) {
        char text[64] = {};
        if (ORVEL::QxuGetErrorString(t, text, sizeof text) != 1006 ||
            std::strcmp(text, ("double text of " + std::to_string(t)).c_str()) != 0)
          ++wrong;
        if (ORVEL::QxuClearCache() != 1014) ++wrong;
      }
    });
  }
  for (std::thread& thread : pool) thread.join();
  return wrong.load();
}

}  // namespace

TEST_F(ConcurrencyTest, CallsOnSeveralThreadsShareTheReferenceOfAQxUpdateInit) {
  clientFolder("full", "home/bin");
  EnvironmentVariable home("ORVEL_HOME", (m_dir / "home").c_str());
  OrvelProbe::setCallDelayMicroseconds(200);
  {
    QxUpdateInit init;
    ASSERT_TRUE(init.ok());
    EXPECT_EQ(0, runCountedCalls(4, 100));
    EXPECT_GT(OrvelProbe::mostCallsAtOnce(), 1) << "the calls did overlap";
    EXPECT_EQ(1, OrvelProbe::loads());
    EXPECT_EQ(0, OrvelProbe::unloads());
    EXPECT_EQ(1u, cb::referenceCount());
    EXPECT_EQ(1ul, loadsSinceSetUp());

    // Direct calls of a download, made under the holder's reference.
    void* context = ORVEL::QxuCreateContext(0);
    EXPECT_NE(nullptr, context);
    EXPECT_EQ(1030, ORVEL::QxuSetPropertyEx("RetryCount", "0", context));
    EXPECT_EQ(1023, ORVEL::QxuReleaseContext(context));
  }
  EXPECT_EQ(1, OrvelProbe::unloads());
  EXPECT_EQ(0, OrvelProbe::unloadsDuringCall());
}

TEST_F(ConcurrencyTest, WithoutAHolderTheClientIsNeverFreedUnderARunningCall) {
  clientFolder("full");
  CurrentFolder current(m_dir / "bin");
  OrvelProbe::setCallDelayMicroseconds(100);
  EXPECT_EQ(0, runCountedCalls(4, 60));
  EXPECT_GT(OrvelProbe::mostCallsAtOnce(), 1);
  EXPECT_GE(OrvelProbe::loads(), 1);
  EXPECT_EQ(0, OrvelProbe::unloadsDuringCall());
  EXPECT_FALSE(cb::clientLoaded());
}

TEST_F(ConcurrencyTest, HoldersComingAndGoingWhileCallsRun) {
  clientFolder("full", "home/bin");
  EnvironmentVariable home("ORVEL_HOME", (m_dir / "home").c_str());
  CurrentFolder current(m_dir / "home/bin");
  OrvelProbe::setCallDelayMicroseconds(50);
  std::atomic<bool> done{false};
  std::atomic<int> holderFailures{0};
  std::thread holders([&] {
    while (!done) {
      QxUpdateInit init;
      if (!init.ok()) ++holderFailures;
      std::this_thread::yield();
    }
  });
  const int wrong = runCountedCalls(3, 80);
  done = true;
  holders.join();
  EXPECT_EQ(0, wrong);
  EXPECT_EQ(0, holderFailures.load());
  EXPECT_EQ(0, OrvelProbe::unloadsDuringCall());
  EXPECT_FALSE(cb::clientLoaded());
}
