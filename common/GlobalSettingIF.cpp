#include "OrvelCommon/GlobalSettingIF.h"

#include <unistd.h>

#include <cstdlib>
#include <cstring>

#include "OrvelCommon/Log.h"
#include "OrvelCommon/QxDBConnection.h"
#include "OrvelCommon/QxDBResultset.h"
#include "OrvelCommon/QxDBScript.h"
#include "OrvelCommon/QxDBStatement.h"

namespace ORVEL {

namespace {

// As the database agent connects: 30 s to reach the database (and on SQLite to wait for another
// writer), one attempt.
constexpr int kTimeoutSeconds = 30;
constexpr int kAttempts = 1;
constexpr int kRetryDelaySeconds = 10;

const char* orEmpty(const char* text) { return text ? text : ""; }

int bindText(QxDBStatement& stmt, int index, const char* text) {
  const char* value = orEmpty(text);
  return stmt.setBytes(index, value, static_cast<long>(std::strlen(value)), false);
}

bool loadScriptStore(const char* scriptPath) {
  if (scriptPath) return QxDBScript::init(scriptPath);
  if (QxDBScript::getInstance()) return true;
  const char* home = std::getenv("ORVEL_HOME");
  return home && QxDBScript::init((std::string(home) + "\\sql\\mssql\\dbscript.conf").c_str());
}

}  // namespace

GlobalSettingIF::GlobalSettingIF() = default;
GlobalSettingIF::~GlobalSettingIF() { _dropConnection(); }

bool GlobalSettingIF::Init(const AdminDBSetting* adminDB, const char* scriptPath, const void*,
                           const void*) {
  m_ready = false;
  _dropConnection();
  if (adminDB) {
    m_adminDB = *adminDB;
  } else if (!OrvelConfigFileManager::getAdminDBSetting(m_adminDB)) {
    Log::LogByLevel(ORVEL_LOG_ERROR, "GlobalSettingIF::Init: getAdminDBSetting failed");
    return false;
  }
  if (!loadScriptStore(scriptPath)) {
    Log::LogByLevel(ORVEL_LOG_ERROR, "GlobalSettingIF::Init: the script file cannot be read");
    return false;
  }
  // A script file without the statements is a broken installation; say so now, not per read.
  std::string sql;
  QxDBScript* script = QxDBScript::getInstance();
  const std::string& dialect = m_adminDB.backend;
  if (!dialect.empty() && (!script->getScript(dialect.c_str(), kReadStatement, sql) ||
                           !script->getScript(dialect.c_str(), kWriteStatement, sql))) {
    Log::LogByLevel(ORVEL_LOG_ERROR, "GlobalSettingIF::Init: no statements for [%s] in %s",
                    dialect.c_str(), script->path().c_str());
    return false;
  }
  m_ready = true;
  return true;
}

void GlobalSettingIF::_dropConnection() {
  // A connection inherited through fork() shares its socket or file with the parent: closing it
  // here would end the parent's session, so it is left as it is.
  if (m_conn && m_connOwner != ::getpid()) static_cast<void>(m_conn.release());
  m_conn.reset();
}

QxDBConnection* GlobalSettingIF::_connection(const char* operationName) {
  if (m_conn && m_connOwner == ::getpid()) return m_conn.get();
  _dropConnection();
  auto conn = std::make_unique<QxDBConnection>(1);
  if (conn->connect(m_adminDB.dsn.c_str(), m_adminDB.uid.c_str(), m_adminDB.passwd.c_str(),
                    m_adminDB.database.c_str(), kTimeoutSeconds, kAttempts,
                    kRetryDelaySeconds) != 0) {
    Log::LogByLevel(ORVEL_LOG_ERROR, "GlobalSettingIF::%s: connect to AdminDB failed: %s",
                    operationName, conn->lastError());
    return nullptr;
  }
  m_conn = std::move(conn);
  m_connOwner = ::getpid();
  return m_conn.get();
}

int GlobalSettingIF::_run(const char* name, const char* operationName, const Operation& operation) {
  if (!m_ready) return -1;
  for (int attempt = 0; attempt < 2; ++attempt) {
    QxDBConnection* conn = _connection(operationName);
    if (!conn) return -1;
    std::string sql;
    QxDBScript* script = QxDBScript::getInstance();
    if (!script || !script->getScript(conn->getDBMSType(), name, sql)) {
      Log::LogByLevel(ORVEL_LOG_ERROR, "GlobalSettingIF::%s: no statement %s for %s", operationName,
                      name, conn->getDBMSType());
      return -1;
    }
    const int result = operation(*conn, sql);
    if (result != -1 || conn->isAlive()) return result;
    _dropConnection();  // the database went away since the last call: once more, anew
  }
  return -1;
}

int GlobalSettingIF::readSetting(const char* key, std::string& value, const char* section,
                                 const char* fileName) {
  if (!key) return -1;
  return _run(kReadStatement, "readSetting", [&](QxDBConnection& conn, const std::string& sql) {
    QxDBStatement* stmt = nullptr;
    QxDBResultset* rs = nullptr;
    int row = QxDBResultset::kFailure;
    const char* text = nullptr;
    if (conn.prepareStatement(sql.c_str(), stmt) != 0 || bindText(*stmt, 1, section) != 0 ||
        bindText(*stmt, 2, key) != 0 || bindText(*stmt, 3, fileName) != 0 ||
        stmt->excuteQuery(rs) != 0 || (row = rs->next()) == QxDBResultset::kFailure ||
        (row == QxDBResultset::kRow && rs->getString("value", text) != 0)) {
      Log::LogByLevel(ORVEL_LOG_ERROR, "GlobalSettingIF::readSetting: [%s] %s: %s",
                      orEmpty(section), key, stmt ? stmt->lastError() : conn.lastError());
      conn.closeStatement(stmt);
      return -1;
    }
    if (row == QxDBResultset::kRow) value = orEmpty(text);
    conn.closeStatement(stmt);
    return row == QxDBResultset::kRow ? 0 : 1;
  });
}

int GlobalSettingIF::writeSetting(const char* key, const char* value, const char* section,
                                  const char* fileName) {
  if (!key) return -1;
  return _run(kWriteStatement, "writeSetting", [&](QxDBConnection& conn, const std::string& sql) {
    QxDBStatement* stmt = nullptr;
    const int result = conn.prepareStatement(sql.c_str(), stmt) != 0 ||
                               bindText(*stmt, 1, section) != 0 || bindText(*stmt, 2, key) != 0 ||
                               bindText(*stmt, 3, value) != 0 ||
                               bindText(*stmt, 4, fileName) != 0 || stmt->excuteUpdate() != 0
                           ? -1
                           : 0;
    // The value may be a secret; only its place is logged.
    if (result != 0)
      Log::LogByLevel(ORVEL_LOG_ERROR, "GlobalSettingIF::writeSetting: [%s] %s: %s",
                      orEmpty(section), key, stmt ? stmt->lastError() : conn.lastError());
    conn.closeStatement(stmt);
    return result;
  });
}

}  // namespace ORVEL
