// Counted forwarders on several threads while holders come and go: the client is never freed
// under a running call.
#include <atomic>
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
        char text[64];
        if (ORVEL::QxuGetErrorString(t, text, sizeof text) != 1006) ++wrong;
        if (ORVEL::QxuClearCache() != 1014) ++wrong;
      }
    });
  }
  for (std::thread& thread : pool) thread.join();
  return wrong.load();
}

}  // namespace

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
  // Until the client has been freed and loaded again under running calls: how soon depends on
  // the scheduler.
  int wrong = 0;
  for (int round = 0; round < 50 && OrvelProbe::loads() < 2; ++round)
    wrong += runCountedCalls(3, 80);
  done = true;
  holders.join();
  EXPECT_EQ(0, wrong);
  EXPECT_EQ(0, holderFailures.load());
  EXPECT_GT(OrvelProbe::mostCallsAtOnce(), 1) << "the calls did overlap";
  EXPECT_GT(OrvelProbe::loads(), 1) << "the client came and went";
  EXPECT_EQ(0, OrvelProbe::unloadsDuringCall());
  EXPECT_FALSE(cb::clientLoaded());
}
