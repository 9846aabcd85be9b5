// QxUpdateInit: the client held for a process from ORVEL_HOME, and what it tells the console.
#include "OrvelKF/QxUpdateInit.h"

#include <filesystem>
#include <string>
#include <vector>

#include "BindingTestSupport.h"

using namespace BindingTest;
using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

namespace {

using QxUpdateInitTest = ClientBindingTest;

}  // namespace

TEST_F(QxUpdateInitTest, HoldsTheClientOfTheHomeBinFolderForItsLifetime) {
  const std::string bin = clientFolder("full", "home/bin");
  for (const std::string& written : {m_dir / "home", windowsStyle(m_dir / "home") + "\\"}) {
    EnvironmentVariable home("ORVEL_HOME", written.c_str());
    OrvelProbe::reset();
    CaptureStdout();
    {
      QxUpdateInit init;
      EXPECT_TRUE(init.ok());
      EXPECT_EQ(1u, cb::referenceCount());
      EXPECT_EQ((std::vector<std::string>{setProperty("KiteFeedLib_FromLoader", bin),
                                          setProperty("KiteFeedPath_FromLoader", bin)}),
                OrvelProbe::calls());
      // Counted calls share its reference instead of loading again.
      EXPECT_EQ(1014, ORVEL::QxuClearCache());
      EXPECT_EQ(1, OrvelProbe::loads());
    }
    EXPECT_EQ("", GetCapturedStdout());
    EXPECT_FALSE(cb::clientLoaded());
    EXPECT_EQ(1, OrvelProbe::unloads());
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
    {
      QxUpdateInit init;
      EXPECT_FALSE(init.ok()) << (folder ? folder : "(unset)");
    }
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
  EXPECT_EQ(1u, cb::referenceCount()) << "the holder's reference survived them all";
  EXPECT_EQ(0, OrvelProbe::unloads());
}

TEST_F(QxUpdateInitTest, InitAddsAReferenceAndTheDestructorGivesEveryOneBack) {
  clientFolder("full", "home/bin");
  EnvironmentVariable home("ORVEL_HOME", (m_dir / "home").c_str());
  {
    QxUpdateInit init;
    ASSERT_TRUE(init.ok());
    EXPECT_TRUE(init.Init(m_dir / "home"));
    EXPECT_EQ(2u, cb::referenceCount());
    // While loaded, Init's folder is only checked, not searched for a client.
    std::filesystem::create_directories(m_dir / "other/bin");
    EXPECT_TRUE(init.Init(m_dir / "other"));
    EXPECT_EQ(3u, cb::referenceCount());
    CaptureStdout();
    EXPECT_FALSE(init.Init(m_dir / "missing"));
    EXPECT_EQ("Load KF Library failed\n", GetCapturedStdout());
    EXPECT_FALSE(init.ok());
    EXPECT_EQ(3u, cb::referenceCount());
  }
  EXPECT_FALSE(cb::clientLoaded());
  EXPECT_EQ(0u, cb::referenceCount());
  EXPECT_EQ(1, OrvelProbe::loads());
}
