#include "OrvelKF/QxDBAgent.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <new>

#include "OrvelCommon/Log.h"
#include "OrvelCommon/OrvelConfigFileManager.h"
#include "OrvelCommon/QxDBConnection.h"
#include "OrvelCommon/QxDBResultset.h"
#include "OrvelCommon/QxDBScript.h"
#include "OrvelCommon/QxDBStatement.h"

namespace ORVEL {

std::string QxDBAgent::ms_dsn;
std::string QxDBAgent::ms_uid;
std::string QxDBAgent::ms_passwd;
std::string QxDBAgent::ms_database;

namespace {

// What the agent passes to connect: 30 s to reach the database (and, on SQLite, to wait for
// another process's write lock), one attempt, 10 s between attempts.
constexpr int kConnectTimeoutSeconds = 30;
constexpr int kConnectAttempts = 1;
constexpr int kConnectRetrySeconds = 10;

// Throws a message with one text filled in. The thrown pointer must stay valid after the stack
// unwinds, so the text goes into the next slot of a per-thread ring: a caller that catches and
// logs it is done with it long before the ring comes round again.
[[noreturn]] void throwFormatted(const char* format, const char* argument) {
  thread_local char slots[QxDBAgent::kThrownTextSlots][QxDBAgent::kThrownTextBytes];
  thread_local int next = 0;
  char* slot = slots[next];
  next = (next + 1) % QxDBAgent::kThrownTextSlots;
  std::snprintf(slot, QxDBAgent::kThrownTextBytes, format, argument ? argument : "");
  throw static_cast<const char*>(slot);
}

[[noreturn]] void throwText(const char* text) { throw text; }

bool loadSettingsOnce() {
  if (!QxDBAgent::ms_dsn.empty()) return true;
  AdminDBSetting setting;
  if (!OrvelConfigFileManager::getAdminDBSetting(setting)) {
    Log::LogByLevel(ORVEL_LOG_ERROR, "QxDBAgent::QxDBAgent getAdminDBSetting failed.");
    return false;
  }
  QxDBAgent::ms_dsn = setting.dsn;
  QxDBAgent::ms_uid = setting.uid;
  QxDBAgent::ms_passwd = setting.passwd;
  QxDBAgent::ms_database = setting.database;
  return true;
}

bool loadScriptOnce() {
  if (QxDBScript::getInstance()) return true;
  const char* home = std::getenv("ORVEL_HOME");
  if (!home) {
    Log::LogByLevel(ORVEL_LOG_ERROR,
                    "QxDBAgent::QxDBAgent can not get the environment for ORVEL_HOME.");
    return false;
  }
  // A file that cannot be read leaves the store empty; loadSQL reports that.
  QxDBScript::init((std::string(home) + "\\sql\\mssql\\dbscript.conf").c_str());
  return true;
}

}  // namespace

QxDBAgent::QxDBAgent()
    : m_ok(false), m_inTransaction(false), m_conn(nullptr), m_stmt(nullptr), m_rs(nullptr) {
  try {
    if (!loadSettingsOnce() || !loadScriptOnce()) return;
    m_conn = new (std::nothrow) QxDBConnection(1);
    if (!m_conn) {
      Log::LogByLevel(ORVEL_LOG_ERROR, "QxDBAgent::QxDBAgent  new QxDBConnection failed.");
      return;
    }
    if (m_conn->connect(ms_dsn.c_str(), ms_uid.c_str(), ms_passwd.c_str(), ms_database.c_str(),
                        kConnectTimeoutSeconds, kConnectAttempts, kConnectRetrySeconds) == 0) {
      m_ok = true;
      return;
    }
    Log::LogByLevel(ORVEL_LOG_ERROR, "QxDBAgent::QxDBAgent: Connect to AdminDB failed.");
    delete m_conn;
    m_conn = nullptr;
  } catch (...) {
    // Only allocation can fail here; the agent stays not OK.
    delete m_conn;
    m_conn = nullptr;
    m_ok = false;
  }
}

QxDBAgent::~QxDBAgent() {
  if (!m_conn) return;
  if (m_stmt) m_conn->closeStatement(m_stmt);
  delete m_conn;
}

void QxDBAgent::loadSQL(char* buffer, int size, const char* key, ...) {
  // A negative size is as unusable as 0; it would turn into a huge one for the formatter.
  if (!buffer || size <= 0 || !key) throwText("QxDBAgent::loadSQL: invalid arguments");
  QxDBScript* script = QxDBScript::getInstance();
  if (!script) throwText("QxDBAgent::loadSQL: QxDBScript::getInstance() failed");
  std::string format;
  script->getScript(m_conn ? m_conn->getDBMSType() : "", key, format);
  va_list args;
  va_start(args, key);
  const int length = std::vsnprintf(buffer, static_cast<std::size_t>(size), format.c_str(), args);
  va_end(args);
  if (length < 0 || length > size)
    throwFormatted("QxDBAgent::loadSQL:  failed to format the '%s'", key);
  buffer[size - 1] = '\0';
}

void QxDBAgent::_releaseStatement() {
  if (m_stmt && m_conn) m_conn->closeStatement(m_stmt);
  m_stmt = nullptr;
  m_rs = nullptr;
}

void QxDBAgent::_prepare(const char* sql, const char* failure) {
  if (!m_conn || m_conn->prepareStatement(sql, m_stmt) != 0 || !m_stmt) {
    m_stmt = nullptr;
    throwText(failure);
  }
}

std::int64_t QxDBAgent::excuteUpdate(const char* sql) {
  _releaseStatement();
  _prepare(sql, "QxDBAgent::excuteUpdate:  prepareStatement failed");
  const int result = m_stmt->excuteUpdate();
  const std::int64_t changed = m_stmt->affectedRows();
  _releaseStatement();
  if (result != 0) throwText("QxDBAgent::excuteUpdate:  excuteUpdate failed");
  return changed;
}

void QxDBAgent::excuteQuery(const char* sql) {
  _releaseStatement();
  _prepare(sql, "QxDBAgent::excuteQuery:  prepareStatement failed");
  if (m_stmt->excuteQuery(m_rs) != 0) {
    m_rs = nullptr;
    throwText("QxDBAgent::excuteQuery:  excuteQuery failed");
  }
}

int QxDBAgent::fetchNextRow() {
  if (!m_rs) throwText("QxDBAgent::fetchNextRow:  can not get the result set");
  const int result = m_rs->next();
  if (result == QxDBResultset::kFailure)
    throwText("QxDBAgent::fetchNextRow:  move to next record failed");
  return result;
}

void QxDBAgent::closeStatement() { _releaseStatement(); }

void QxDBAgent::getInt(const char* column, int& value) {
  if (!m_rs) throwText("QxDBAgent::getInt:  can not get the result set");
  if (m_rs->getInt(column, value) != 0)
    throwFormatted("QxDBAgent::getInt:  failed to get the value of '%s'", column);
}

void QxDBAgent::getDouble(const char* column, double& value) {
  if (!m_rs) throwText("QxDBAgent::getDouble:  can not get the result set");
  if (m_rs->getDouble(column, value) != 0)
    throwFormatted("QxDBAgent::getDouble:  failed to get the value of '%s'", column);
}

void QxDBAgent::getString(const char* column, const char*& value) {
  if (!m_rs) throwText("QxDBAgent::getString:  can not get the result set");
  if (m_rs->getString(column, value) != 0)
    throwFormatted("QxDBAgent::getString:  failed to get the value of '%s'", column);
}

void QxDBAgent::getTime(const char* column, long& value) {
  if (!m_rs) throwText("QxDBAgent::getTime:  can not get the result set");
  QxDBTimestamp stamp;
  if (m_rs->getTimestamp(column, stamp) != 0)
    throwFormatted("QxDBAgent::getTime:  failed to get the value of '%s'", column);
  std::tm local = {};
  local.tm_sec = stamp.second;
  local.tm_min = stamp.minute;
  local.tm_hour = stamp.hour;
  local.tm_mday = stamp.day;
  local.tm_mon = stamp.month - 1;
  local.tm_year = stamp.year - 1900;
  local.tm_isdst = -1;
  value = static_cast<long>(std::mktime(&local));
}

bool QxDBAgent::startTransaction() {
  if (m_inTransaction) return true;
  if (!m_conn) return false;
  if (m_conn->beginTransaction() != 0) {
    Log::LogByLevel(ORVEL_LOG_ERROR, "QxDBAgent::startTransaction: call beginTransaction() failed");
    return false;
  }
  m_inTransaction = true;
  return true;
}

bool QxDBAgent::commitTransaction() {
  if (!m_conn) return false;
  if (m_conn->commit() != 0) {
    Log::LogByLevel(ORVEL_LOG_ERROR, "QxDBAgent::commitTransaction: call commit() failed");
    return false;
  }
  m_inTransaction = false;
  return true;
}

void QxDBAgent::rollbackTransaction() {
  if (!m_conn) return;
  if (m_conn->rollback() != 0) {
    Log::LogByLevel(ORVEL_LOG_ERROR, "QxDBAgent::rollbackTransaction: call rollback() failed");
    return;
  }
  m_inTransaction = false;
}

void QxDBAgent::escapeData(const char* in, std::string& work, const char*& out) {
  out = in;
  if (!in || (!std::strchr(in, '\'') && !std::strchr(in, '\\'))) return;
  work.reserve(std::strlen(in) + 50);
  work.clear();
  for (const char* p = in; *p; ++p) {
    if (*p == '\'' || *p == '\\') work += *p;
    work += *p;
  }
  out = work.c_str();
}

}  // namespace ORVEL
