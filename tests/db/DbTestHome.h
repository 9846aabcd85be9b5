// A product home in a scratch folder with an empty central database of one backend, for the
// database tests. Every database test runs on both backends.
//
// PostgreSQL: the server of scripts/servers/postgres, told by ORVEL_TEST_PG_HOST, _PORT, _USER and
// _PASSWORD; each home gets a database of its own, dropped afterwards. Without those variables a
// PostgreSQL case fails when CI is set and is skipped otherwise.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <string>

#include "OrvelCommon/OrvelConfigFileManager.h"
#include "OrvelCommon/QxDBConnection.h"
#include "TempDir.h"

namespace OrvelDbTest {

enum class Backend { kSqlite, kPostgres };

std::string backendName(const ::testing::TestParamInfo<Backend>& info);

struct PgServer {
  std::string host, port, user, password;
  std::string conninfo() const { return "host=" + host + " port=" + port; }
};
// False when the variables are missing.
bool pgServer(PgServer& server);

class TestHome {
 public:
  // Lays out bin/, lib/, log/, config/orvel.ini ([AdminDB] of the backend), the sql/ scripts, and
  // sets ORVEL_HOME. createDatabase: also create the tables.
  TestHome(Backend backend, bool createDatabase = true);
  ~TestHome();

  const std::string& path() const { return m_dir.path(); }
  std::string operator/(const std::string& relative) const { return m_dir / relative; }
  const AdminDBSetting& setting() const { return m_setting; }
  Backend backend() const { return m_backend; }

  // A new connection to the home's database; null (with a test failure) when it does not open.
  std::unique_ptr<ORVEL::QxDBConnection> connect() const;
  // Runs a statement without parameters on a connection of its own.
  void exec(const std::string& sql) const;
  // The first column of the first row as a number; -1 when there is no row.
  std::int64_t scalar(const std::string& sql) const;
  // Large objects that exist (PostgreSQL; 0 on SQLite).
  std::int64_t largeObjects() const;
  // The product log of this home.
  std::string log() const;

 private:
  void _layOut();
  void _writeAdminDB();

  OrvelTest::TempDir m_dir;
  Backend m_backend;
  std::string m_pgDatabase;
  AdminDBSetting m_setting;
};

// Base of the parameterised database tests: a fresh home for every case, the agent's statics and
// the statement store pointed at it.
class DbTest : public ::testing::TestWithParam<Backend> {
 protected:
  void SetUp() override;
  void TearDown() override;

  std::unique_ptr<TestHome> home;
};

// Base of the cases that only PostgreSQL has (large objects, a server that drops connections).
class PgTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  std::unique_ptr<TestHome> home;
};

// False for PostgreSQL when no server is configured. A case that finds none fails when CI is set
// and is skipped otherwise.
bool backendAvailable(Backend backend);
bool runningUnderCi();
constexpr const char* kNoServer =
    "no PostgreSQL server: start one with `scripts/servers/postgres start DIR` and export what it "
    "prints (ORVEL_TEST_PG_HOST, _PORT, _USER, _PASSWORD)";

// Resets what a process remembers of the central database (the agent's settings, the statement
// store) so that the next agent reads them from the current home.
void forgetProcessSettings();

}  // namespace OrvelDbTest

#define ORVEL_DB_BACKENDS                                                            \
  ::testing::Values(OrvelDbTest::Backend::kSqlite, OrvelDbTest::Backend::kPostgres), \
      OrvelDbTest::backendName
