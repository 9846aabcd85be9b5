// A product home in a scratch folder with an empty central database of one backend, for the
// tests of the central database, the blob store and the update object: bin/, lib/, log/,
// config/orvel.ini with the [AdminDB] section of the backend, the sql/ scripts of this source
// tree, the compiled message texts, and ORVEL_HOME pointing at it.
//
// PostgreSQL: the server of scripts/servers/postgres, told by ORVEL_TEST_PG_HOST, _PORT, _USER and
// _PASSWORD; each home gets a database of its own, dropped afterwards. Without those variables a
// PostgreSQL case fails when CI is set and is skipped otherwise.
#pragma once

#include <gtest/gtest.h>
#include <time.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "OrvelCommon/OrvelConfigFileManager.h"
#include "OrvelCommon/QxDBConnection.h"
#include "OrvelKF/KFBlobManager.h"
#include "OrvelKF/QxUpdate.h"
#include "TempDir.h"

namespace OrvelTest {

enum class Backend { kSqlite, kPostgres };

bool runningUnderCi();

class ProductHome {
 public:
  // createDatabase: also create the tables.
  explicit ProductHome(Backend backend, bool createDatabase = true);
  ~ProductHome();

  const std::string& path() const { return m_dir.path(); }
  std::string operator/(const std::string& relative) const { return m_dir / relative; }
  const AdminDBSetting& setting() const { return m_setting; }
  Backend backend() const { return m_backend; }

  // A new connection to the home's database; null (with a test failure) when it does not open.
  std::unique_ptr<ORVEL::QxDBConnection> connect() const;
  // Runs a statement without parameters on a connection of its own.
  void exec(const std::string& sql) const;
  // The column "n" of the first row as a number; -1 when there is no row.
  std::int64_t scalar(const std::string& sql) const;
  // Large objects that exist (PostgreSQL; 0 on SQLite).
  std::int64_t largeObjects() const;
  // The product log of this home.
  std::string log() const;
  // Writes a global setting (section "Update" unless given) to the central database.
  void setting(const char* key, const char* value, const char* section = "Update") const;
  // Uploads a file of that content to the blob store as the row of type and version.
  OrvelErrC upload(int type, const std::string& version, const std::string& content,
                   const char* name = "ksv$pat.576") const;
  // "type:version " of every component row, in type order.
  std::string componentRows() const;
  // "scanner|event|[time|]description" of every event, oldest first.
  std::vector<std::string> events(bool withTime = false) const;

 private:
  OrvelTest::TempDir m_dir;
  Backend m_backend;
  std::string m_pgDatabase;
  AdminDBSetting m_setting;
};

// A loopback port with nothing listening on it.
int closedPort();

// Sets TZ for one scope, so that local-time results do not depend on the machine.
class ScopedTimeZone {
 public:
  explicit ScopedTimeZone(const char* zone) : m_tz("TZ", zone) { ::tzset(); }

 private:
  // Members go in reverse order: TZ is restored first, then read again.
  struct Reread {
    ~Reread() { ::tzset(); }
  } m_reread;
  ScopedEnvironment m_tz;
};

// Resets what a process remembers of the central database (the agent's settings, the statement
// store) so that the next agent reads them from the current home.
void forgetProcessSettings();

// A fresh home of the backend for every case, a log that keeps every level, and the update
// object's process-wide texts forgotten.
class HomeTest : public ::testing::TestWithParam<Backend> {
 protected:
  virtual Backend backend() const { return GetParam(); }
  void SetUp() override;
  void TearDown() override;

  std::unique_ptr<ProductHome> home;
};

// The same on SQLite alone (TEST_F), for what does not depend on the backend.
class SqliteHomeTest : public HomeTest {
 protected:
  Backend backend() const override { return Backend::kSqlite; }
};

// On PostgreSQL alone, for what only it has (large objects owned by roles).
class PgHomeTest : public HomeTest {
 protected:
  Backend backend() const override { return Backend::kPostgres; }
};

std::string backendName(const ::testing::TestParamInfo<Backend>& info);

}  // namespace OrvelTest

#define ORVEL_DB_BACKENDS                                                        \
  ::testing::Values(OrvelTest::Backend::kSqlite, OrvelTest::Backend::kPostgres), \
      OrvelTest::backendName

// The update object's private state, for the tests.
class QxUpdateTestAccess {
 public:
  static int traceLevel(const QxUpdate& u) { return u.m_traceLevel; }
  static bool incMerge(const QxUpdate& u) { return u.m_incMerge; }
  static bool scheduleDue(const QxUpdate& u) { return u.m_scheduleDue; }
  static bool uploaded(const QxUpdate& u) { return u.m_uploaded; }
  static void setSourceInUse(QxUpdate& u, bool inUse) { u.m_source.inUse = inUse; }
  static void setResultVersion(QxUpdate& u, int type, const std::string& v) {
    u.m_resultVersion[type] = v;
  }
  static void setRuleVersion(QxUpdate& u, unsigned rule) {
    u.m_para.stVersion[QXASE_PATCH].uiInternalVersion = rule;
  }
  static std::string downloadWhat(int type) { return QxUpdate::_getDownloadWhatMsg(type); }
  static void decideSchedule(QxUpdate& u) { u._setScheduleUpdate(); }
  static bool kfBlob(QxUpdate& u, QxUpdateType type, std::string& path, const std::string& version,
                     std::string& name) {
    return u._KFBlob(type, path, version, name);
  }
  // Forgets what a process keeps of the locale, titles and time format.
  static void forgetStatics() {
    QxUpdate::_locale.clear();
    QxUpdate::_timeformat.clear();
    for (std::string& title : QxUpdate::m_cpntname) title.clear();
  }
};
