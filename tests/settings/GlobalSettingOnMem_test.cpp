#include "OrvelCommon/GlobalSettingOnMem.h"

#include <gtest/gtest.h>

#include <string>

#include "TempDir.h"

using ORVEL::GlobalSettingOnMem;

namespace {

GlobalSettingOnMem* instance(const char* path) {
  return GlobalSettingOnMem::Instance(path, true, nullptr, nullptr, nullptr, nullptr, true);
}

// The value read, or "<none>" with the code when the read fails.
std::string read(GlobalSettingOnMem& settings, const char* key, const char* section,
                 const char* fileName = nullptr) {
  std::string value = "<none>";
  const int rc = settings.readSetting(key, value, section, fileName);
  return rc == 0 ? value : value + " " + std::to_string(rc);
}

}  // namespace

TEST(GlobalSettingOnMem, OneObjectPerFileThatSeesChangesOnDisk) {
  OrvelTest::TempDir home;
  const std::string path = home / "orvel.ini";
  OrvelTest::writeFile(path, "[general]\nlocale = ja\n[Update]\nFrequency=Hourly\n");
  GlobalSettingOnMem* settings = instance(path.c_str());
  ASSERT_NE(nullptr, settings);
  EXPECT_TRUE(settings->m_ready);
  EXPECT_EQ(settings, instance(path.c_str()));
  EXPECT_EQ("ja|Hourly|<none> -1", read(*settings, "locale", "general") + "|" +
                                       read(*settings, "Frequency", "Update", "orvel.ini") + "|" +
                                       read(*settings, "locale", "general", "other.ini"));
  OrvelTest::writeFile(path, "[general]\nlocale = en_US\n");  // another process rewrites it
  EXPECT_EQ("en_US", read(*settings, "locale", "general"));
  EXPECT_EQ(0, settings->writeSetting("Frequency", "30", "Update", nullptr));
  EXPECT_EQ("[general]\nlocale = en_US\n[Update]\nFrequency=30\n", OrvelTest::readFile(path));

  GlobalSettingOnMem* missing = instance((home / "missing/orvel.ini").c_str());
  ASSERT_NE(nullptr, missing);
  EXPECT_FALSE(missing->m_ready);
  EXPECT_NE(0, missing->writeSetting("locale", "ja", "general", nullptr));  // no such folder
  EXPECT_TRUE(instance(nullptr) == nullptr && instance("") == nullptr);
}
