// QxUpdateInit: the client held for a process from ORVEL_HOME, and what it tells the console.
#include "OrvelKF/QxUpdateInit.h"

#include "BindingTestSupport.h"

using namespace BindingTest;
using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

using QxUpdateInitTest = ClientBindingTest;

TEST_F(QxUpdateInitTest, HoldsTheClientOfTheHomeBinFolderForItsLifetimeOrSaysWhyNot) {
  clientFolder("full", "home/bin");
  std::filesystem::create_directories(m_dir / "empty/bin");
  // What the console is told by an object made with that home (nullptr: unset).
  auto failure = [this](const char* folder) {
    const std::string path = folder ? m_dir / folder : "";
    OrvelTest::ScopedEnvironment home("ORVEL_HOME", folder ? path.c_str() : nullptr);
    CaptureStdout();
    EXPECT_FALSE(QxUpdateInit().ok()) << (folder ? folder : "(unset)");
    return GetCapturedStdout();
  };
  EXPECT_EQ("Load KF failed\n", failure("empty"));
  EXPECT_EQ("Unable to get ORVEL_HOME", failure(nullptr));
  {
    const std::string written = windowsStyle(m_dir / "home") + "\\";
    OrvelTest::ScopedEnvironment home("ORVEL_HOME", written.c_str());
    QxUpdateInit init;
    EXPECT_TRUE(init.ok());
    // Counted calls share its reference instead of loading again.
    EXPECT_EQ(1014, ORVEL::QxuClearCache());
    // While loaded, Init's folder is only checked, not searched for a client; a missing home
    // fails whoever holds the client.
    EXPECT_TRUE(init.Init(m_dir / "empty"));
    EXPECT_EQ("Load KF failed\n", failure("missing"));
    CaptureStdout();
    EXPECT_FALSE(init.Init(m_dir / "missing"));
    EXPECT_EQ("Load KF Library failed\n", GetCapturedStdout());
    EXPECT_FALSE(init.ok());
    EXPECT_EQ("loaded refs=2 entries=45 loads=1 unloads=0", state());
  }
  EXPECT_EQ("unloaded refs=0 entries=0 loads=1 unloads=1", state());
}
