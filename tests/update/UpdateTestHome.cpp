#include "UpdateTestHome.h"

#include <cstdlib>
#include <filesystem>

#include "OrvelCommon/GlobalSettingIF.h"
#include "OrvelCommon/Log.h"
#include "OrvelKF/KFBlobManager.h"
#include "TempDir.h"

namespace fs = std::filesystem;

namespace OrvelUpdateTest {

std::string componentRows() {
  std::vector<_uiKFDataNoFile> all;
  EXPECT_EQ(ERRC_SUCCESS, KFBlobManager::GetKFRows(all));
  std::string text;
  for (const auto& row : all) text += std::to_string(row.type) + ":" + row.version + " ";
  return text;
}

void UpdateTest::SetUp() {
  DbTest::SetUp();
  if (IsSkipped() || HasFatalFailure()) return;
  fs::create_directory_symlink(ORVEL_TEST_RESOURCE_DIR, *home / "resources");
  ORVEL::Log::Configure(nullptr, ORVEL::ORVEL_LOG_DETAIL);
  QxUpdateTestAccess::forgetStatics();
}

void UpdateTest::TearDown() {
  ORVEL::Log::Configure(nullptr, -1);
  DbTest::TearDown();
}

void UpdateTest::setting(const char* key, const char* value, const char* section) {
  ORVEL::GlobalSettingIF settings;
  ASSERT_TRUE(settings.Init(nullptr, nullptr, nullptr, nullptr));
  ASSERT_EQ(0, settings.writeSetting(key, value, section, "orvel.ini"));
}

void UpdateTest::useResources(const std::string& rootTexts) {
  fs::remove(*home / "resources");
  const std::string group = *home / "resources/IDG_ORVEL_UTIL";
  fs::create_directories(group);
  OrvelTest::writeFile(*home / "root.txt", "root {\n" + rootTexts + "}\n");
  ASSERT_EQ(0, std::system(("genrb -q -e UTF-8 -d '" + group + "' '" + *home / "root.txt" + "'").c_str()));
}

}  // namespace OrvelUpdateTest
