#include "OrvelCommon/QxDBConnection.h"

#include <algorithm>
#include <cstring>

#include "DBSession.h"
#include "OrvelCommon/Log.h"
#include "OrvelCommon/QxDBStatement.h"
#include "OrvelPlatform/Clock.h"

namespace ORVEL {

namespace {

bool startsWith(const std::string& text, const char* prefix) {
  return text.compare(0, std::strlen(prefix), prefix) == 0;
}

}  // namespace

QxDBConnection::QxDBConnection(int interfaceVersion) : m_interfaceVersion(interfaceVersion) {}

QxDBConnection::~QxDBConnection() { close(); }

int QxDBConnection::_fail(const std::string& error) {
  m_lastError = error;
  return -1;
}

int QxDBConnection::_connectOnce(const std::string& dsn, const char* uid, const char* passwd,
                                 const char* database, int timeoutSeconds) {
  std::string error;
  if (startsWith(dsn, kSqliteScheme)) {
    m_session = openSqliteSession(dsn.substr(std::strlen(kSqliteScheme)), timeoutSeconds, error);
  } else if (startsWith(dsn, kPostgresScheme)) {
    m_session = openPostgresSession(dsn.substr(std::strlen(kPostgresScheme)), uid, passwd, database,
                                    timeoutSeconds, error);
  } else {
    return _fail("unknown kind of data source (expected \"sqlite:\" or \"postgresql:\")");
  }
  return m_session ? 0 : _fail(error);
}

int QxDBConnection::connect(const char* dsn, const char* uid, const char* passwd,
                            const char* database, int timeoutSeconds, int attempts,
                            int retryDelaySeconds) {
  close();
  if (m_interfaceVersion != 1) return _fail("unsupported interface version");
  if (!dsn || !*dsn) return _fail("no data source");
  const std::string source = dsn;
  for (int attempt = 1;; ++attempt) {
    if (_connectOnce(source, uid, passwd, database, timeoutSeconds) == 0) {
      m_lastError.clear();
      return 0;
    }
    // The data source names no password; the reason text of either backend does not either.
    Log::Debug("QxDBConnection::connect: attempt %d of %d failed: %s", attempt,
               std::max(attempts, 1), m_lastError.c_str());
    if (attempt >= attempts || startsWith(m_lastError, "unknown kind")) return -1;
    if (retryDelaySeconds > 0)
      OrvelPlatform::clock().sleepMilliseconds(static_cast<unsigned>(retryDelaySeconds) * 1000u);
  }
}

void QxDBConnection::close() {
  // Statements hold handles into the session; they go first.
  m_statements.clear();
  m_session.reset();
  m_transactionOpen = false;
}

bool QxDBConnection::isConnected() const { return m_session != nullptr; }

bool QxDBConnection::isAlive() const { return m_session && m_session->alive(); }

const char* QxDBConnection::getDBMSType() const { return m_session ? m_session->dialect() : ""; }

int QxDBConnection::prepareStatement(const char* sql, QxDBStatement*& stmt) {
  stmt = nullptr;
  if (!m_session) return _fail("not connected");
  if (!sql || !*sql) return _fail("no statement text");
  std::string error;
  std::unique_ptr<QxDBStatement> prepared = m_session->prepare(sql, error);
  if (!prepared) return _fail(error);
  stmt = prepared.get();
  m_statements.push_back(std::move(prepared));
  return 0;
}

void QxDBConnection::closeStatement(QxDBStatement* stmt) {
  auto found = std::find_if(m_statements.begin(), m_statements.end(),
                            [stmt](const auto& owned) { return owned.get() == stmt; });
  if (found != m_statements.end()) m_statements.erase(found);
}

int QxDBConnection::executeScript(const char* sql) {
  if (!m_session) return _fail("not connected");
  if (!sql) return _fail("no statement text");
  std::string error;
  return m_session->executeScript(sql, error) == 0 ? 0 : _fail(error);
}

int QxDBConnection::beginTransaction() {
  if (!m_session) return _fail("not connected");
  if (m_transactionOpen || m_session->inTransaction())
    return _fail("a transaction is open already");
  std::string error;
  if (m_session->begin(error) != 0) return _fail(error);
  m_transactionOpen = true;
  return 0;
}

void QxDBConnection::_closeBlobs() {
  for (auto& stmt : m_statements) stmt->_closeBlob();
}

int QxDBConnection::commit() {
  if (!m_session) return _fail("not connected");
  if (!m_transactionOpen) return 0;
  m_transactionOpen = false;
  _closeBlobs();
  std::string error;
  return m_session->commit(error) == 0 ? 0 : _fail(error);
}

int QxDBConnection::rollback() {
  if (!m_session) return _fail("not connected");
  if (!m_transactionOpen) return 0;
  m_transactionOpen = false;
  _closeBlobs();
  std::string error;
  return m_session->rollback(error) == 0 ? 0 : _fail(error);
}

bool QxDBConnection::inTransaction() const { return m_session && m_session->inTransaction(); }

}  // namespace ORVEL
