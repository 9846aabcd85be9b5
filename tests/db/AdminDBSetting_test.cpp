// Where the central database is: the [AdminDB] section of the local orvel.ini.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "OrvelCommon/OrvelConfigFileManager.h"
#include "OrvelCommon/PasswordCipher.h"
#include "TempDir.h"

namespace {

// SQLite lies below the home unless absolute; PostgreSQL passwords decipher; a section that
// cannot be used fails and says why in the log, never with the password.
TEST(AdminDBSetting, ReadsEachBackendAndRefusesWhatCannotBeUsed) {
  OrvelTest::TempDir dir;
  std::filesystem::create_directories(dir / "config");
  OrvelTest::ScopedEnvironment home("ORVEL_HOME", dir.path().c_str());
  AdminDBSetting setting;
  EXPECT_FALSE(OrvelConfigFileManager::getAdminDBSetting(setting)) << "no orvel.ini yet";
  std::string stored;
  ASSERT_TRUE(ORVEL::NewEncryptStr("pa ss'word", stored));
  // "dsn|user|password|database|backend", or "" when the section is refused.
  const std::pair<std::string, std::string> cases[] = {
      {"backend = sqlite\n", "sqlite:" + dir.path() + "\\lib\\orveladmin.db||||sqlite"},
      {"file = /srv/orvel/central.db\n", "sqlite:/srv/orvel/central.db||||sqlite"},
      {"backend = postgresql\nhost = db.example.org\nport = 5433\ndatabase = orveladmin\n"
       "user = orvel\npassword = " +
           stored + "\n",
       "postgresql:host='db.example.org' port='5433'|orvel|pa ss'word|orveladmin|postgresql"},
      // No password: a role that logs in without one.
      {"backend = postgresql\nhost = it's\nsslmode = require\n",
       "postgresql:host='it\\'s' sslmode='require'||||postgresql"},
      {"", ""},
      {"backend = mssql\nuser = sa\npassword = hunter2\n", ""},
      {"backend = postgresql\npassword = hunter2\n", ""},  // not enciphered
  };
  for (const auto& [section, expected] : cases) {
    OrvelTest::writeFile(dir / "config/orvel.ini", "[AdminDB]\n" + section);
    setting = AdminDBSetting{};
    const bool read = OrvelConfigFileManager::getAdminDBSetting(setting);
    EXPECT_EQ(expected, read ? setting.dsn + "|" + setting.uid + "|" + setting.passwd + "|" +
                                   setting.database + "|" + setting.backend
                             : setting.dsn + setting.passwd)
        << section;
  }
  OrvelTest::writeFile(dir / "config/orvel.ini", "[general]\nlocale = ja\n");
  EXPECT_FALSE(OrvelConfigFileManager::getAdminDBSetting(setting));
  const std::string log = OrvelTest::readFile(dir / "log/orvel.log");
  for (const char* line :
       {"cannot read", "unknown backend \"mssql\"", "the password of [AdminDB] does not decipher",
        "<1> OrvelConfigFileManager::getAdminDBSetting: no [AdminDB] section"})
    EXPECT_NE(std::string::npos, log.find(line)) << line << "\n" << log;
  EXPECT_EQ(std::string::npos, log.find("hunter2")) << "never the password";
}

}  // namespace
