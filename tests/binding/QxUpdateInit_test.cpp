// QxUpdateInit: the client held for a process from ORVEL_HOME, and what it tells the console.
#include "OrvelKF/QxUpdateInit.h"

#include "BindingTestSupport.h"

using namespace BindingTest;
using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

using QxUpdateInitTest = ClientBindingTest;

TEST_F(QxUpdateInitTest, HoldsTheClientOfTheHomeBinFolderForItsLifetimeAndInitAddsReferences) {
  const std::string bin = clientFolder("full", "home/bin");
  std::filesystem::create_directories(m_dir / "other/bin");
  {
    const std::string written = windowsStyle(m_dir / "home") + "\\";
    OrvelTest::ScopedEnvironment home("ORVEL_HOME", written.c_str());
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
  clientFolder("full", "home/bin");
  // Whether another holds the client: a missing home fails either way, a home without a usable
  // client only while nobody holds one.
  auto expectFailure = [this](const char* folder, const char* said) {
    const std::string path = folder && *folder ? m_dir / folder : "";
    OrvelTest::ScopedEnvironment home("ORVEL_HOME", folder ? path.c_str() : nullptr);
    CaptureStdout();
    EXPECT_FALSE(QxUpdateInit().ok()) << (folder ? folder : "(unset)");
    EXPECT_EQ(said, GetCapturedStdout()) << (folder ? folder : "(unset)");
  };
  expectFailure("empty", "Load KF failed\n");
  OrvelTest::ScopedEnvironment home("ORVEL_HOME", (m_dir / "home").c_str());
  QxUpdateInit holder;
  ASSERT_TRUE(holder.ok());
  expectFailure(nullptr, "Unable to get ORVEL_HOME");
  expectFailure("missing", "Load KF failed\n");
  EXPECT_EQ("loaded refs=1 entries=45 loads=1 unloads=0", state())
      << "the holder's reference survived them all";
}
