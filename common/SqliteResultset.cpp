#include <strings.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "DBDateTime.h"
#include "SqliteBackend.h"

namespace ORVEL {

namespace {

// Strict number parsing for values stored as text: the whole text must be the number.
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

}  // namespace

SqliteResultset::SqliteResultset(SqliteSession& session, sqlite3_stmt* stmt, int firstStep)
    : m_session(session), m_stmt(stmt), m_pendingStep(firstStep) {}

int SqliteResultset::next() {
  m_blob.detach();
  m_onRow = false;
  if (m_done) return kNoMoreRows;
  int rc = m_pendingStep;
  m_pendingStep = 0;
  if (rc == 0) rc = sqlite3_step(m_stmt);
  if (rc == SQLITE_ROW) {
    m_onRow = true;
    return kRow;
  }
  m_done = true;
  if (rc == SQLITE_DONE) return kNoMoreRows;
  m_session.noteFailure();
  return kFailure;
}

int SqliteResultset::_columnIndex(const char* column) const {
  if (!column) return -1;
  const int count = sqlite3_column_count(m_stmt);
  for (int i = 0; i < count; ++i) {
    const char* name = sqlite3_column_name(m_stmt, i);
    if (name && strcasecmp(name, column) == 0) return i;
  }
  return -1;
}

int SqliteResultset::_columnOfRow(const char* column) const {
  return m_onRow ? _columnIndex(column) : -1;
}

bool SqliteResultset::isNull(const char* column) {
  const int i = _columnOfRow(column);
  return i >= 0 && sqlite3_column_type(m_stmt, i) == SQLITE_NULL;
}

int SqliteResultset::getLong(const char* column, std::int64_t& value) {
  const int i = _columnOfRow(column);
  if (i < 0) return -1;
  switch (sqlite3_column_type(m_stmt, i)) {
    case SQLITE_NULL:
      value = 0;
      return 0;
    case SQLITE_INTEGER:
      value = sqlite3_column_int64(m_stmt, i);
      return 0;
    case SQLITE_TEXT:
      return parseInteger(reinterpret_cast<const char*>(sqlite3_column_text(m_stmt, i)), value)
                 ? 0
                 : -1;
    default:
      return -1;  // a real number or a blob is no integer
  }
}

int SqliteResultset::getInt(const char* column, int& value) {
  std::int64_t wide = 0;
  if (getLong(column, wide) != 0 || wide < INT_MIN || wide > INT_MAX) return -1;
  value = static_cast<int>(wide);
  return 0;
}

int SqliteResultset::getDouble(const char* column, double& value) {
  const int i = _columnOfRow(column);
  if (i < 0) return -1;
  switch (sqlite3_column_type(m_stmt, i)) {
    case SQLITE_NULL:
      value = 0;
      return 0;
    case SQLITE_INTEGER:
    case SQLITE_FLOAT:
      value = sqlite3_column_double(m_stmt, i);
      return 0;
    case SQLITE_TEXT:
      return parseReal(reinterpret_cast<const char*>(sqlite3_column_text(m_stmt, i)), value) ? 0
                                                                                             : -1;
    default:
      return -1;
  }
}

int SqliteResultset::getString(const char* column, const char*& value) {
  const int i = _columnOfRow(column);
  if (i < 0) return -1;
  if (sqlite3_column_type(m_stmt, i) == SQLITE_NULL) {
    value = nullptr;
    return 0;
  }
  const unsigned char* text = sqlite3_column_text(m_stmt, i);
  if (!text) return -1;  // out of memory
  value = reinterpret_cast<const char*>(text);
  return 0;
}

// Date-times are stored as text in local time ("2024-03-05 07:08:09"); a number is taken as
// seconds since 1970.
int SqliteResultset::getTimestamp(const char* column, QxDBTimestamp& value) {
  const int i = _columnOfRow(column);
  if (i < 0) return -1;
  switch (sqlite3_column_type(m_stmt, i)) {
    case SQLITE_INTEGER:
      return localTimestampFromEpoch(sqlite3_column_int64(m_stmt, i), value) ? 0 : -1;
    case SQLITE_TEXT:
      return parseDateTimeText(reinterpret_cast<const char*>(sqlite3_column_text(m_stmt, i)), value)
                 ? 0
                 : -1;
    default:
      return -1;
  }
}

// The table of the row: that of the named column when the query selects it, otherwise that of
// the first selected column that comes from a table and has the named column.
std::string SqliteResultset::_tableOfRow(const char* column) const {
  const int own = _columnIndex(column);
  if (own >= 0) {
    const char* table = sqlite3_column_table_name(m_stmt, own);
    return table ? table : "";
  }
  const int count = sqlite3_column_count(m_stmt);
  for (int i = 0; i < count; ++i) {
    const char* table = sqlite3_column_table_name(m_stmt, i);
    if (table && sqlite3_table_column_metadata(
                     m_session.db(), sqlite3_column_database_name(m_stmt, i), table, column,
                     nullptr, nullptr, nullptr, nullptr, nullptr) == SQLITE_OK)
      return table;
  }
  return "";
}

bool SqliteResultset::_rowidOfRow(const std::string& table, std::int64_t& rowid) {
  const int count = sqlite3_column_count(m_stmt);
  for (int i = 0; i < count; ++i) {
    const char* source = sqlite3_column_table_name(m_stmt, i);
    if (!source || table != source) continue;
    if (!m_session.isRowidColumn(table, sqlite3_column_origin_name(m_stmt, i))) continue;
    if (sqlite3_column_type(m_stmt, i) != SQLITE_INTEGER) return false;
    rowid = sqlite3_column_int64(m_stmt, i);
    return true;
  }
  return false;
}

// The content is opened by row, not taken from the result: a query that selects a large column
// has SQLite load it whole at the step, so the queries select the row id and leave the content
// column out.
int SqliteResultset::getBlob(const char* column, Blob*& blob) {
  blob = nullptr;
  m_blob.detach();
  if (!m_onRow || !column) return -1;
  const std::string table = _tableOfRow(column);
  std::int64_t rowid = 0;
  if (table.empty() || !_rowidOfRow(table, rowid)) return -1;
  sqlite3_blob* raw = nullptr;
  const int rc = sqlite3_blob_open(m_session.db(), "main", table.c_str(), column, rowid, 0, &raw);
  SqliteBlobHandle handle(raw);
  if (rc != SQLITE_OK) return -1;  // also a NULL content: it cannot be opened
  m_blob.attach(std::move(handle), false);
  blob = &m_blob;
  return 0;
}

}  // namespace ORVEL
