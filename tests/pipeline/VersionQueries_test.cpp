// The version facts of a component: installed (asked of the reference engines), adopted (the
// global setting kept up with the central table of either backend), and what the update client
// answered.
#include <filesystem>

#include "PipelineTest.h"

namespace fs = std::filesystem;
using namespace OrvelPipelineTest;

namespace {

constexpr const char* kTrace = "<3> QxUpdate [QxUpdateVersions.cpp]: ";

std::string versionError(int type) {
  return "Unable to get the version of the " + QxUpdateTestAccess::downloadWhat(type) + ".";
}

// An item as the client leaves it: class, identifier, the version before and after.
tag_ItemInfo item(unsigned cls, unsigned id, QxuVersionBuild before, QxuVersionBuild after) {
  tag_ItemInfo made{};
  made.uiClass = cls;
  made.uiItemId = id;
  made.stCurrent = before;
  made.stResult = after;
  return made;
}

}  // namespace

class VersionQueries : public PipelineTest {};

TEST_P(VersionQueries, LocalVersionsAreWhatTheInstalledEnginesSay) {
  installComponents();
  const char* versions[] = {"9.500.1001", "5.763.00",   "1.234.00",  "2.101.00",
                            "3.202.00",   "7.2.1050",   "17461.005", "17461005",
                            "3.100.1004", "2.000.1003", "4.303.00"};
  QxUpdate& u = update();
  for (int type = 0; type < kfComponentCount; ++type) {
    std::string msg = "earlier", version;
    ASSERT_EQ(0, u.getLocalVersion(static_cast<QxUpdateType>(type), msg, version, type == 9));
    EXPECT_EQ(std::string(versions[type]) + " ", version + " " + msg);
  }
  // Without engines every query fails in the component's own words and the version stays.
  fs::remove_all(*home / "bin");
  for (int type : {0, 1, 5, 6, 7, 8, 9, 11, -1}) {
    std::string msg, version = "kept";
    ASSERT_EQ(-1, u.getLocalVersion(static_cast<QxUpdateType>(type), msg, version, false));
    EXPECT_EQ(versionError(type) + " kept", msg + " " + version);
  }

  // An object that could not be set up answers with the system error.
  ::unsetenv("ORVEL_HOME");
  testing::internal::CaptureStdout();
  QxUpdate broken;
  testing::internal::GetCapturedStdout();
  ::setenv("ORVEL_HOME", home->path().c_str(), 1);
  const std::string systemError = "System Error: unable to continue to do update.\n";
  std::string msg = "earlier\n", version = "kept";
  EXPECT_EQ(-1, broken.getLocalVersion(VIRUS_PATTERN, msg, version, true));
  EXPECT_EQ(systemError + " kept", msg + " " + version);
}

TEST_P(VersionQueries, AdoptedVersionsFollowTheCentralTable) {
  settings("VersionVirusPattern=5.763.00|VersionQXASEPatch=17461005");
  ASSERT_EQ(ERRC_SUCCESS, home->upload(SPYWARE_PATTERN, "9.999.00", "s"));
  ASSERT_EQ(ERRC_SUCCESS, home->upload(VIRUS_PATTERN, "5.765.00", "v"));
  std::string version, msg, verified;
  const auto verify = [&](int type, const char* key) {
    return A::verifyDB(update(), type, key, version) ? version : "false";
  };
  verified = verify(VIRUS_PATTERN, "VersionVirusPattern");
  msg = "earlier";
  EXPECT_EQ(0, update().getDBVersion(VIRUS_PATTERN, msg, version, false));
  verified += " " + version + msg;  // adopted, and no message
  verified += " " + verify(QXASE_PATCH, "VersionQXASEPatch");
  verified += " " + verify(LUREBOX_PATTERN, "VersionLureboxPattern");
  EXPECT_EQ("5.765.00 5.765.00 17461005 false", verified);
  EXPECT_EQ((Lines{"<1> QxUpdate::_verifyDBVersion: invalid QxUpdateType found",
                   "<1> QxUpdate::_verifyDBVersion: get component version from tb_global_setting "
                   "table failed"}),
            logLines({"QxUpdate::_verifyDBVersion: get", "QxUpdate::_verifyDBVersion: invalid"}));
  // A table that cannot be read counts as empty.
  home->exec("drop table tb_kite_feed");
  m_update.reset();
  EXPECT_EQ("5.765.00", verify(1, "VersionVirusPattern"));
  EXPECT_EQ(
      Lines{"<1> QxUpdate::_verifyDBVersion: get component version from tb_kitefeed table failed"},
      logLines({"QxUpdate::_verifyDBVersion: get"}));
}

TEST_P(VersionQueries, SavedVersionsAreWhatTheClientAnswered) {
  QxUpdate& u = update();
  std::string msg = "earlier\n", version;
  EXPECT_FALSE(A::saveVersion(
      u,
      {item(3, 4, {576300, 0, 0}, {576500, 0, 0}), item(3, 0x10001, {17461, 0, 0}, {17461, 0, 0}),
       item(3, 0x4000001, {17461004, 0, 0}, {17461005, 0, 0}),
       item(3, 0x20000, {1, 0, 0}, {2, 0, 0}),  // no pattern has that id
       item(5, 4, {1, 0, 0}, {2, 0, 0}), item(3, 0x48020000, {100, 0, 0}, {12345, 0, 0})},
      msg));
  EXPECT_EQ(SUCCESS, u.getResultVersion(QXASE_PATTERN, version));
  EXPECT_EQ("earlier\nwrong download class.\n 5.765.00 576500 0.123.45  17461.005",
            msg + " " + A::result(u, 1) + " " +
                std::to_string(A::para(u).stVersion[1].uiInternalVersion) + " " + A::result(u, 10) +
                " " + A::result(u, 0) + " " + version);
  // An engine's version text comes from the client; without the client nothing is recorded.
  msg.clear();
  EXPECT_FALSE(A::saveVersion(u, {item(2, 0x10000001, {7, 2, 1050}, {7, 3, 1120})}, msg));
  EXPECT_EQ("Unable to record the version of the downloaded engine.\n",
            msg + A::result(u, QXASE_ENGINE));
}

INSTANTIATE_TEST_SUITE_P(Backends, VersionQueries, ORVEL_DB_BACKENDS);
