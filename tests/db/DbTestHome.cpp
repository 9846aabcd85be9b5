#include "DbTestHome.h"

#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>

#include "OrvelCommon/CentralDatabase.h"
#include "OrvelCommon/PasswordCipher.h"
#include "OrvelCommon/QxDBResultset.h"
#include "OrvelCommon/QxDBScript.h"
#include "OrvelCommon/QxDBStatement.h"
#include "OrvelKF/QxDBAgent.h"

namespace fs = std::filesystem;

namespace OrvelDbTest {

namespace {

const char* env(const char* name) {
  const char* value = std::getenv(name);
  return value && *value ? value : nullptr;
}

std::string uniqueDatabaseName() {
  static std::atomic<int> counter{0};
  return "orvel_t_" + std::to_string(::getpid()) + "_" + std::to_string(++counter);
}

// Runs sql on the server's maintenance database (creating and dropping test databases).
void onMaintenanceDatabase(const std::string& sql) {
  PgServer server;
  ASSERT_TRUE(pgServer(server));
  ORVEL::QxDBConnection conn;
  ASSERT_EQ(0, conn.connect(("postgresql:" + server.conninfo()).c_str(), server.user.c_str(),
                            server.password.c_str(), "postgres", 10, 1, 0))
      << conn.lastError();
  ASSERT_EQ(0, conn.executeScript(sql.c_str())) << conn.lastError();
}

}  // namespace

std::string backendName(const ::testing::TestParamInfo<Backend>& info) {
  return info.param == Backend::kSqlite ? "SQLite" : "PostgreSQL";
}

bool pgServer(PgServer& server) {
  const char* host = env("ORVEL_TEST_PG_HOST");
  const char* port = env("ORVEL_TEST_PG_PORT");
  const char* user = env("ORVEL_TEST_PG_USER");
  const char* password = env("ORVEL_TEST_PG_PASSWORD");
  if (!host || !port || !user || !password) return false;
  server = {host, port, user, password};
  return true;
}

bool backendAvailable(Backend backend) {
  PgServer server;
  return backend == Backend::kSqlite || pgServer(server);
}

bool runningUnderCi() { return env("CI") != nullptr; }

void forgetProcessSettings() {
  ORVEL::QxDBAgent::ms_dsn.clear();
  ORVEL::QxDBAgent::ms_uid.clear();
  ORVEL::QxDBAgent::ms_passwd.clear();
  ORVEL::QxDBAgent::ms_database.clear();
  const char* home = env("ORVEL_HOME");
  if (home) ORVEL::QxDBScript::init((std::string(home) + "/sql/mssql/dbscript.conf").c_str());
}

TestHome::TestHome(Backend backend, bool createDatabase) : m_backend(backend) {
  _layOut();
  ::setenv("ORVEL_HOME", path().c_str(), 1);
  if (m_backend == Backend::kPostgres) {
    m_pgDatabase = uniqueDatabaseName();
    onMaintenanceDatabase("CREATE DATABASE " + m_pgDatabase);
  }
  _writeAdminDB();
  EXPECT_TRUE(OrvelConfigFileManager::getAdminDBSetting(path().c_str(), m_setting));
  if (!createDatabase) return;
  std::string error;
  EXPECT_EQ(0, ORVEL::createCentralDatabase(m_setting, path().c_str(), error)) << error;
}

TestHome::~TestHome() {
  if (!m_pgDatabase.empty())
    onMaintenanceDatabase("DROP DATABASE IF EXISTS " + m_pgDatabase + " WITH (FORCE)");
}

void TestHome::_layOut() {
  for (const char* folder : {"bin", "lib", "log", "config", "sql"})
    fs::create_directory(*this / folder);
  fs::copy(std::string(ORVEL_SOURCE_DIR) + "/sql", *this / "sql", fs::copy_options::recursive);
}

void TestHome::_writeAdminDB() {
  std::string section = "[general]\nlocale = en_US\n\n[AdminDB]\n";
  PgServer server;
  if (m_backend == Backend::kSqlite) {
    section += "backend = sqlite\nfile = lib\\orveladmin.db\n";
  } else if (pgServer(server)) {
    std::string stored;
    ASSERT_TRUE(ORVEL::NewEncryptStr(server.password.c_str(), stored));
    section += "backend = postgresql\nhost = " + server.host + "\nport = " + server.port +
               "\ndatabase = " + m_pgDatabase + "\nuser = " + server.user +
               "\npassword = " + stored + "\n";
  }
  OrvelTest::writeFile(*this / "config/orvel.ini", section);
}

std::unique_ptr<ORVEL::QxDBConnection> TestHome::connect() const {
  auto conn = std::make_unique<ORVEL::QxDBConnection>(1);
  if (conn->connect(m_setting.dsn.c_str(), m_setting.uid.c_str(), m_setting.passwd.c_str(),
                    m_setting.database.c_str(), 10, 1, 0) != 0) {
    ADD_FAILURE() << "cannot connect: " << conn->lastError();
    return nullptr;
  }
  return conn;
}

void TestHome::exec(const std::string& sql) const {
  auto conn = connect();
  ASSERT_TRUE(conn);
  ASSERT_EQ(0, conn->executeScript(sql.c_str())) << sql << ": " << conn->lastError();
}

std::int64_t TestHome::scalar(const std::string& sql) const {
  auto conn = connect();
  ORVEL::QxDBStatement* stmt = nullptr;
  ORVEL::QxDBResultset* rs = nullptr;
  if (!conn || conn->prepareStatement(sql.c_str(), stmt) != 0 || stmt->excuteQuery(rs) != 0) {
    ADD_FAILURE() << sql << ": " << (stmt ? stmt->lastError() : conn ? conn->lastError() : "");
    return -2;
  }
  if (rs->next() != 0) return -1;
  std::int64_t value = -3;
  EXPECT_EQ(0, rs->getLong("n", value)) << sql << " must name its column n";
  return value;
}

std::int64_t TestHome::largeObjects() const {
  if (m_backend != Backend::kPostgres) return 0;
  return scalar("select count(*) as n from pg_largeobject_metadata");
}

std::string TestHome::log() const {
  const std::string file = *this / "log/orvel.log";
  return OrvelTest::fileExists(file) ? OrvelTest::readFile(file) : std::string();
}

void DbTest::SetUp() {
  if (!backendAvailable(GetParam())) {
    if (runningUnderCi()) FAIL() << kNoServer;
    GTEST_SKIP() << kNoServer;
  }
  home = std::make_unique<TestHome>(GetParam());
  forgetProcessSettings();
}

void PgTest::SetUp() {
  if (!backendAvailable(Backend::kPostgres)) {
    if (runningUnderCi()) FAIL() << kNoServer;
    GTEST_SKIP() << kNoServer;
  }
  home = std::make_unique<TestHome>(Backend::kPostgres);
  forgetProcessSettings();
}

void PgTest::TearDown() {
  home.reset();
  ::unsetenv("ORVEL_HOME");
}

void DbTest::TearDown() {
  home.reset();
  ::unsetenv("ORVEL_HOME");
}

}  // namespace OrvelDbTest
