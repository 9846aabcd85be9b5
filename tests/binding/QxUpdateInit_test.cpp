// QxUpdateInit: the client held for a process from ORVEL_HOME, what it tells the console, and
// holders coming and going while counted calls run on several threads.
#include "OrvelKF/QxUpdateInit.h"

#include <atomic>
#include <thread>

#include "BindingTestSupport.h"

using namespace BindingTest;
using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

using QxUpdateInitTest = ClientBindingTest;

TEST_F(QxUpdateInitTest, HoldsTheClientOfTheHomeBinFolderForItsLifetimeAndInitAddsReferences) {
  const std::string bin = clientFolder("full", "home/bin");
  std::filesystem::create_directories(m_dir / "other/bin");
  for (const std::string& written : {m_dir / "home", windowsStyle(m_dir / "home") + "\\"}) {
    EnvironmentVariable home("ORVEL_HOME", written.c_str());
    OrvelProbe::reset();
    CaptureStdout();
    {
      QxUpdateInit init;
      EXPECT_TRUE(init.ok());
      EXPECT_EQ("loaded refs=1 entries=45 loads=1 unloads=0", state());
      EXPECT_EQ(loadProperties(bin, bin), OrvelProbe::record().calls);
      // Counted calls share its reference instead of loading again.
      EXPECT_EQ(1014, ORVEL::QxuClearCache());
      EXPECT_TRUE(init.Init(m_dir / "home"));
      // While loaded, Init's folder is only checked, not searched for a client.
      EXPECT_TRUE(init.Init(m_dir / "other"));
      EXPECT_EQ("", GetCapturedStdout());
      CaptureStdout();
      EXPECT_FALSE(init.Init(m_dir / "missing"));
      EXPECT_EQ("Load KF Library failed\n", GetCapturedStdout());
      EXPECT_FALSE(init.ok());
      EXPECT_EQ("loaded refs=3 entries=45 loads=1 unloads=0", state());
    }
    EXPECT_EQ("unloaded refs=0 entries=0 loads=1 unloads=1", state());
  }
}

TEST_F(QxUpdateInitTest, AHomeWithoutAUsableClientSaysSoAndReleasesNothingOfAnother) {
  std::filesystem::create_directories(m_dir / "empty/bin");
  clientFolder("refuses_path", "refusing/bin");
  clientFolder("full", "home/bin");
  // Whether another holds the client: a missing home fails either way, a home without a usable
  // client only while nobody holds one.
  auto expectFailure = [this](const char* folder, const char* said) {
    const std::string path = folder && *folder ? m_dir / folder : "";
    EnvironmentVariable home("ORVEL_HOME", folder ? path.c_str() : nullptr);
    CaptureStdout();
    EXPECT_FALSE(QxUpdateInit().ok()) << (folder ? folder : "(unset)");
    EXPECT_EQ(said, GetCapturedStdout()) << (folder ? folder : "(unset)");
  };
  for (const char* folder : {"missing", "empty", "refusing"})
    expectFailure(folder, "Load KF failed\n");
  OrvelProbe::reset();
  EnvironmentVariable home("ORVEL_HOME", (m_dir / "home").c_str());
  QxUpdateInit holder;
  ASSERT_TRUE(holder.ok());
  expectFailure(nullptr, "Unable to get ORVEL_HOME");
  expectFailure("", "Unable to get ORVEL_HOME");
  expectFailure("missing", "Load KF failed\n");
  EXPECT_EQ("loaded refs=1 entries=45 loads=1 unloads=0", state())
      << "the holder's reference survived them all";
}

// The client is never freed under a running call.
TEST_F(QxUpdateInitTest, HoldersComingAndGoingWhileCountedCallsRunOnSeveralThreads) {
  clientFolder("full", "home/bin");
  EnvironmentVariable home("ORVEL_HOME", (m_dir / "home").c_str());
  CurrentFolder current(m_dir / "home/bin");
  OrvelProbe::setCallDelayMicroseconds(50);
  std::atomic<bool> done{false};
  std::atomic<int> holderFailures{0};
  std::thread holders([&] {
    while (!done) {
      if (!QxUpdateInit().ok()) ++holderFailures;
      std::this_thread::yield();
    }
  });
  // Counted calls on three threads until the client has been freed and loaded again under
  // running calls: how soon depends on the scheduler.
  std::atomic<int> wrong{0};
  for (int round = 0; round < 50 && OrvelProbe::record().loads < 2; ++round) {
    std::vector<std::thread> pool;
    for (int t = 0; t < 3; ++t)
      pool.emplace_back([&wrong, t] {
        for (int i = 0; i < 80; ++i) {
          char text[64];
          wrong += ORVEL::QxuGetErrorString(t, text, sizeof text) != 1006;
          wrong += ORVEL::QxuClearCache() != 1014;
        }
      });
    for (std::thread& thread : pool) thread.join();
  }
  done = true;
  holders.join();
  EXPECT_EQ(0, wrong.load());
  EXPECT_EQ(0, holderFailures.load());
  const OrvelProbe::Record seen = OrvelProbe::record();
  EXPECT_GT(seen.mostAtOnce, 1) << "the calls did overlap";
  EXPECT_GT(seen.loads, 1) << "the client came and went";
  EXPECT_EQ(0, seen.unloadsDuringCall);
}
