#include <libpq/libpq-fs.h>
#include <strings.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "DBDateTime.h"
#include "PgBackend.h"

namespace ORVEL {

namespace {

bool parseInteger(const char* text, std::int64_t& value) {
  if (!text || !*text) return false;
  char* end = nullptr;
  errno = 0;
  const long long parsed = std::strtoll(text, &end, 10);
  if (errno != 0 || *end != '\0') return false;
  value = parsed;
  return true;
}

bool parseReal(const char* text, double& value) {
  if (!text || !*text) return false;
  char* end = nullptr;
  errno = 0;
  const double parsed = std::strtod(text, &end);
  if (errno != 0 || *end != '\0') return false;
  value = parsed;
  return true;
}

bool parseOid(const char* text, Oid& oid) {
  std::int64_t value = 0;
  if (!parseInteger(text, value) || value <= 0 || value > UINT_MAX) return false;
  oid = static_cast<Oid>(value);
  return true;
}

}  // namespace

PgResultset::PgResultset(PgStatement& owner, PgResultHandle result)
    : m_owner(owner), m_result(std::move(result)) {}

int PgResultset::next() {
  m_blob.detach();
  const int rows = PQntuples(m_result.get());
  if (m_row < rows) ++m_row;
  return m_row < rows ? kRow : kNoMoreRows;
}

int PgResultset::_columnOfRow(const char* column) const {
  if (!column || m_row < 0 || m_row >= PQntuples(m_result.get())) return -1;
  const int count = PQnfields(m_result.get());
  for (int i = 0; i < count; ++i) {
    if (strcasecmp(PQfname(m_result.get(), i), column) == 0) return i;
  }
  return -1;
}

const char* PgResultset::_value(const char* column, bool& found) const {
  const int i = _columnOfRow(column);
  found = i >= 0;
  if (!found || PQgetisnull(m_result.get(), m_row, i)) return nullptr;
  return PQgetvalue(m_result.get(), m_row, i);
}

bool PgResultset::isNull(const char* column) {
  bool found = false;
  return !_value(column, found) && found;
}

int PgResultset::getLong(const char* column, std::int64_t& value) {
  bool found = false;
  const char* text = _value(column, found);
  if (!found) return -1;
  if (!text) {
    value = 0;
    return 0;
  }
  return parseInteger(text, value) ? 0 : -1;
}

int PgResultset::getInt(const char* column, int& value) {
  std::int64_t wide = 0;
  if (getLong(column, wide) != 0 || wide < INT_MIN || wide > INT_MAX) return -1;
  value = static_cast<int>(wide);
  return 0;
}

int PgResultset::getDouble(const char* column, double& value) {
  bool found = false;
  const char* text = _value(column, found);
  if (!found) return -1;
  if (!text) {
    value = 0;
    return 0;
  }
  return parseReal(text, value) ? 0 : -1;
}

int PgResultset::getString(const char* column, const char*& value) {
  bool found = false;
  const char* text = _value(column, found);
  if (!found) return -1;
  value = text;
  return 0;
}

// Read as text in ISO form (set at connect); a time with zone comes with its offset and is
// turned into local time.
int PgResultset::getTimestamp(const char* column, QxDBTimestamp& value) {
  bool found = false;
  const char* text = _value(column, found);
  return text && parseDateTimeText(text, value) ? 0 : -1;
}

// The column holds the id of a large object; it is opened for reading inside a transaction.
int PgResultset::getBlob(const char* column, Blob*& blob) {
  blob = nullptr;
  m_blob.detach();
  bool found = false;
  Oid oid = InvalidOid;
  if (!parseOid(_value(column, found), oid) || !m_owner.ensureTransaction()) return -1;
  PGconn* conn = m_owner.session().conn();
  const int fd = lo_open(conn, oid, INV_READ);
  if (fd < 0) return -1;
  const pg_int64 end = lo_lseek64(conn, fd, 0, SEEK_END);
  if (end < 0 || lo_lseek64(conn, fd, 0, SEEK_SET) != 0) {
    lo_close(conn, fd);
    return -1;
  }
  m_blob.attach(conn, fd, false, end);
  blob = &m_blob;
  return 0;
}

}  // namespace ORVEL
