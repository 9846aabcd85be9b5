// The database classes on both backends: connecting, the schema, binding and reading columns,
// transactions, date-times, and databases that are missing, broken or unreachable.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "DBDateTime.h"
#include "FakeClock.h"
#include "OrvelCommon/CentralDatabase.h"
#include "OrvelCommon/QxDBResultset.h"
#include "OrvelCommon/QxDBStatement.h"
#include "ProductHome.h"

using ORVEL::QxDBConnection;
using ORVEL::QxDBResultset;
using ORVEL::QxDBStatement;
using ORVEL::QxDBTimestamp;
using OrvelTest::Backend;

namespace {

std::string text(const QxDBTimestamp& t) {
  char stamp[48];
  std::snprintf(stamp, sizeof stamp, "%04d-%02d-%02d %02d:%02d:%02d.%09u", t.year, t.month, t.day,
                t.hour, t.minute, t.second, t.fraction);
  return stamp;
}

class DbClassesTest : public OrvelTest::HomeTest {};

TEST_P(DbClassesTest, TheSchemaIsNotCreatedOverAnExistingOne) {
  auto conn = home->connect();
  ASSERT_TRUE(conn);
  EXPECT_STREQ(GetParam() == Backend::kSqlite ? "sqlite" : "postgresql", conn->getDBMSType());
  // Several processes of one machine share the SQLite file: readers never wait for a writer.
  if (GetParam() == Backend::kSqlite) {
    EXPECT_EQ(1, home->scalar(
                     "select count(*) as n from pragma_journal_mode where journal_mode = 'wal'"));
  }
  home->exec("insert into tb_version_number (kf_uploads) values (7)");
  std::string error;
  EXPECT_EQ(-1, ORVEL::createCentralDatabase(home->setting(), home->path().c_str(), error));
  EXPECT_NE(std::string::npos, error.find("tb_kite_feed")) << error;
  EXPECT_EQ(7, home->scalar("select kf_uploads as n from tb_version_number"));
}

// Binding texts of every kind shows in the settings' tests, affected rows in the blob store's.
TEST_P(DbClassesTest, ReadsColumnsByNameOfTheCurrentRowOnlyWithinTheirRangeAndRefusesBadOnes) {
  auto conn = home->connect();
  QxDBStatement* stmt = reinterpret_cast<QxDBStatement*>(1);
  for (const char* sql : {"selec 1", "select 1; select 2"}) {
    EXPECT_EQ(-1, conn->prepareStatement(sql, stmt)) << sql;
    EXPECT_EQ(nullptr, stmt) << sql;
  }
  // A "?" inside a literal or a comment is no parameter.
  ASSERT_EQ(0,
            conn->prepareStatement("select 42 as i /* ? */, 3000000000 as big, ? as p, '?' as q, "
                                   "'soon' as bad, null as missing, '' as empty",
                                   stmt));
  ASSERT_EQ(0, stmt->setBytes(1, "it's", 4, false));
  QxDBResultset* rs = nullptr;
  ASSERT_EQ(0, stmt->excuteQuery(rs)) << stmt->lastError();
  int i = 5;
  std::int64_t big = 0;
  double d = 0;
  const char *p = nullptr, *q = nullptr;
  QxDBTimestamp t;
  EXPECT_EQ(-1, rs->getString("p", p)) << "no row is current before the first next()";
  ASSERT_EQ(QxDBResultset::kRow, rs->next());
  // Names match without regard to case.
  EXPECT_EQ(0, rs->getInt("I", i) + rs->getLong("big", big) + rs->getString("p", p) +
                   rs->getString("q", q));
  EXPECT_EQ("42 3000000000 it's ?",
            std::to_string(i) + " " + std::to_string(big) + " " + p + " " + q);
  // A text, beyond the range of int, an empty text, no date-time, NULL.
  EXPECT_EQ((std::vector<int>(5, -1)),
            (std::vector<int>{rs->getInt("p", i), rs->getInt("big", i), rs->getDouble("empty", d),
                              rs->getTimestamp("bad", t), rs->getTimestamp("missing", t)}));
  EXPECT_TRUE(rs->isNull("missing"));
  EXPECT_EQ(0, rs->getString("missing", p) + rs->getInt("missing", i));
  EXPECT_EQ("(null) 0", std::string(p ? p : "(null)") + " " + std::to_string(i));
  EXPECT_EQ(QxDBResultset::kNoMoreRows, rs->next());
  conn->closeStatement(stmt);
}

// A transaction in which a statement failed ends with a rollback on both backends, whatever the
// caller does next: the rows before the failure do not stay either.
TEST_P(DbClassesTest, AnOpenTransactionIsUnseenAndAFailedStatementCannotCommit) {
  auto conn = home->connect();
  const char* insert =
      "insert into tb_system_event (scanner_id, time_date, event_id) values (1, "
      "'2024-01-01 00:00:00', 10001)";
  const char* events = "select count(*) as n from tb_system_event";
  EXPECT_EQ(0, conn->commit() + conn->rollback()) << "nothing open: nothing to do";
  for (bool fail : {false, true}) {
    ASSERT_EQ(0, conn->beginTransaction());
    EXPECT_EQ(-1, conn->beginTransaction()) << "one transaction at a time";
    ASSERT_EQ(0, conn->executeScript(insert));
    EXPECT_EQ(fail ? 1 : 0, home->scalar(events)) << "another connection does not see the open one";
    QxDBStatement* stmt = nullptr;
    ASSERT_EQ(0, conn->prepareStatement("insert into tb_kite_feed (type) values (1)", stmt));
    EXPECT_EQ(fail ? -1 : 0, stmt->excuteUpdate()) << "the type is unique";
    EXPECT_TRUE(!fail || *stmt->lastError()) << "a failure says why";
    conn->closeStatement(stmt);
    EXPECT_EQ(fail ? -1 : 0, conn->commit());
    EXPECT_FALSE(conn->inTransaction());
    EXPECT_EQ(1, home->scalar(events));
  }
  ASSERT_EQ(0, conn->beginTransaction());
  ASSERT_EQ(0, conn->executeScript(insert));
  ASSERT_EQ(0, conn->rollback());
  EXPECT_EQ(1, home->scalar(events));
}

// The server's answers on a wrong password name neither it nor the one given.
TEST_P(DbClassesTest, MissingBrokenAndUnreachableDatabasesDoNotConnectAndAreRetriedApart) {
  QxDBConnection conn;
  if (GetParam() == Backend::kPostgres) {
    EXPECT_EQ(-1, conn.connect(home->setting().dsn.c_str(), home->setting().uid.c_str(),
                               "not-the-password", "postgres", 5, 1, 0));
    EXPECT_NE(nullptr, std::strstr(conn.lastError(), "password")) << conn.lastError();
    EXPECT_EQ(nullptr, std::strstr(conn.lastError(), "not-the-password"));
    return;
  }
  EXPECT_EQ(-1, conn.connect(("sqlite:" + *home / "missing.db").c_str(), "", "", "", 1, 1, 0));
  OrvelTest::writeFile(*home / "garbage.db", std::string(8192, 'x'));
  EXPECT_EQ(-1, conn.connect(("sqlite:" + *home / "garbage.db").c_str(), "", "", "", 1, 1, 0));
  EXPECT_NE(nullptr, std::strstr(conn.lastError(), "not a database")) << conn.lastError();
  OrvelTest::FakeClock clock;
  const std::string closed =
      "postgresql:host=127.0.0.1 port=" + std::to_string(OrvelTest::closedPort());
  EXPECT_EQ(-1, conn.connect(closed.c_str(), "u", "secret-password", "db", 2, 3, 10));
  EXPECT_EQ(nullptr, std::strstr(conn.lastError(), "secret-password"));
  EXPECT_EQ((std::vector<unsigned>{10000, 10000}), clock.sleeps());
  EXPECT_EQ(-1, conn.connect("odbc:AdminDB", "", "", "", 2, 3, 10));
  EXPECT_EQ(2u, clock.sleeps().size()) << "a data source of no known kind is not retried";
  EXPECT_EQ(-1, conn.connect(nullptr, "", "", "", 2, 3, 10));
  // Nothing works without a connection, and nothing crashes.
  QxDBStatement* stmt = nullptr;
  EXPECT_EQ((std::vector<int>(5, -1)),
            (std::vector<int>{conn.prepareStatement("select 1", stmt), conn.beginTransaction(),
                              conn.commit(), conn.rollback(), conn.executeScript("select 1")}));
}

INSTANTIATE_TEST_SUITE_P(Backends, DbClassesTest, ORVEL_DB_BACKENDS);

TEST(DbDateTimeText, AcceptsTheFormsOfBothDatabases) {
  OrvelTest::ScopedTimeZone zone("UTC0");
  QxDBTimestamp t;
  const std::pair<const char*, const char*> good[] = {
      {"2024-03-05 07:08:09.123456789123-0530", "2024-03-05 12:38:09.123456789"},
      {"2023-12-31 23:30:00.25+01:00", "2023-12-31 22:30:00.250000000"}};
  for (const auto& [in, out] : good) {
    ASSERT_TRUE(ORVEL::parseDateTimeText(in, t)) << in;
    EXPECT_EQ(out, text(t)) << in;
  }
  for (const char* bad : {"", "2024-13-01 00:00:00", "2024-03-05", "2024-03-05 07:08:09 junk"})
    EXPECT_FALSE(ORVEL::parseDateTimeText(bad, t)) << bad;
}

}  // namespace
