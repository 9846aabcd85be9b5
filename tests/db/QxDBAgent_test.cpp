// The database agent on both backends: statements of the script file, rows and columns,
// transactions, the exact texts it throws and logs, and agents that cannot connect.
#include "OrvelKF/QxDBAgent.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>

#include "OrvelCommon/QxDBConnection.h"
#include "ProductHome.h"

using ORVEL::QxDBAgent;
using OrvelTest::Backend;
using OrvelTest::ProductHome;

namespace {

// The text an operation throws; "" when it throws nothing.
template <typename Operation>
std::string thrownBy(Operation operation) {
  try {
    operation();
  } catch (const char* text) {
    return text ? text : "(null)";
  }
  return "";
}

void seedTwoRows(const ProductHome& home) {
  home.exec(
      "insert into tb_kite_feed (type, version, file_size, file_name) values "
      "(1, '5.763.00', 10, 'a.zip'), (101, null, 20, 'b.zip')");
}

class QxDBAgentTest : public OrvelTest::HomeTest {};

TEST_P(QxDBAgentTest, FormatsStatementsIntoTheBufferAndReadsRowsColumnsAndLocalTimes) {
  OrvelTest::ScopedTimeZone zone("JST-9");
  seedTwoRows(*home);
  // 2024-03-05 07:08:09 UTC is 16:08:09 in UTC+9: SQLite keeps the local text, PostgreSQL the
  // absolute time.
  home->exec(GetParam() == Backend::kSqlite
                 ? "update tb_kite_feed set update_time = '2024-03-05 16:08:09' where type = 1"
                 : "update tb_kite_feed set update_time = '2024-03-05 07:08:09+00' where type = 1");
  QxDBAgent agent;
  ASSERT_TRUE(agent.isOK());
  ASSERT_NE(nullptr, agent.getConnection());
  EXPECT_EQ(home->setting().passwd, QxDBAgent::ms_passwd) << "deciphered from orvel.ini";
  char sql[512];
  agent.loadSQL(sql, sizeof sql, "KF_BACKUP_KFROW", 101, 7, 1);
  EXPECT_STREQ("update tb_kite_feed set type = 101 where component_id = 7 and type = 1", sql);
  // "select kf_uploads from tb_version_number" has 40 characters: a 40-character buffer keeps
  // 39 of them, a 39-character one is too small.
  agent.loadSQL(sql, 40, "KF_GET_UPLOADS_NUMBER");
  EXPECT_STREQ("select kf_uploads from tb_version_numbe", sql);
  agent.loadSQL(sql, sizeof sql, "NO_SUCH_STATEMENT");
  EXPECT_STREQ("", sql);
  agent.loadSQL(sql, sizeof sql, "KF_GET_ALL_ROWS");
  agent.excuteQuery(sql);
  ASSERT_EQ(0, agent.fetchNextRow());
  long time = 0;
  const char* version = nullptr;
  agent.getTime("update_time", time);
  EXPECT_EQ(1709622489, time);
  ASSERT_EQ(0, agent.fetchNextRow());
  agent.getString("version", version);
  EXPECT_EQ(nullptr, version) << "a NULL version";
  EXPECT_EQ(5, agent.fetchNextRow());
  // A new statement ends the one before, and with it that statement's view of the rows.
  agent.excuteQuery(sql);
  ASSERT_EQ(0, agent.fetchNextRow());
  home->exec("update tb_kite_feed set version = '5.765.00' where type = 1");
  agent.excuteQuery("select version from tb_kite_feed where type = 1");
  ASSERT_EQ(0, agent.fetchNextRow());
  agent.getString("version", version);
  EXPECT_STREQ("5.765.00", version);
  agent.closeStatement();
  EXPECT_EQ("QxDBAgent::fetchNextRow:  can not get the result set",
            thrownBy([&] { agent.fetchNextRow(); }));
}

TEST_P(QxDBAgentTest, ThrowsTheExactTextOfEachFault) {
  seedTwoRows(*home);
  QxDBAgent agent;
  char sql[512];
  int i = 0;
  long t = 0;
  // Statements that prepare and fail when they run.
  const char* failingQuery = GetParam() == Backend::kSqlite
                                 ? "select abs(-9223372036854775808) as n"  // integer overflow
                                 : "select 1 / (select count(*) from tb_version_number) as n";
  const std::string noResult = ":  can not get the result set";
  const std::pair<std::string, std::function<void()>> faults[] = {
      {"loadSQL:  failed to format the 'KF_GET_ROW_INFO'",
       [&] { agent.loadSQL(sql, 10, "KF_GET_ROW_INFO", 1); }},
      {"loadSQL: invalid arguments", [&] { agent.loadSQL(nullptr, 512, "KF_GET_ROW_INFO", 1); }},
      {"getInt" + noResult, [&] { agent.getInt("type", i); }},
      {"getTime" + noResult, [&] { agent.getTime("type", t); }},
      {"excuteQuery:  excuteQuery failed", [&] { agent.excuteQuery(failingQuery); }},
      {"getInt" + noResult, [&] { agent.getInt("n", i); }},
      {"excuteUpdate:  excuteUpdate failed",
       [&] { agent.excuteUpdate("insert into tb_version_number (id, kf_uploads) values (2, 0)"); }},
      // The agent stays usable; unknown columns name themselves.
      {"", [&] { agent.excuteQuery("select type, file_name from tb_kite_feed where type = 1"); }},
      {"", [&] { agent.fetchNextRow(); }},
      {"getInt:  failed to get the value of 'nope'", [&] { agent.getInt("nope", i); }},
      {"getTime:  failed to get the value of 'file_name'", [&] { agent.getTime("file_name", t); }}};
  for (const auto& [text, operation] : faults)
    EXPECT_EQ(text.empty() ? "" : "QxDBAgent::" + text, thrownBy(operation));
}

TEST_P(QxDBAgentTest, ASecondStartJoinsTheTransactionAndARollbackRestoresTheRowsExactly) {
  QxDBAgent agent;
  ASSERT_TRUE(agent.startTransaction());
  ASSERT_TRUE(agent.startTransaction());
  agent.excuteUpdate("insert into tb_version_number (kf_uploads) values (1)");
  EXPECT_EQ(-1, home->scalar("select kf_uploads as n from tb_version_number"))
      << "not visible before the commit";
  EXPECT_TRUE(agent.commitTransaction());
  EXPECT_EQ(1, home->scalar("select kf_uploads as n from tb_version_number"));
  EXPECT_FALSE(agent.getConnection()->inTransaction());
  EXPECT_TRUE(agent.commitTransaction()) << "a second commit finds nothing to commit";
  agent.rollbackTransaction();
  EXPECT_EQ(std::string::npos, home->log().find("QxDBAgent::")) << home->log();
}

INSTANTIATE_TEST_SUITE_P(Backends, QxDBAgentTest, ORVEL_DB_BACKENDS);

// An agent that cannot connect: not OK, no connection, every operation fails, nothing escapes
// but the texts it throws.
TEST(QxDBAgentNotConnected, UnreadableSettingsOrAnUnreachableDatabaseLeaveItNotOK) {
  ProductHome home(Backend::kSqlite, false);
  OrvelTest::writeFile(home / "config/orvel.ini", "[general]\nlocale = en_US\n");
  OrvelTest::forgetProcessSettings();
  QxDBAgent unread;
  EXPECT_TRUE(QxDBAgent::ms_dsn.empty()) << "the next agent tries again";
  QxDBAgent::ms_dsn = "postgresql:host=127.0.0.1 port=" + std::to_string(OrvelTest::closedPort());
  QxDBAgent::ms_uid = "orvel";
  QxDBAgent::ms_passwd = "secret";
  QxDBAgent::ms_database = "orveladmin";
  QxDBAgent unreachable;
  for (QxDBAgent* agent : {&unread, &unreachable}) {
    EXPECT_FALSE(agent->isOK() || agent->getConnection() || agent->startTransaction() ||
                 agent->commitTransaction());
    agent->rollbackTransaction();
    EXPECT_EQ(
        "QxDBAgent::excuteUpdate:  prepareStatement failed|QxDBAgent::excuteQuery:  "
        "prepareStatement failed|QxDBAgent::fetchNextRow:  can not get the result set",
        thrownBy([&] { agent->excuteUpdate("delete from tb_kite_feed"); }) + "|" +
            thrownBy([&] { agent->excuteQuery("select 1"); }) + "|" +
            thrownBy([&] { agent->fetchNextRow(); }));
    agent->closeStatement();
  }
  const std::string log = home.log();
  for (const char* line : {"<1> QxDBAgent::QxDBAgent getAdminDBSetting failed.\n",
                           "<1> QxDBAgent::QxDBAgent: Connect to AdminDB failed.\n"})
    EXPECT_NE(std::string::npos, log.find(line)) << line << log;
  EXPECT_EQ(std::string::npos, log.find("secret"));
}

TEST(QxDBAgentEscape, DoublesQuotesAndBackslashes) {
  std::string work;
  const char* out = "not null";
  QxDBAgent::escapeData(nullptr, work, out);
  EXPECT_EQ(nullptr, out);
  const char* const rows[][2] = {{"'a\\", "''a\\\\"},
                                 {"O'Neil's \\\\share", "O''Neil''s \\\\\\\\share"}};
  for (const auto& row : rows) {
    QxDBAgent::escapeData(row[0], work, out);
    EXPECT_STREQ(row[1], out);
    EXPECT_EQ(work.c_str(), out);
  }
}

}  // namespace
