// The version facts of a component: installed (asked of the reference engines), adopted (the
// global setting kept up with the central table of either backend), installed when, and what
// the update client answered.
#include <filesystem>

#include "OrvelCommon/BoundedCopy.h"
#include "PipelineTest.h"

namespace fs = std::filesystem;
using namespace OrvelPipelineTest;
using OrvelEngines::PatternKind;

namespace {

constexpr const char* kSystemError = "System Error: unable to continue to do update.\n";

std::string versionError(int type) {
  return std::string("Unable to get the version of the ") + QxUpdateTestAccess::downloadWhat(type) +
         ".";
}

tag_ItemInfo item(unsigned cls, unsigned id, QxuVersionBuild before, QxuVersionBuild after) {
  tag_ItemInfo made{};
  made.uiClass = cls;
  made.uiItemId = id;
  made.stCurrent = before;
  made.stResult = after;
  return made;
}

}  // namespace

class VersionQueries : public PipelineTest {
 protected:
  void upload(int type, const char* version) {
    const std::string path = *home / "upload.bin";
    OrvelTest::writeFile(path, version);
    _uiKFData data{};
    data.type = type;
    ORVEL::boundedCopy(data.version, sizeof data.version, version);
    ORVEL::boundedCopy(data.file_name, sizeof data.file_name, "upload.bin");
    ORVEL::boundedCopy(data.file_path, sizeof data.file_path, path.c_str());
    data.file_size = static_cast<int>(fs::file_size(path));
    ASSERT_EQ(ERRC_SUCCESS, KFBlobManager::AddKFBlob(data));
  }
  std::string adopted(const char* key) {
    ORVEL::GlobalSettingIF settings;
    std::string value = "(none)";
    EXPECT_TRUE(settings.Init(nullptr, nullptr, nullptr, nullptr));
    settings.readSetting(key, value, "Update", "orvel.ini");
    return value;
  }
};

TEST_P(VersionQueries, LocalVersionsAreWhatTheInstalledEnginesSay) {
  installEngines("v1");
  const std::string ziran = *home / "lib/pattern/ziran";
  fs::create_directories(ziran);
  fs::create_directories(*home / "lib/pattern/qxase/rules");
  const std::pair<PatternKind, std::uint32_t> patterns[] = {
      {PatternKind::kVirus, 576300},
      {PatternKind::kSpyware, 123400},
      {PatternKind::kLurebox, 200100},
      {PatternKind::kLureboxException, 300200},
      {PatternKind::kCloudsift, 400300}};
  for (const auto& pattern : patterns)
    OrvelEngineTest::writePatterns(ziran, pattern.first, {pattern.second});
  ASSERT_EQ(OrvelEngines::FileCheck::kOk,
            OrvelEngines::writeRuleSet(*home / "lib/pattern/qxase/rules", 17461, 5, 200));
  const char* versions[kfComponentCount] = {"9.500.1001", "5.763.00",   "1.234.00",  "2.001.00",
                                            "3.002.00",   "7.2.1050",   "17461.005", "17461005",
                                            "3.100.1004", "2.000.1003", "4.003.00"};
  QxUpdate& u = update();
  for (int type = 0; type < kfComponentCount; ++type) {
    std::string msg = "earlier", version;
    ASSERT_EQ(0, u.getLocalVersion(static_cast<QxUpdateType>(type), msg, version, type % 2));
    EXPECT_EQ(versions[type], version);
    EXPECT_EQ("", msg);
    const std::string what = QxUpdateTestAccess::downloadWhat(type);
    const std::string found =
        type == QXUFE_ENGINE
            ? "<3> QxUpdate::_getLocalVersionUtil local " + what + " version: "
            : "<3> QxUpdate::_getLocalVersionUtil: get local " + what + " version: ";
    EXPECT_EQ(
        (Lines{"<3> QxUpdate [QxUpdateVersions.cpp]: enter function getLocalVersion type=" +
                   std::to_string(type) + " block=" + (type % 2 ? "yes" : "no"),
               "<3> QxUpdate [QxUpdateVersions.cpp]: enter function _getLocalVersionUtil",
               found + versions[type],
               "<3> QxUpdate [QxUpdateVersions.cpp]: leave function getLocalVersion return=0"}),
        logLines({"QxUpdate [QxUpdateVersions.cpp]", "QxUpdate::_getLocalVersionUtil"}));
  }

  // Without engines every query fails with the component's own words; the version stays.
  fs::remove_all(*home / "bin");
  Lines leaving;
  for (int type : {0, 1, 5, 6, 7, 8, 9, 11, -1}) {
    std::string msg, version = "kept";
    ASSERT_EQ(-1, u.getLocalVersion(static_cast<QxUpdateType>(type), msg, version, true));
    EXPECT_EQ(versionError(type), msg);
    EXPECT_EQ("kept", version);
    leaving.push_back("<3> QxUpdate [QxUpdateVersions.cpp]: leave function _getLocalVersionUtil: " +
                      versionError(type));
  }
  EXPECT_EQ(leaving,
            logLines({"QxUpdate [QxUpdateVersions.cpp]: leave function _getLocalVersionUtil"}));
}

TEST_P(VersionQueries, WithoutTheMessageTextTheEnginesReasonStays) {
  useResources("  KF_VERIFY_ERR { \"engine says no\" }\n");
  std::string msg, version;
  EXPECT_EQ(-1, update().getLocalVersion(SCAN_ENGINE, msg, version, false));
  EXPECT_EQ("engine says no", msg);
}

TEST_P(VersionQueries, AnObjectThatIsNotSetUpAnswersWithTheSystemError) {
  const std::string saved = home->path();
  ::unsetenv("ORVEL_HOME");
  testing::internal::CaptureStdout();
  QxUpdate broken;
  testing::internal::GetCapturedStdout();
  ::setenv("ORVEL_HOME", saved.c_str(), 1);
  std::string msg = "earlier\n", version = "kept";
  EXPECT_EQ(-1, broken.getLocalVersion(VIRUS_PATTERN, msg, version, true));
  EXPECT_EQ(kSystemError, msg);
  msg = "earlier\n";
  EXPECT_EQ(-1, broken.getDBVersion(VIRUS_PATTERN, msg, version, true));
  EXPECT_EQ(std::string("earlier\n") + kSystemError, msg);
  EXPECT_EQ("kept", version);
  long time = 7;
  EXPECT_FALSE(broken.getLocalUpdateTime(VIRUS_PATTERN, time));
  EXPECT_EQ(7, time);
}

TEST_P(VersionQueries, AdoptedVersionsFollowTheCentralTableReadOncePerObject) {
  setting("VersionVirusPattern", "5.763.00");
  setting("VersionQXASEPatch", "17461005");
  upload(SPYWARE_PATTERN, "9.999.00");
  upload(VIRUS_PATTERN, "5.765.00");
  QxUpdate& u = update();
  std::string version;
  ASSERT_TRUE(A::verifyDB(u, VIRUS_PATTERN, "VersionVirusPattern", version));
  EXPECT_EQ("5.765.00", version);
  EXPECT_EQ("5.765.00", adopted("VersionVirusPattern"));
  EXPECT_EQ(
      (Lines{"<3> QxUpdate [QxUpdateVersions.cpp]: enter function _verifyDBVersion",
             "<3> QxUpdate::_verifyDBVersion: verify component version: type=1 version=5.765.00",
             "<3> QxUpdate [QxUpdateVersions.cpp]: leave function _verifyDBVersion: type=1, "
             "version=5.765.00"}),
      logLines({"QxUpdate [", "QxUpdate::_verifyDBVersion"}));

  upload(VIRUS_PATTERN, "5.767.00");
  ASSERT_TRUE(A::verifyDB(u, VIRUS_PATTERN, "VersionVirusPattern", version));
  EXPECT_EQ("5.765.00", version);  // the rows this object read before
  ASSERT_TRUE(A::verifyDB(u, QXASE_PATCH, "VersionQXASEPatch", version));
  EXPECT_EQ("17461005", version);
  EXPECT_FALSE(A::verifyDB(u, LUREBOX_PATTERN, "VersionLureboxPattern", version));
  EXPECT_EQ((Lines{"<1> QxUpdate::_verifyDBVersion: invalid QxUpdateType found",
                   "<1> QxUpdate::_verifyDBVersion: get component version from tb_global_setting "
                   "table failed"}),
            logLines({"QxUpdate::_verifyDBVersion: invalid", "QxUpdate::_verifyDBVersion: get"}));

  // A new object reads the table again; the adopted versions are what getDBVersion tells.
  m_update.reset();
  std::string msg;
  ASSERT_TRUE(A::verifyDB(update(), VIRUS_PATTERN, "VersionVirusPattern", version));
  EXPECT_EQ("5.767.00", version);
  for (int type : {1, 2, 7, 11}) {
    msg = "earlier";
    version = "kept";
    EXPECT_EQ(type == 1 ? 0 : -1,
              update().getDBVersion(static_cast<QxUpdateType>(type), msg, version, false));
    EXPECT_EQ(type == 1 ? "5.767.00" : "kept", version);
    EXPECT_EQ(type == 1 ? "" : versionError(type), msg);
  }

  // A table that cannot be read counts as empty, and is not asked again.
  home->exec("drop table tb_kite_feed");
  m_update.reset();
  for (int round = 0; round < 2; ++round)
    ASSERT_TRUE(A::verifyDB(update(), VIRUS_PATTERN, "VersionVirusPattern", version));
  EXPECT_EQ("5.767.00", version);
  EXPECT_EQ(
      Lines{"<1> QxUpdate::_verifyDBVersion: get component version from tb_kitefeed table failed"},
      logLines({"QxUpdate::_verifyDBVersion: get"}));
}

TEST_P(VersionQueries, LocalUpdateTimesComeFromTheScannerInformationFile) {
  const std::string info = *home / "config/scanner.info";
  OrvelTest::writeFile(info,
                       "[update]\nvirus_pattern_timestamp = 1700000000\n"
                       "cloudsift_agent_pattern_timestamp=42x\n");
  QxUpdate& u = update();
  long time = 0;
  EXPECT_TRUE(u.getLocalUpdateTime(VIRUS_PATTERN, time));
  EXPECT_EQ(1700000000, time);
  EXPECT_TRUE(u.getLocalUpdateTime(CLOUDSIFT_AGENT_PATTERN, time));
  EXPECT_EQ(42, time);
  EXPECT_FALSE(u.getLocalUpdateTime(SPYWARE_PATTERN, time));
  EXPECT_FALSE(u.getLocalUpdateTime(static_cast<QxUpdateType>(11), time));
  EXPECT_FALSE(u.getLocalUpdateTime(static_cast<QxUpdateType>(-1), time));
  fs::remove(info);
  EXPECT_FALSE(u.getLocalUpdateTime(VIRUS_PATTERN, time));
  EXPECT_EQ(42, time);
  EXPECT_EQ(
      (Lines{
          "<3> QxUpdate::getLocalUpdateTime: get local update time of Virus Pattern: 1700000000",
          "<3> QxUpdate::getLocalUpdateTime: get local update time of Cloudsift Agent Pattern: 42x",
          "<1> QxUpdate::getLocalUpdateTime: get local update time of Spyware Pattern from " +
              info + " failed",
          "<1> QxUpdate::getLocalUpdateTime: Error: invalid update type 11",
          "<1> QxUpdate::getLocalUpdateTime: Error: invalid update type -1",
          "<1> QxUpdate::getLocalUpdateTime: get local update time of Virus Pattern from " + info +
              " failed"}),
      logLines({"QxUpdate::getLocalUpdateTime"}));
}

TEST_P(VersionQueries, SavedVersionsAreWhatTheClientAnswered) {
  QxUpdate& u = update();
  std::vector<tag_ItemInfo> items = {
      item(3, 4, {576300, 0, 0}, {576500, 0, 0}),
      item(3, 0x10001, {17461, 0, 0}, {17461, 0, 0}),
      item(3, 0x4000001, {17461004, 0, 0}, {17461005, 0, 0}),
      item(3, 0x20000, {1, 0, 0}, {2, 0, 0}),  // no pattern of that identifier
      item(5, 4, {1, 0, 0}, {2, 0, 0}),
      item(3, 0x48020000, {100, 0, 0}, {12345, 0, 0}),
  };
  std::string msg = "earlier\n", version;
  EXPECT_FALSE(A::saveVersion(u, items, msg));
  EXPECT_EQ("earlier\nwrong download class.\n", msg);
  EXPECT_EQ("5.765.00", A::result(u, VIRUS_PATTERN));
  EXPECT_EQ(576500u, A::para(u).stVersion[VIRUS_PATTERN].uiInternalVersion);
  EXPECT_EQ("0.123.45", A::result(u, CLOUDSIFT_AGENT_PATTERN));
  EXPECT_EQ("", A::result(u, SCAN_ENGINE));
  EXPECT_TRUE(A::patternUpToDate(u));
  EXPECT_FALSE(A::patchUpToDate(u));
  EXPECT_EQ(SUCCESS, u.getResultVersion(QXASE_PATTERN, version));
  EXPECT_EQ("17461.005", version);
  EXPECT_EQ(
      (Lines{
          "<3> QxUpdate::_saveVersion QXASE pattern version is 17461",
          "<3> QxUpdate::_saveVersion QXASE pattern patch version is 17461005",
          "<3> saveVersion: QXASE pattern patch uptodate=no (origial=17461004, result=17461005)"}),
      logLines({"QxUpdate::_saveVersion", "saveVersion:"}));

  // An engine's version text comes from the client; without one nothing is recorded.
  items = {item(2, 0x10000001, {7, 2, 1050}, {7, 3, 1120})};
  msg.clear();
  EXPECT_FALSE(A::saveVersion(u, items, msg));
  EXPECT_EQ("Unable to record the version of the downloaded engine.\n", msg);
  EXPECT_EQ("", A::result(u, QXASE_ENGINE));
  loadClient();
  items = {item(2, 0x10000001, {7, 2, 1050}, {7, 3, 1120}),
           item(2, 0x14000000, {3, 1, 1004}, {3, 123, 1200}),
           item(2, 0x48000125, {2, 0, 1003}, {2, 12, 1100}),
           item(2, 0x77, {0, 0, 0}, {9, 75, 1042})};
  ASSERT_TRUE(A::saveVersion(u, items, msg));
  const char* expected[][2] = {{"7.3.1120", "7.300.1120"},
                               {"3.123.1200", "3.123.1200"},
                               {"2.12.1100", "2.120.1100"},
                               {"9.75.1042", "9.750.1042"}};
  const int types[] = {QXASE_ENGINE, QXUFE_ENGINE, DEXA_ENGINE, SCAN_ENGINE};
  for (int i = 0; i < 4; ++i) {
    EXPECT_EQ(expected[i][0], A::result(u, types[i]));
    EXPECT_EQ(expected[i][1], A::para(u).stVersion[types[i]].strVersion);
  }
  EXPECT_FALSE(A::engineUpToDate(u));
  items = {item(2, 0x22800000, {7, 3, 1120}, {7, 3, 1130})};
  ASSERT_TRUE(A::saveVersion(u, items, msg));
  EXPECT_TRUE(A::engineUpToDate(u));
  EXPECT_TRUE(A::saveVersion(u, items = {}, msg));
}

TEST_P(VersionQueries, PatternFoldersAreMadeWhenMissing) {
  const std::string deeper = *home / "lib/pattern/ziran/new/deeper";
  const std::string file = *home / "lib/file";
  OrvelTest::writeFile(file, "x");
  EXPECT_TRUE(QxUpdate::checkPatternFolder((deeper + "\\//").c_str()));
  EXPECT_TRUE(fs::is_directory(deeper));
  EXPECT_TRUE(QxUpdate::checkPatternFolder((deeper + "/").c_str()));
  EXPECT_TRUE(QxUpdate::checkPatternFolder("///"));
  EXPECT_FALSE(QxUpdate::checkPatternFolder(nullptr));
  EXPECT_FALSE(QxUpdate::checkPatternFolder((file + "/sub").c_str()));
  EXPECT_EQ(
      (Lines{"<1> QxUpdate::checkPatternFolder: " + deeper + " folder not exist, create it now",
             "<1> QxUpdate::checkPatternFolder: invalid folder name found",
             "<1> QxUpdate::checkPatternFolder: " + file + "/sub folder not exist, create it now",
             "<1> QxUpdate::checkPatternFolder: Error: create folder " + file +
                 "/sub failed. errno=20"}),
      logLines({"QxUpdate::checkPatternFolder"}));
}

INSTANTIATE_TEST_SUITE_P(Backends, VersionQueries, ORVEL_DB_BACKENDS);
