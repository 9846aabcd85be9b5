#include "OrvelCommon/GlobalSettingOnMem.h"

#include <gtest/gtest.h>

#include <string>

#include "TempDir.h"

using ORVEL::GlobalSettingOnMem;

TEST(GlobalSettingOnMem, OneObjectPerFileThatSeesChangesOnDisk) {
  OrvelTest::TempDir home;
  const std::string path = home / "orvel.ini";
  OrvelTest::writeFile(path, "[general]\nlocale = ja\n[Update]\nFrequency=Hourly\n");

  GlobalSettingOnMem* settings = GlobalSettingOnMem::Instance(path.c_str(), true, nullptr, nullptr,
                                                              nullptr, nullptr, true);
  ASSERT_NE(nullptr, settings);
  EXPECT_TRUE(settings->m_ready);
  EXPECT_EQ(settings, GlobalSettingOnMem::Instance(path.c_str(), true, nullptr, nullptr, nullptr,
                                                   nullptr, true));

  std::string value = "kept";
  EXPECT_EQ(0, settings->readSetting("locale", value, "general", nullptr));
  EXPECT_EQ("ja", value);
  EXPECT_EQ(0, settings->readSetting("Frequency", value, "Update", "orvel.ini"));
  EXPECT_EQ("Hourly", value);
  value = "kept";
  EXPECT_NE(0, settings->readSetting("Locale", value, "general", nullptr));  // case counts
  EXPECT_NE(0, settings->readSetting("locale", value, "General", nullptr));
  EXPECT_NE(0, settings->readSetting("locale", value, "general", "other.ini"));
  EXPECT_NE(0, settings->readSetting(nullptr, value, "general", nullptr));
  EXPECT_EQ("kept", value);

  // Another process rewrites the file: the next read sees it.
  OrvelTest::writeFile(path, "[general]\nlocale = en_US\n");
  EXPECT_EQ(0, settings->readSetting("locale", value, "general", nullptr));
  EXPECT_EQ("en_US", value);

  EXPECT_EQ(0, settings->writeSetting("Frequency", "30", "Update", nullptr));
  EXPECT_NE(std::string::npos, OrvelTest::readFile(path).find("Frequency=30"));
}

TEST(GlobalSettingOnMem, AFileThatCannotBeReadIsNotReady) {
  OrvelTest::TempDir home;
  const std::string path = home / "missing/orvel.ini";
  GlobalSettingOnMem* settings =
      GlobalSettingOnMem::Instance(path.c_str(), true, nullptr, nullptr, nullptr, nullptr, true);
  ASSERT_NE(nullptr, settings);
  EXPECT_FALSE(settings->m_ready);
  std::string value;
  EXPECT_NE(0, settings->readSetting("locale", value, "general", nullptr));
  EXPECT_NE(0, settings->writeSetting("locale", "ja", "general", nullptr));  // no such folder

  EXPECT_EQ(nullptr, GlobalSettingOnMem::Instance(nullptr, true, nullptr, nullptr, nullptr, nullptr, true));
  EXPECT_EQ(nullptr, GlobalSettingOnMem::Instance("", true, nullptr, nullptr, nullptr, nullptr, true));
}
