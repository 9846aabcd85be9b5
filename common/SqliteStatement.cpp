#include <climits>
#include <cstring>

#include "SqliteBackend.h"

namespace ORVEL {

SqliteStatement::SqliteStatement(SqliteSession& session, SqliteStmtHandle stmt,
                                 std::string insertTable)
    : m_session(session), m_stmt(std::move(stmt)), m_insertTable(std::move(insertTable)) {}

SqliteStatement::~SqliteStatement() {
  m_rs.reset();
  _endOwnTransaction();
}

int SqliteStatement::_fail(const std::string& error) {
  m_error = error;
  return -1;
}

// Binding a parameter anew also ends its being the blob parameter.
int SqliteStatement::_checkBind(int index, int rc) {
  if (rc == SQLITE_OK) {
    if (index == m_blobIndex) m_blobIndex = 0;
    return 0;
  }
  return _fail(rc == SQLITE_RANGE ? "parameter index out of range" : m_session.errorText());
}

int SqliteStatement::setLong(int index, long value) {
  return _checkBind(index, sqlite3_bind_int64(m_stmt.get(), index, value));
}

int SqliteStatement::setDouble(int index, double value) {
  return _checkBind(index, sqlite3_bind_double(m_stmt.get(), index, value));
}

int SqliteStatement::setBytes(int index, const char* data, long length, bool /*longText*/) {
  if (length < 0 || length > INT_MAX || (!data && length > 0)) return _fail("invalid text");
  if (length > 0 && std::memchr(data, '\0', static_cast<std::size_t>(length)))
    return _fail("text with a NUL byte");
  return _checkBind(index, sqlite3_bind_text(m_stmt.get(), index, data ? data : "",
                                             static_cast<int>(length), SQLITE_TRANSIENT));
}

int SqliteStatement::setNull(int index) {
  return _checkBind(index, sqlite3_bind_null(m_stmt.get(), index));
}

int SqliteStatement::setBlob(int index, std::int64_t length, Blob*& blob) {
  blob = nullptr;
  if (length < 0) return _fail("negative blob length");
  if (m_blobIndex != 0 && m_blobIndex != index) return _fail("a second blob parameter");
  if (m_insertTable.empty()) return _fail("a blob is only streamed into the row of an INSERT");
  // The row gets zeros of the final length; the content is written into it afterwards.
  if (_checkBind(index,
                 sqlite3_bind_zeroblob64(m_stmt.get(), index, static_cast<sqlite3_uint64>(length))))
    return -1;
  if (!m_blob) m_blob = std::make_unique<SqliteBlob>();
  m_blob->detach();
  m_blob->setDeclaredLength(length);
  m_blobIndex = index;
  blob = m_blob.get();
  return 0;
}

void SqliteStatement::_closeBlob() {
  if (m_blob) m_blob->detach();
  if (m_rs) m_rs->closeBlob();
}

// A new execution invalidates the rows and the blob of the previous one.
void SqliteStatement::_prepareExecution() {
  m_rs.reset();
  _endOwnTransaction();
  sqlite3_reset(m_stmt.get());
  m_error.clear();
}

// Also closes the blob: an open blob handle would keep the transaction from committing.
void SqliteStatement::_endOwnTransaction() {
  const bool complete = m_blob && m_blob->complete();
  if (m_blob) m_blob->detach();
  if (!m_ownTransaction) return;
  m_ownTransaction = false;
  std::string error;
  if (complete && m_session.commit(error) == 0) return;
  m_session.rollback(error);
}

int SqliteStatement::_openInsertedBlob() {
  const std::string& column = m_session.blobColumnOf(m_insertTable);
  if (column.empty()) return _fail("table " + m_insertTable + " has no single BLOB column");
  sqlite3_blob* raw = nullptr;
  const int rc = sqlite3_blob_open(m_session.db(), "main", m_insertTable.c_str(), column.c_str(),
                                   sqlite3_last_insert_rowid(m_session.db()), 1, &raw);
  SqliteBlobHandle handle(raw);
  if (rc != SQLITE_OK) return _fail(m_session.errorText());
  const std::int64_t declared = m_blob->length();
  m_blob->attach(std::move(handle), true);
  if (m_blob->length() != declared) {
    m_blob->detach();
    return _fail("the inserted blob does not have the bound length");
  }
  return 0;
}

int SqliteStatement::excuteUpdate() {
  _prepareExecution();
  if (m_blobIndex != 0 && !m_session.inTransaction()) {
    std::string error;
    if (m_session.begin(error) != 0) return _fail(error);
    m_ownTransaction = true;
  }
  int rc;
  while ((rc = sqlite3_step(m_stmt.get())) == SQLITE_ROW) {
  }
  if (rc != SQLITE_DONE) {
    _fail(m_session.errorText());
    m_session.noteFailure();
    sqlite3_reset(m_stmt.get());
    _endOwnTransaction();
    return -1;
  }
  m_affected = sqlite3_changes64(m_session.db());
  sqlite3_reset(m_stmt.get());
  if (m_blobIndex != 0 && _openInsertedBlob() != 0) {
    m_session.noteFailure();
    _endOwnTransaction();
    return -1;
  }
  return 0;
}

int SqliteStatement::excuteQuery(QxDBResultset*& rs) {
  rs = nullptr;
  _prepareExecution();
  // The first step runs the query, so errors surface here rather than at the first fetch.
  const int first = sqlite3_step(m_stmt.get());
  if (first != SQLITE_ROW && first != SQLITE_DONE) {
    _fail(m_session.errorText());
    m_session.noteFailure();
    sqlite3_reset(m_stmt.get());
    return -1;
  }
  m_rs = std::make_unique<SqliteResultset>(m_session, m_stmt.get(), first);
  rs = m_rs.get();
  return 0;
}

}  // namespace ORVEL
