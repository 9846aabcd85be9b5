// The installation's global settings in "tb_global_setting", on both backends.
#include "OrvelCommon/GlobalSettingIF.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ProductHome.h"

using ORVEL::GlobalSettingIF;
using OrvelTest::Backend;

namespace {

class GlobalSettingIFTest : public OrvelTest::HomeTest {};

TEST_P(GlobalSettingIFTest,
       WritesThenReadsAndUpdatesInPlaceRenewsADroppedConnectionAndNeedsItsStatements) {
  GlobalSettingIF settings;
  ASSERT_TRUE(settings.Init(nullptr, nullptr, nullptr, nullptr));
  std::string value = "kept";
  EXPECT_EQ(1, settings.readSetting("Frequency", value, "Update", "orvel.ini"));
  EXPECT_EQ("kept", value);
  EXPECT_EQ(0, settings.writeSetting("Frequency", "daily", "Update", "orvel.ini"));
  const char* tricky = "it's \\ 50% \xE6\x9B\xB4\xE6\x96\xB0; drop table x";
  EXPECT_EQ(0, settings.writeSetting("Frequency", tricky, "Update", "orvel.ini"));
  EXPECT_EQ(0, settings.readSetting("Frequency", value, "Update", "orvel.ini"));
  EXPECT_EQ(tricky, value);
  EXPECT_EQ(1, home->scalar("select count(*) as n from tb_global_setting"));
  // Section and file name are part of the setting's name; no name is refused.
  EXPECT_EQ((std::vector<int>{1, 0, 0, -1}),
            (std::vector<int>{settings.readSetting("Frequency", value, "hqagent", "orvel.ini"),
                              settings.writeSetting("locale", nullptr, nullptr, nullptr),
                              settings.readSetting("locale", value, "", ""),
                              settings.readSetting(nullptr, value, "Update", "orvel.ini")}));
  EXPECT_EQ("", value);
  // A database that goes away fails reads and writes only; a server that drops the connection
  // between two reads (a restart, an administrator) is connected to anew by the next read.
  ASSERT_EQ(0, settings.writeSetting("Debug", "on", "Update", "orvel.ini"));
  if (GetParam() == Backend::kPostgres) {
    home->exec(
        "select pg_terminate_backend(pid, 10000) from pg_stat_activity "
        "where datname = current_database() and pid <> pg_backend_pid()");
    EXPECT_EQ(0, settings.readSetting("Debug", value, "Update", "orvel.ini"));
    EXPECT_EQ("on", value);
    EXPECT_NE(std::string::npos, home->log().find("GlobalSettingIF::readSetting: [Update] Debug: "))
        << "the first try met the dropped connection: " << home->log();
  }
  GlobalSettingIF gone;
  AdminDBSetting away = home->setting();
  away.dsn = GetParam() == Backend::kSqlite ? "sqlite:" + *home / "lib/missing.db"
                                            : "postgresql:host=127.0.0.1 port=1";
  ASSERT_TRUE(gone.Init(&away, nullptr, nullptr, nullptr)) << "Init does not connect";
  EXPECT_EQ(-1, gone.readSetting("Debug", value, "Update", "orvel.ini"));
  EXPECT_EQ(-1, gone.writeSetting("Debug", "off", "Update", "orvel.ini"));
  EXPECT_NE(std::string::npos,
            home->log().find("<1> GlobalSettingIF::readSetting: connect to AdminDB failed"))
      << home->log();
  EXPECT_EQ(std::string::npos, home->log().find("\"off\"")) << "values are not logged";

  OrvelTest::writeFile(*home / "config/orvel.ini", "[general]\n");
  EXPECT_FALSE(GlobalSettingIF().Init(nullptr, nullptr, nullptr, nullptr)) << "no [AdminDB]";
}

INSTANTIATE_TEST_SUITE_P(Backends, GlobalSettingIFTest, ORVEL_DB_BACKENDS);

}  // namespace
