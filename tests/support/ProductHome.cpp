#include "ProductHome.h"

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <filesystem>

#include "OrvelCommon/BoundedCopy.h"
#include "OrvelCommon/CentralDatabase.h"
#include "OrvelCommon/GlobalSettingIF.h"
#include "OrvelCommon/Log.h"
#include "OrvelCommon/PasswordCipher.h"
#include "OrvelCommon/QxDBResultset.h"
#include "OrvelCommon/QxDBScript.h"
#include "OrvelCommon/QxDBStatement.h"
#include "OrvelKF/QxDBAgent.h"

namespace fs = std::filesystem;

namespace OrvelTest {

namespace {

const char* env(const char* name) {
  const char* value = std::getenv(name);
  return value && *value ? value : nullptr;
}

struct PgServer {
  std::string host, port, user, password;
};

// False when the variables are missing.
bool pgServer(PgServer& server) {
  const char *host = env("ORVEL_TEST_PG_HOST"), *port = env("ORVEL_TEST_PG_PORT");
  const char *user = env("ORVEL_TEST_PG_USER"), *password = env("ORVEL_TEST_PG_PASSWORD");
  if (!host || !port || !user || !password) return false;
  server = {host, port, user, password};
  return true;
}

// Runs sql on the server's maintenance database (creating and dropping test databases).
void onMaintenanceDatabase(const std::string& sql) {
  PgServer server;
  ASSERT_TRUE(pgServer(server));
  ORVEL::QxDBConnection conn;
  ASSERT_EQ(0, conn.connect(("postgresql:host=" + server.host + " port=" + server.port).c_str(),
                            server.user.c_str(), server.password.c_str(), "postgres", 10, 1, 0))
      << conn.lastError();
  ASSERT_EQ(0, conn.executeScript(sql.c_str())) << conn.lastError();
}

std::string adminDBSection(Backend backend, const std::string& pgDatabase) {
  std::string section = "[general]\nlocale = en_US\n\n[AdminDB]\n";
  PgServer server;
  if (backend == Backend::kSqlite) return section + "backend = sqlite\nfile = lib\\orveladmin.db\n";
  std::string stored;
  if (!pgServer(server) || !ORVEL::NewEncryptStr(server.password.c_str(), stored)) return section;
  return section + "backend = postgresql\nhost = " + server.host + "\nport = " + server.port +
         "\ndatabase = " + pgDatabase + "\nuser = " + server.user + "\npassword = " + stored + "\n";
}

// The result of a query on conn; null (with a test failure) when it does not run.
ORVEL::QxDBResultset* query(ORVEL::QxDBConnection* conn, const std::string& sql) {
  ORVEL::QxDBStatement* stmt = nullptr;
  ORVEL::QxDBResultset* rs = nullptr;
  if (conn && conn->prepareStatement(sql.c_str(), stmt) == 0 && stmt->excuteQuery(rs) == 0)
    return rs;
  ADD_FAILURE() << sql << ": " << (stmt ? stmt->lastError() : conn ? conn->lastError() : "");
  return nullptr;
}

}  // namespace

std::string backendName(const ::testing::TestParamInfo<Backend>& info) {
  return info.param == Backend::kSqlite ? "SQLite" : "PostgreSQL";
}

bool runningUnderCi() { return env("CI") != nullptr; }

int closedPort() {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address = {};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
  ::close(fd);
  return ntohs(address.sin_port);
}

void forgetProcessSettings() {
  ORVEL::QxDBAgent::ms_dsn.clear();
  ORVEL::QxDBAgent::ms_uid.clear();
  ORVEL::QxDBAgent::ms_passwd.clear();
  ORVEL::QxDBAgent::ms_database.clear();
  const char* home = env("ORVEL_HOME");
  if (home) ORVEL::QxDBScript::init((std::string(home) + "/sql/mssql/dbscript.conf").c_str());
}

ProductHome::ProductHome(Backend backend, bool createDatabase) : m_backend(backend) {
  for (const char* folder : {"bin", "lib", "log", "config"}) fs::create_directory(*this / folder);
  fs::copy(std::string(ORVEL_SOURCE_DIR) + "/sql", *this / "sql", fs::copy_options::recursive);
  fs::create_directory_symlink(ORVEL_TEST_RESOURCE_DIR, *this / "resources");
  ::setenv("ORVEL_HOME", path().c_str(), 1);
  static std::atomic<int> counter{0};
  if (m_backend == Backend::kPostgres) {
    m_pgDatabase = "orvel_t_" + std::to_string(::getpid()) + "_" + std::to_string(++counter);
    onMaintenanceDatabase("CREATE DATABASE " + m_pgDatabase);
  }
  writeFile(*this / "config/orvel.ini", adminDBSection(m_backend, m_pgDatabase));
  EXPECT_TRUE(OrvelConfigFileManager::getAdminDBSetting(path().c_str(), m_setting));
  if (!createDatabase) return;
  std::string error;
  EXPECT_EQ(0, ORVEL::createCentralDatabase(m_setting, path().c_str(), error)) << error;
}

ProductHome::~ProductHome() {
  if (!m_pgDatabase.empty())
    onMaintenanceDatabase("DROP DATABASE IF EXISTS " + m_pgDatabase + " WITH (FORCE)");
  ::unsetenv("ORVEL_HOME");
}

std::unique_ptr<ORVEL::QxDBConnection> ProductHome::connect() const {
  auto conn = std::make_unique<ORVEL::QxDBConnection>(1);
  if (conn->connect(m_setting.dsn.c_str(), m_setting.uid.c_str(), m_setting.passwd.c_str(),
                    m_setting.database.c_str(), 10, 1, 0) != 0) {
    ADD_FAILURE() << "cannot connect: " << conn->lastError();
    return nullptr;
  }
  return conn;
}

void ProductHome::exec(const std::string& sql) const {
  auto conn = connect();
  ASSERT_TRUE(conn);
  ASSERT_EQ(0, conn->executeScript(sql.c_str())) << sql << ": " << conn->lastError();
}

std::int64_t ProductHome::scalar(const std::string& sql) const {
  auto conn = connect();
  ORVEL::QxDBResultset* rs = query(conn.get(), sql);
  if (!rs) return -2;
  if (rs->next() != 0) return -1;
  std::int64_t value = -3;
  EXPECT_EQ(0, rs->getLong("n", value)) << sql << " must name its column n";
  return value;
}

std::int64_t ProductHome::largeObjects() const {
  if (m_backend != Backend::kPostgres) return 0;
  return scalar("select count(*) as n from pg_largeobject_metadata");
}

std::string ProductHome::log() const {
  const std::string file = *this / "log/orvel.log";
  return fileExists(file) ? readFile(file) : std::string();
}

void ProductHome::setting(const char* key, const char* value, const char* section) const {
  ORVEL::GlobalSettingIF settings;
  ASSERT_TRUE(settings.Init(nullptr, nullptr, nullptr, nullptr));
  ASSERT_EQ(0, settings.writeSetting(key, value, section, "orvel.ini"));
}

OrvelErrC ProductHome::upload(int type, const std::string& version, const std::string& content,
                              const char* name) const {
  const std::string path = *this / ("upload-" + std::to_string(type) + "-" + version);
  writeFile(path, content);
  _uiKFData data{};
  data.type = type;
  ORVEL::boundedCopy(data.version, sizeof data.version, version.c_str());
  ORVEL::boundedCopy(data.file_name, sizeof data.file_name, name);
  ORVEL::boundedCopy(data.file_path, sizeof data.file_path, path.c_str());
  data.file_size = static_cast<int>(content.size());
  return KFBlobManager::AddKFBlob(data);
}

std::string ProductHome::componentRows() const {
  std::vector<_uiKFDataNoFile> all;
  EXPECT_EQ(ERRC_SUCCESS, KFBlobManager::GetKFRows(all));
  std::string text;
  for (const auto& row : all) text += std::to_string(row.type) + ":" + row.version + " ";
  return text;
}

std::vector<std::string> ProductHome::events(bool withTime) const {
  std::vector<std::string> found;
  auto conn = connect();
  ORVEL::QxDBResultset* rs = query(conn.get(),
                                   "select scanner_id, event_id, time_date, event_description "
                                   "from tb_system_event order by event_no");
  while (rs && rs->next() == 0) {
    int scanner = 0, event = 0;
    ORVEL::QxDBTimestamp t;
    const char* description = nullptr;
    rs->getInt("scanner_id", scanner);
    rs->getInt("event_id", event);
    rs->getTimestamp("time_date", t);
    rs->getString("event_description", description);
    char stamp[32];
    std::snprintf(stamp, sizeof stamp, "%04d-%02d-%02d %02d:%02d:%02d|", t.year, t.month, t.day,
                  t.hour, t.minute, t.second);
    found.push_back(std::to_string(scanner) + "|" + std::to_string(event) + "|" +
                    (withTime ? stamp : "") + (description ? description : "(null)"));
  }
  return found;
}

void HomeTest::SetUp() {
  PgServer server;
  if (backend() == Backend::kPostgres && !pgServer(server)) {
    const char* noServer =
        "no PostgreSQL server: start one with `scripts/servers/postgres start DIR` and export what "
        "it prints (ORVEL_TEST_PG_HOST, _PORT, _USER, _PASSWORD)";
    if (runningUnderCi()) FAIL() << noServer;
    GTEST_SKIP() << noServer;
  }
  home = std::make_unique<ProductHome>(backend());
  forgetProcessSettings();
  ORVEL::Log::Configure(nullptr, ORVEL::ORVEL_LOG_DETAIL);
  QxUpdateTestAccess::forgetStatics();
}

void HomeTest::TearDown() {
  ORVEL::Log::Configure(nullptr, -1);
  home.reset();
}

}  // namespace OrvelTest
