// The database classes on both backends: connecting, the schema, binding and reading columns,
// transactions, date-times, and databases that are missing, broken or unreachable.
#include <gtest/gtest.h>
#include <poll.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <ctime>
#include <vector>

#include "ChildProcess.h"
#include "DBDateTime.h"
#include "FakeClock.h"
#include "OrvelCommon/CentralDatabase.h"
#include "OrvelCommon/QxDBResultset.h"
#include "OrvelCommon/QxDBScript.h"
#include "OrvelCommon/QxDBStatement.h"
#include "ProductHome.h"

using ORVEL::QxDBConnection;
using ORVEL::QxDBResultset;
using ORVEL::QxDBStatement;
using ORVEL::QxDBTimestamp;
using OrvelTest::Backend;
using OrvelTest::closedPort;
using OrvelTest::ProductHome;

namespace {

int bindText(QxDBStatement* stmt, int index, const char* text) {
  return stmt->setBytes(index, text, static_cast<long>(std::strlen(text)), false);
}

class DbClassesTest : public OrvelTest::HomeTest {};

// The schema's content column comes last (or SQLite reads whole blobs): the streaming test shows.
TEST_P(DbClassesTest, ConnectsToAnEmptySchemaThatIsNotCreatedTwice) {
  auto conn = home->connect();
  ASSERT_TRUE(conn);
  EXPECT_STREQ(GetParam() == Backend::kSqlite ? "sqlite" : "postgresql", conn->getDBMSType());
  for (const char* table :
       {"tb_kite_feed", "tb_version_number", "tb_system_event", "tb_global_setting"})
    EXPECT_EQ(0, home->scalar(std::string("select count(*) as n from ") + table)) << table;
  home->exec("insert into tb_version_number (kf_uploads) values (7)");
  std::string error;
  EXPECT_EQ(-1, ORVEL::createCentralDatabase(home->setting(), home->path().c_str(), error));
  EXPECT_NE(std::string::npos, error.find("tb_kite_feed")) << error;
  EXPECT_EQ(7, home->scalar("select kf_uploads as n from tb_version_number"));
}

TEST_P(DbClassesTest, BindsParametersAndReadsColumnsByName) {
  auto conn = home->connect();
  QxDBStatement* insert = nullptr;
  ASSERT_EQ(0, conn->prepareStatement("insert into tb_global_setting (section, \"key\", value, "
                                      "file_name) values (?, ?, ?, ?)",
                                      insert))
      << conn->lastError();
  const char* tricky = "it's a \\ path? \xE6\x9B\xB4\xE6\x96\xB0";  // quote, backslash, "?", UTF-8
  ASSERT_EQ(0, bindText(insert, 1, "Update"));
  ASSERT_EQ(0, bindText(insert, 2, "a"));
  ASSERT_EQ(0, bindText(insert, 3, tricky));
  ASSERT_EQ(0, bindText(insert, 4, "orvel.ini"));
  ASSERT_EQ(0, insert->excuteUpdate()) << insert->lastError();
  EXPECT_EQ(1, insert->affectedRows());
  ASSERT_EQ(0, bindText(insert, 2, "b"));
  ASSERT_EQ(0, insert->setNull(3));
  ASSERT_EQ(0, insert->excuteUpdate()) << insert->lastError();
  conn->closeStatement(insert);

  QxDBStatement* query = nullptr;
  QxDBResultset* rs = nullptr;
  ASSERT_EQ(0, conn->prepareStatement("select \"key\", value from tb_global_setting where "
                                      "section = ? order by \"key\"",
                                      query));
  ASSERT_EQ(0, bindText(query, 1, "Update"));
  ASSERT_EQ(0, query->excuteQuery(rs)) << query->lastError();
  const char* text = nullptr;
  EXPECT_EQ(-1, rs->getString("value", text)) << "no row is current before the first next()";
  ASSERT_EQ(QxDBResultset::kRow, rs->next());
  ASSERT_EQ(0, rs->getString("VALUE", text));  // names match without regard to case
  EXPECT_STREQ(tricky, text);
  int number = 5;
  EXPECT_EQ(-1, rs->getInt("value", number)) << "a text is no number";
  ASSERT_EQ(QxDBResultset::kRow, rs->next());
  EXPECT_TRUE(rs->isNull("value"));
  ASSERT_EQ(0, rs->getString("value", text));
  EXPECT_EQ(nullptr, text);
  EXPECT_EQ(0, rs->getInt("value", number));
  EXPECT_EQ(0, number);
  EXPECT_EQ(QxDBResultset::kNoMoreRows, rs->next());
  EXPECT_EQ(-1, rs->getString("key", text)) << "no row is current after the last";
}

// A "?" inside a literal or a comment is no parameter; absolute times come back in local time.
TEST_P(DbClassesTest, ReadsNumbersTextsAndDateTimesWithinTheirRange) {
  OrvelTest::ScopedTimeZone zone("JST-9");
  home->exec(
      "insert into tb_system_event (scanner_id, time_date, event_id) values (1, "
      "'2024-03-05 07:08:09', 10001)");
  auto conn = home->connect();
  QxDBStatement* stmt = nullptr;
  QxDBResultset* rs = nullptr;
  ASSERT_EQ(0, conn->prepareStatement(
                   "select 42 as i /* ? */, 7 / 2 as d, 3000000000 as big, ? as p, '?' as q, "
                   "time_date, "
                   "'2024-03-05 07:08:09.25+00:00' as utc, 'soon' as bad, null as missing "
                   "from tb_system_event",
                   stmt));
  ASSERT_EQ(0, bindText(stmt, 1, "bound"));
  ASSERT_EQ(0, stmt->excuteQuery(rs)) << stmt->lastError();
  ASSERT_EQ(QxDBResultset::kRow, rs->next());
  int i = 0;
  double d = 0;
  std::int64_t big = 0;
  const char *p = nullptr, *q = nullptr;
  EXPECT_EQ(0, rs->getInt("i", i) + rs->getDouble("d", d) + rs->getLong("big", big));
  EXPECT_EQ(0, rs->getString("p", p) + rs->getString("q", q));
  EXPECT_EQ("42 3.000000 3000000000 bound ?", std::to_string(i) + " " + std::to_string(d) + " " +
                                                  std::to_string(big) + " " + p + " " + q);
  EXPECT_EQ(-1, rs->getInt("big", i)) << "beyond the range of int";
  QxDBTimestamp t;
  auto text = [&t] {
    char stamp[48];
    std::snprintf(stamp, sizeof stamp, "%04d-%02d-%02d %02d:%02d:%02d.%09u", t.year, t.month, t.day,
                  t.hour, t.minute, t.second, t.fraction);
    return std::string(stamp);
  };
  ASSERT_EQ(0, rs->getTimestamp("time_date", t));
  EXPECT_EQ("2024-03-05 07:08:09.000000000", text());
  ASSERT_EQ(0, rs->getTimestamp("utc", t));
  EXPECT_EQ("2024-03-05 16:08:09.250000000", text()) << "in local time (UTC+9)";
  EXPECT_EQ(-1, rs->getTimestamp("bad", t));
  EXPECT_EQ(-1, rs->getTimestamp("missing", t));
}

TEST_P(DbClassesTest, RefusesBadStatementsAndBindings) {
  auto conn = home->connect();
  QxDBStatement* stmt = reinterpret_cast<QxDBStatement*>(1);
  for (const char* sql : {"", "selec 1", "select * from no_such_table", "select 1; select 2"}) {
    EXPECT_EQ(-1, conn->prepareStatement(sql, stmt)) << sql;
    EXPECT_EQ(nullptr, stmt) << sql;
  }
  EXPECT_EQ(-1, conn->prepareStatement(nullptr, stmt));
  ASSERT_EQ(0, conn->prepareStatement("select ? as a", stmt));
  EXPECT_EQ(-1, stmt->setLong(0, 1));
  EXPECT_EQ(-1, stmt->setLong(2, 1));
  EXPECT_EQ(-1, stmt->setBytes(1, "a\0b", 3, false)) << "a NUL inside a text is refused";
  EXPECT_EQ(-1, stmt->setBytes(1, nullptr, 3, false));
  EXPECT_EQ(-1, stmt->setBytes(1, "a", -1, false));
  ORVEL::Blob* blob = nullptr;
  EXPECT_EQ(-1, stmt->setBlob(1, 10, blob)) << "a blob streams only into an inserted row";
  EXPECT_EQ(nullptr, blob);
  conn->closeStatement(stmt);
  conn->closeStatement(nullptr);  // ignored
}

// A transaction in which a statement failed ends with a rollback on both backends, whatever the
// caller does next: the rows before the failure do not stay either.
TEST_P(DbClassesTest, RollbackLeavesNoRowCommitKeepsThemAndAFailedStatementCannotCommit) {
  auto conn = home->connect();
  const char* insert =
      "insert into tb_system_event (scanner_id, time_date, event_id) values (1, "
      "'2024-01-01 00:00:00', 10001)";
  EXPECT_EQ(0, conn->commit()) << "nothing open: nothing to do";
  EXPECT_EQ(0, conn->rollback());
  ASSERT_EQ(0, conn->beginTransaction());
  EXPECT_TRUE(conn->inTransaction());
  EXPECT_EQ(-1, conn->beginTransaction()) << "one transaction at a time";
  ASSERT_EQ(0, conn->executeScript(insert));
  EXPECT_EQ(0, home->scalar("select count(*) as n from tb_system_event"))
      << "another connection does not see the open transaction";
  ASSERT_EQ(0, conn->rollback());
  EXPECT_FALSE(conn->inTransaction());
  EXPECT_EQ(0, home->scalar("select count(*) as n from tb_system_event"));
  ASSERT_EQ(0, conn->beginTransaction());
  ASSERT_EQ(0, conn->executeScript(insert));
  ASSERT_EQ(0, conn->commit());
  EXPECT_EQ(1, home->scalar("select count(*) as n from tb_system_event"));

  ASSERT_EQ(0, conn->beginTransaction());
  ASSERT_EQ(0, conn->executeScript(insert));
  QxDBStatement* stmt = nullptr;
  ASSERT_EQ(0,
            conn->prepareStatement("insert into tb_kite_feed (type, version) values (?, ?)", stmt));
  ASSERT_EQ(0, stmt->setLong(1, 1));
  ASSERT_EQ(0, bindText(stmt, 2, "1.0"));
  ASSERT_EQ(0, stmt->excuteUpdate());
  EXPECT_EQ(-1, stmt->excuteUpdate()) << "the type is unique";
  EXPECT_NE(std::string(""), stmt->lastError());
  conn->closeStatement(stmt);
  EXPECT_EQ(-1, conn->commit());
  EXPECT_FALSE(conn->inTransaction());
  EXPECT_EQ(1, home->scalar("select count(*) as n from tb_system_event"));
}

TEST_P(DbClassesTest, ScriptFileHasEveryStatementForTheDialect) {
  ORVEL::QxDBScript* script = ORVEL::QxDBScript::getInstance();
  ASSERT_NE(nullptr, script);
  auto conn = home->connect();
  // Each statement with the arguments its callers format it with; each must prepare.
  const struct {
    const char* key;
    int args[3];
  } statements[] = {{"KF_GET_ROW_INFO", {1}},
                    {"KF_REMOVE_BACKUPROW", {101}},
                    {"KF_BACKUP_KFROW", {101, 1, 1}},
                    {"KF_ADD_BLOB", {}},
                    {"KF_GET_BLOB", {}},
                    {"KF_GET_ALL_ROWS", {}},
                    {"KF_GET_UPLOADS_NUMBER", {}},
                    {"KF_INSERT_VERSION_LINE", {1}},
                    {"KF_INCREASE_UPLOAD_NUMBER", {}},
                    {"GLOBAL_SETTING_READ", {}},
                    {"GLOBAL_SETTING_WRITE", {}}};
  for (const auto& s : statements) {
    std::string format;
    ASSERT_TRUE(script->getScript(conn->getDBMSType(), s.key, format)) << s.key;
    char sql[512];
    std::snprintf(sql, sizeof sql, format.c_str(), s.args[0], s.args[1], s.args[2]);
    QxDBStatement* stmt = nullptr;
    EXPECT_EQ(0, conn->prepareStatement(sql, stmt)) << s.key << ": " << conn->lastError();
    conn->closeStatement(stmt);
  }
  std::string sql = "kept";
  EXPECT_FALSE(script->getScript(conn->getDBMSType(), "NO_SUCH_KEY", sql));
  EXPECT_EQ("", sql);
  EXPECT_FALSE(script->getScript("mssql", "KF_GET_ROW_INFO", sql));
}

INSTANTIATE_TEST_SUITE_P(Backends, DbClassesTest, ORVEL_DB_BACKENDS);

TEST(DbCreation, CreatesTheTablesOnceAndSaysWhyNot) {
  ProductHome home(Backend::kSqlite, false);
  std::string error = "stale";
  EXPECT_EQ(0, ORVEL::createCentralDatabase(home.setting(), home.path().c_str(), error));
  EXPECT_EQ("", error);
  EXPECT_EQ(-1, ORVEL::createCentralDatabase(home.setting(), nullptr, error));
  EXPECT_EQ("no product home or no backend", error);
}

TEST(DbConnection, MissingBrokenAndUnreachableDatabasesDoNotConnect) {
  OrvelTest::TempDir dir;
  QxDBConnection conn;
  EXPECT_EQ(-1, conn.connect(("sqlite:" + dir / "missing.db").c_str(), "", "", "", 1, 1, 0));
  EXPECT_FALSE(conn.isConnected());
  EXPECT_STREQ("", conn.getDBMSType());
  OrvelTest::writeFile(dir / "garbage.db", std::string(8192, 'x'));
  EXPECT_EQ(-1, conn.connect(("sqlite:" + dir / "garbage.db").c_str(), "", "", "", 1, 1, 0));
  EXPECT_NE(nullptr, std::strstr(conn.lastError(), "not a database")) << conn.lastError();
  const std::string closed = "postgresql:host=127.0.0.1 port=" + std::to_string(closedPort());
  EXPECT_EQ(-1, conn.connect(closed.c_str(), "u", "secret-password", "db", 2, 1, 0));
  EXPECT_EQ(nullptr, std::strstr(conn.lastError(), "secret-password"));
  EXPECT_EQ(-1, conn.connect("odbc:AdminDB", "", "", "", 1, 1, 0));
  EXPECT_EQ(-1, conn.connect(nullptr, "", "", "", 1, 1, 0));
  QxDBConnection future(2);
  OrvelTest::writeFile(dir / "empty.db", "");
  EXPECT_EQ(-1, future.connect(("sqlite:" + dir / "empty.db").c_str(), "", "", "", 1, 1, 0));
  // Nothing works without a connection, and nothing crashes.
  QxDBStatement* stmt = nullptr;
  EXPECT_EQ(-1, conn.prepareStatement("select 1", stmt));
  EXPECT_EQ(-1, conn.beginTransaction());
  EXPECT_EQ(-1, conn.commit());
  EXPECT_EQ(-1, conn.rollback());
  EXPECT_EQ(-1, conn.executeScript("select 1"));
}

TEST(DbConnection, RetriesTheGivenNumberOfTimesApart) {
  OrvelTest::FakeClock clock;
  QxDBConnection conn;
  const std::string closed = "postgresql:host=127.0.0.1 port=" + std::to_string(closedPort());
  EXPECT_EQ(-1, conn.connect(closed.c_str(), "u", "p", "db", 2, 3, 10));
  EXPECT_EQ((std::vector<unsigned>{10000, 10000}), clock.sleeps());
  EXPECT_EQ(-1, conn.connect("odbc:AdminDB", "", "", "", 2, 3, 10));
  EXPECT_EQ(2u, clock.sleeps().size()) << "a data source of no known kind is not retried";
}

TEST(DbConnection, WrongPasswordIsRefused) {
  ORVEL_REQUIRE_BACKEND(Backend::kPostgres);
  OrvelTest::PgServer server;
  OrvelTest::pgServer(server);
  QxDBConnection conn;
  EXPECT_EQ(-1, conn.connect(("postgresql:" + server.conninfo()).c_str(), server.user.c_str(),
                             "not-the-password", "postgres", 5, 1, 0));
  EXPECT_NE(nullptr, std::strstr(conn.lastError(), "password")) << conn.lastError();
  EXPECT_EQ(nullptr, std::strstr(conn.lastError(), "not-the-password"));
}

// Several processes of one machine share the SQLite file: WAL plus the busy timeout let every
// writer wait its turn instead of failing.
TEST(DbSqliteSharing, ConcurrentWritersOfSeveralProcessesAllGetThrough) {
  ProductHome home(Backend::kSqlite);
  home.exec("insert into tb_version_number (kf_uploads) values (0)");
  constexpr int kProcesses = 4;
  constexpr int kRounds = 25;
  auto increment = [&home]() {
    QxDBConnection conn;
    if (conn.connect(home.setting().dsn.c_str(), "", "", "", 10, 1, 0) != 0) return 10;
    for (int i = 0; i < kRounds; ++i) {
      // A read-then-write transaction, the blob store's pattern.
      if (conn.beginTransaction() != 0) return 11;
      QxDBStatement* stmt = nullptr;
      QxDBResultset* rs = nullptr;
      int value = 0;
      if (conn.prepareStatement("select kf_uploads from tb_version_number", stmt) != 0 ||
          stmt->excuteQuery(rs) != 0 || rs->next() != 0 || rs->getInt("kf_uploads", value) != 0)
        return 12;
      conn.closeStatement(stmt);
      const std::string update =
          "update tb_version_number set kf_uploads = " + std::to_string(value + 1);
      if (conn.executeScript(update.c_str()) != 0 || conn.commit() != 0) return 13;
    }
    return 0;
  };
  pid_t children[kProcesses];
  for (pid_t& child : children) child = OrvelTest::startChild(increment);
  for (pid_t child : children) EXPECT_EQ(0, OrvelTest::waitChild(child));
  EXPECT_EQ(kProcesses * kRounds, home.scalar("select kf_uploads as n from tb_version_number"));
  auto conn = home.connect();
  QxDBStatement* stmt = nullptr;
  QxDBResultset* rs = nullptr;
  const char* mode = nullptr;
  ASSERT_EQ(0, conn->prepareStatement("PRAGMA journal_mode", stmt));
  ASSERT_EQ(0, stmt->excuteQuery(rs));
  ASSERT_EQ(0, rs->next());
  ASSERT_EQ(0, rs->getString("journal_mode", mode));
  EXPECT_STREQ("wal", mode);
}

// Another process holds the write lock: without a busy timeout a writer fails at once; with one
// it waits, and gets through when the holder is done.
TEST(DbSqliteSharing, TheBusyTimeoutMakesAWriterWaitForTheLock) {
  ProductHome home(Backend::kSqlite);
  const std::string dsn = home.setting().dsn;
  int locked[2], release[2], trying[2], result[2];
  for (int* fds : {locked, release, trying, result}) ASSERT_EQ(0, ::pipe(fds));
  const pid_t holder = OrvelTest::startChild([&]() {
    QxDBConnection conn;
    if (conn.connect(dsn.c_str(), "", "", "", 0, 1, 0) != 0 || conn.beginTransaction() != 0)
      return 10;
    char c = 'l';
    if (::write(locked[1], &c, 1) != 1 || ::read(release[0], &c, 1) != 1) return 11;
    return conn.commit() == 0 ? 0 : 12;
  });
  char c = 0;
  ASSERT_EQ(1, ::read(locked[0], &c, 1));
  // Writes its outcome to the result pipe: '0' through, '1' refused.
  auto beginWithTimeout = [&](int seconds) {
    QxDBConnection conn;
    if (conn.connect(dsn.c_str(), "", "", "", seconds, 1, 0) != 0) return 20;
    char step = 't';
    if (::write(trying[1], &step, 1) != 1) return 21;
    step = conn.beginTransaction() == 0 && conn.commit() == 0 ? '0' : '1';
    return ::write(result[1], &step, 1) == 1 ? step - '0' : 22;
  };
  EXPECT_EQ(1, OrvelTest::runInChild([&]() { return beginWithTimeout(0); }));
  ASSERT_EQ(1, ::read(trying[0], &c, 1));
  ASSERT_EQ(1, ::read(result[0], &c, 1));
  const pid_t waiter = OrvelTest::startChild([&]() { return beginWithTimeout(30); });
  ASSERT_EQ(1, ::read(trying[0], &c, 1));
  pollfd outcome{result[0], POLLIN, 0};
  EXPECT_EQ(0, ::poll(&outcome, 1, 300)) << "the waiter must still wait while the lock is held";
  ASSERT_EQ(1, ::write(release[1], "r", 1));
  EXPECT_EQ(0, OrvelTest::waitChild(holder));
  EXPECT_EQ(0, OrvelTest::waitChild(waiter));
  for (int* fds : {locked, release, trying, result}) {
    ::close(fds[0]);
    ::close(fds[1]);
  }
}

TEST(DbDateTimeText, AcceptsTheFormsOfBothDatabases) {
  OrvelTest::ScopedTimeZone zone("UTC0");
  QxDBTimestamp t;
  ASSERT_TRUE(ORVEL::parseDateTimeText("2024-03-05T07:08", t));
  EXPECT_EQ(7, t.hour);
  EXPECT_EQ(0, t.second);
  ASSERT_TRUE(ORVEL::parseDateTimeText("2024-03-05 07:08:09.123456789123-0530", t));
  EXPECT_EQ(12, t.hour);
  EXPECT_EQ(38, t.minute);
  EXPECT_EQ(123456789u, t.fraction);
  ASSERT_TRUE(ORVEL::parseDateTimeText("2023-12-31 23:30:00+0100", t));
  EXPECT_EQ(22, t.hour);
  for (const char* bad : {"", "2024-13-01 00:00:00", "2024-03-05", "2024-03-05 07:08:09 junk",
                          "24-03-05 07:08:09", "2024-03-05 07:08:09+"})
    EXPECT_FALSE(ORVEL::parseDateTimeText(bad, t)) << bad;
  EXPECT_FALSE(ORVEL::parseDateTimeText(nullptr, t));
}

}  // namespace
