#include <libpq/libpq-fs.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "PgBackend.h"

namespace ORVEL {

PgStatement::PgStatement(PgSession& session, std::string sql, int paramCount, bool isInsert)
    : m_session(session),
      m_sql(std::move(sql)),
      m_isInsert(isInsert),
      m_params(static_cast<std::size_t>(paramCount)) {}

PgStatement::~PgStatement() {
  m_rs.reset();
  _endOwnTransaction();
}

int PgStatement::_fail(const std::string& error) {
  m_error = error;
  return -1;
}

int PgStatement::_bind(int index, std::optional<std::string> value) {
  if (index < 1 || index > static_cast<int>(m_params.size()))
    return _fail("parameter index out of range");
  if (index == m_blobIndex) m_blobIndex = 0;  // bound as something else now
  m_params[static_cast<std::size_t>(index - 1)] = std::move(value);
  return 0;
}

int PgStatement::setLong(int index, long value) { return _bind(index, std::to_string(value)); }

int PgStatement::setDouble(int index, double value) {
  char text[40];
  std::snprintf(text, sizeof text, "%.17g", value);
  return _bind(index, std::string(text));
}

// Parameters travel as text, which ends at a NUL byte; such a text is refused, not cut.
int PgStatement::setBytes(int index, const char* data, long length, bool /*longText*/) {
  if (length < 0 || (!data && length > 0)) return _fail("invalid text");
  if (length > 0 && std::memchr(data, '\0', static_cast<std::size_t>(length)))
    return _fail("text with a NUL byte");
  return _bind(index, std::string(data ? data : "", static_cast<std::size_t>(length)));
}

int PgStatement::setNull(int index) { return _bind(index, std::nullopt); }

int PgStatement::setBlob(int index, std::int64_t length, Blob*& blob) {
  blob = nullptr;
  if (length < 0) return _fail("negative blob length");
  if (m_blobIndex != 0 && m_blobIndex != index) return _fail("a second blob parameter");
  if (!m_isInsert) return _fail("a blob is only streamed into the row of an INSERT");
  if (_bind(index, std::nullopt) != 0) return -1;  // the large object id is bound at execution
  if (!m_blob) m_blob = std::make_unique<PgBlob>();
  m_blob->detach();
  m_blob->setDeclaredLength(length);
  m_blobIndex = index;
  blob = m_blob.get();
  return 0;
}

bool PgStatement::ensureTransaction() {
  if (m_session.inTransaction()) return m_session.transactionUsable();
  std::string error;
  if (m_session.begin(error) != 0) {
    _fail(error);
    return false;
  }
  m_ownTransaction = true;
  return true;
}

// Also closes the large object, whose descriptor must not outlive the transaction. A write of
// its own commits only a complete blob; a read of its own has nothing to undo, and committing
// keeps whatever else the caller ran meanwhile on the connection.
void PgStatement::_endOwnTransaction() {
  const bool writeComplete = m_blob && m_blob->complete();
  const bool wasWriting = m_blob && m_blob->attached();
  if (m_blob) m_blob->detach();
  if (m_rs) m_rs->closeBlob();
  if (!m_ownTransaction) return;
  m_ownTransaction = false;
  std::string error;
  if ((!wasWriting || writeComplete) && m_session.commit(error) == 0) return;
  m_session.rollback(error);
}

void PgStatement::_closeBlob() {
  if (m_blob) m_blob->detach();
  if (m_rs) m_rs->closeBlob();
}

void PgStatement::_prepareExecution() {
  _endOwnTransaction();
  m_rs.reset();
  m_error.clear();
}

PgResultHandle PgStatement::_execute(ExecStatusType expected) {
  if (m_session.prepareUnnamed(m_sql, static_cast<int>(m_params.size()), m_error) != 0)
    return nullptr;
  std::vector<const char*> values;
  values.reserve(m_params.size());
  for (const auto& param : m_params) values.push_back(param ? param->c_str() : nullptr);
  PgResultHandle result(PQexecPrepared(m_session.conn(), "", static_cast<int>(values.size()),
                                       values.data(), nullptr, nullptr, 0));
  const ExecStatusType status = result ? PQresultStatus(result.get()) : PGRES_FATAL_ERROR;
  if (status == expected || (expected == PGRES_COMMAND_OK && status == PGRES_TUPLES_OK))
    return result;
  m_error = m_session.errorText();
  return nullptr;
}

int PgStatement::_openInsertedBlob(Oid oid) {
  const int fd = lo_open(m_session.conn(), oid, INV_WRITE);
  if (fd < 0) return _fail(m_session.errorText());
  m_blob->attach(m_session.conn(), fd, true, m_blob->length());
  return 0;
}

int PgStatement::excuteUpdate() {
  _prepareExecution();
  Oid oid = InvalidOid;
  if (m_blobIndex != 0) {
    if (!ensureTransaction()) return _fail(m_error.empty() ? "no usable transaction" : m_error);
    oid = lo_creat(m_session.conn(), INV_READ | INV_WRITE);
    if (oid == InvalidOid) {
      _fail(m_session.errorText());
      _endOwnTransaction();
      return -1;
    }
    m_params[static_cast<std::size_t>(m_blobIndex - 1)] = std::to_string(oid);
  }
  PgResultHandle result = _execute(PGRES_COMMAND_OK);
  if (!result) {
    // The caller may still commit its transaction; the object of a row that was not inserted
    // must not stay behind.
    if (oid != InvalidOid && m_session.transactionUsable()) lo_unlink(m_session.conn(), oid);
    _endOwnTransaction();
    return -1;
  }
  m_affected = std::strtoll(PQcmdTuples(result.get()), nullptr, 10);
  if (oid != InvalidOid && _openInsertedBlob(oid) != 0) {
    _endOwnTransaction();
    return -1;
  }
  return 0;
}

int PgStatement::excuteQuery(QxDBResultset*& rs) {
  rs = nullptr;
  _prepareExecution();
  PgResultHandle result = _execute(PGRES_TUPLES_OK);
  if (!result) return -1;
  m_rs = std::make_unique<PgResultset>(*this, std::move(result));
  rs = m_rs.get();
  return 0;
}

}  // namespace ORVEL
