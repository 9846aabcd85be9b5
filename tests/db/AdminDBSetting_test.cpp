// Where the central database is: the [AdminDB] section of the local orvel.ini.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "OrvelCommon/OrvelConfigFileManager.h"
#include "OrvelCommon/PasswordCipher.h"
#include "TempDir.h"

namespace {

class AdminDBSettingTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::filesystem::create_directories(dir / "config");
    ::setenv("ORVEL_HOME", dir.path().c_str(), 1);
  }
  void TearDown() override { ::unsetenv("ORVEL_HOME"); }

  bool read(const std::string& ini) {
    OrvelTest::writeFile(dir / "config/orvel.ini", ini);
    return OrvelConfigFileManager::getAdminDBSetting(setting);
  }
  // "dsn|user|password|database|backend" of the setting read last.
  std::string summary() const {
    return setting.dsn + "|" + setting.uid + "|" + setting.passwd + "|" + setting.database + "|" +
           setting.backend;
  }
  std::string log() const {
    const std::string file = dir / "log/orvel.log";
    return OrvelTest::fileExists(file) ? OrvelTest::readFile(file) : "";
  }

  OrvelTest::TempDir dir;
  AdminDBSetting setting;
};

TEST_F(AdminDBSettingTest, SqliteLiesBelowTheHomeUnlessAbsoluteAndPostgresqlPasswordsDecipher) {
  ASSERT_TRUE(read("[AdminDB]\nbackend = sqlite\n"));
  EXPECT_EQ("sqlite:" + dir.path() + "\\lib\\orveladmin.db|||" + "|sqlite", summary());
  ASSERT_TRUE(read("[AdminDB]\nfile = data\\central.db\n")) << "sqlite is the default backend";
  EXPECT_EQ("sqlite:" + dir.path() + "\\data\\central.db", setting.dsn);
  ASSERT_TRUE(read("[AdminDB]\nfile = /srv/orvel/central.db\n"));
  EXPECT_EQ("sqlite:/srv/orvel/central.db", setting.dsn);

  std::string stored;
  ASSERT_TRUE(ORVEL::NewEncryptStr("pa ss'word", stored));
  ASSERT_TRUE(
      read("[AdminDB]\nbackend = postgresql\nhost = db.example.org\nport = 5433\n"
           "database = orveladmin\nuser = orvel\npassword = " +
           stored + "\n"));
  EXPECT_EQ("postgresql:host='db.example.org' port='5433'|orvel|pa ss'word|orveladmin|postgresql",
            summary());
  ASSERT_TRUE(read("[AdminDB]\nbackend = postgresql\nhost = it's\nsslmode = require\n"));
  EXPECT_EQ("postgresql:host='it\\'s' sslmode='require'||||postgresql", summary())
      << "no password: a role that logs in without one";
}

TEST_F(AdminDBSettingTest, MissingSectionUnknownBackendOrBadPasswordFail) {
  EXPECT_FALSE(read("[general]\nlocale = ja\n"));
  EXPECT_EQ("", setting.dsn);
  EXPECT_FALSE(read("[AdminDB]\n"));
  EXPECT_FALSE(read("[AdminDB]\nbackend = mssql\nuser = sa\npassword = hunter2\n"));
  EXPECT_EQ("", setting.dsn);
  EXPECT_FALSE(read("[AdminDB]\nbackend = postgresql\npassword = hunter2\n"))
      << "a password that is not enciphered";
  EXPECT_EQ("", setting.passwd);
  const std::string text = log();
  EXPECT_NE(std::string::npos, text.find("<1> OrvelConfigFileManager::getAdminDBSetting: no "
                                         "[AdminDB] section"))
      << text;
  EXPECT_NE(std::string::npos, text.find("unknown backend \"mssql\"")) << text;
  EXPECT_NE(std::string::npos, text.find("the password of [AdminDB] does not decipher")) << text;
  EXPECT_EQ(std::string::npos, text.find("hunter2")) << "never the password";
}

TEST_F(AdminDBSettingTest, NoHomeOrNoFileFail) {
  EXPECT_FALSE(OrvelConfigFileManager::getAdminDBSetting(setting)) << "no orvel.ini yet";
  EXPECT_NE(std::string::npos, log().find("cannot read")) << log();
  ::unsetenv("ORVEL_HOME");
  EXPECT_FALSE(OrvelConfigFileManager::getAdminDBSetting(setting));
  EXPECT_FALSE(OrvelConfigFileManager::getAdminDBSetting(nullptr, setting));
}

}  // namespace
