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
  EnvironmentVariable home("ORVEL_HOME", (m_dir / "home").c_str());
  CaptureStdout();
  {
    QxUpdateInit init;
    EXPECT_TRUE(init.ok());
    EXPECT_TRUE(cb::clientLoaded());
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

TEST_F(QxUpdateInitTest, TakesAHomeWrittenTheWindowsWay) {
  clientFolder("full", "home/bin");
  EnvironmentVariable home("ORVEL_HOME", (windowsStyle(m_dir / "home") + "\\").c_str());
  QxUpdateInit init;
  EXPECT_TRUE(init.ok());
  EXPECT_TRUE(cb::clientLoaded());
}

TEST_F(QxUpdateInitTest, WithoutOrvelHomeItSaysSoAndLoadsNothing) {
  for (const char* value : {static_cast<const char*>(nullptr), ""}) {
    EnvironmentVariable home("ORVEL_HOME", value);
    CaptureStdout();
    {
      QxUpdateInit init;
      EXPECT_FALSE(init.ok());
      EXPECT_FALSE(cb::clientLoaded());
    }
    EXPECT_EQ("Unable to get ORVEL_HOME", GetCapturedStdout());
  }
  EXPECT_EQ(0ul, loadsSinceSetUp());
}

TEST_F(QxUpdateInitTest, AHomeWithoutAUsableClientGivesLoadKFFailed) {
  std::filesystem::create_directories(m_dir / "empty/bin");
  clientFolder("refuses_path", "refusing/bin");
  for (const char* folder : {"missing", "empty", "refusing"}) {
    EnvironmentVariable home("ORVEL_HOME", (m_dir / folder).c_str());
    CaptureStdout();
    {
      QxUpdateInit init;
      EXPECT_FALSE(init.ok()) << folder;
      EXPECT_FALSE(cb::clientLoaded());
    }
    EXPECT_EQ("Load KF failed\n", GetCapturedStdout()) << folder;
  }
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

TEST_F(QxUpdateInitTest, InitWorksWithoutOrvelHomeButLeavesOkAsItWas) {
  const std::string bin = clientFolder("full", "home/bin");
  EnvironmentVariable home("ORVEL_HOME", nullptr);
  CaptureStdout();
  QxUpdateInit init;
  EXPECT_EQ("Unable to get ORVEL_HOME", GetCapturedStdout());
  CaptureStdout();
  EXPECT_TRUE(init.Init(windowsStyle(m_dir / "home")));
  EXPECT_EQ("", GetCapturedStdout());
  EXPECT_FALSE(init.ok());
  EXPECT_EQ(1u, cb::referenceCount());
  EXPECT_EQ(setProperty("KiteFeedPath_FromLoader", bin), OrvelProbe::calls().back());
}

TEST_F(QxUpdateInitTest, AnObjectThatLoadedNothingReleasesNothing) {
  clientFolder("full", "home/bin");
  EnvironmentVariable home("ORVEL_HOME", (m_dir / "home").c_str());
  QxUpdateInit holder;
  ASSERT_TRUE(holder.ok());
  {
    EnvironmentVariable noHome("ORVEL_HOME", nullptr);
    CaptureStdout();
    { QxUpdateInit failed; }
    EXPECT_EQ("Unable to get ORVEL_HOME", GetCapturedStdout());
  }
  {
    EnvironmentVariable badHome("ORVEL_HOME", (m_dir / "missing").c_str());
    CaptureStdout();
    { QxUpdateInit failed; }
    EXPECT_EQ("Load KF failed\n", GetCapturedStdout());
  }
  // The holder's reference survived both.
  EXPECT_TRUE(cb::clientLoaded());
  EXPECT_EQ(1u, cb::referenceCount());
  EXPECT_EQ(0, OrvelProbe::unloads());
}
