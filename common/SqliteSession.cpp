#include <strings.h>

#include <cctype>
#include <cstdint>
#include <cstring>

#include "OrvelCommon/Log.h"
#include "OrvelPlatform/Clock.h"
#include "OrvelPlatform/Path.h"
#include "SqliteBackend.h"

namespace ORVEL {

namespace {

// Remembers the first table an INSERT names while the statement is prepared: the table a blob
// parameter streams into.
int captureInsertTable(void* target, int action, const char* table, const char*, const char*,
                       const char*) {
  auto* name = static_cast<std::string*>(target);
  if (action == SQLITE_INSERT && table && name->empty()) *name = table;
  return SQLITE_OK;
}

bool onlyBlanksOrComments(const char* text) {
  while (text && *text) {
    if (std::isspace(static_cast<unsigned char>(*text)) || *text == ';') {
      ++text;
    } else if (text[0] == '-' && text[1] == '-') {
      text = std::strchr(text, '\n');
    } else {
      return false;
    }
  }
  return true;
}

bool equalsNoCase(const std::string& a, const char* b) {
  return b && strcasecmp(a.c_str(), b) == 0;
}

// Several processes share the file: WAL lets readers run beside a writer, and the journal mode
// is kept in the file, so this only changes anything on the first connection. It is also the
// first statement that reads the file, so a file that is not a database fails here.
bool switchToWal(sqlite3* db, std::string& error) {
  sqlite3_stmt* raw = nullptr;
  if (sqlite3_prepare_v2(db, "PRAGMA journal_mode=WAL", -1, &raw, nullptr) != SQLITE_OK) {
    error = sqlite3_errmsg(db);
    return false;
  }
  SqliteStmtHandle stmt(raw);
  if (sqlite3_step(stmt.get()) != SQLITE_ROW) {
    error = sqlite3_errmsg(db);
    return false;
  }
  const char* mode = reinterpret_cast<const char*>(sqlite3_column_text(stmt.get(), 0));
  if (!mode || strcasecmp(mode, "wal") != 0) {
    error = std::string("the journal cannot be switched to WAL (") + (mode ? mode : "") + ")";
    return false;
  }
  return true;
}

// Waits for another process's lock for the busy time-out (milliseconds, carried in the handler's
// argument) in the steps SQLite's own busy time-out takes, but through the product clock, so
// that a test can let the time-out pass without waiting for it.
int waitWhileBusy(void* timeoutMs, int attempt) {
  static constexpr unsigned kDelays[] = {1, 2, 5, 10, 15, 20, 25, 25, 25, 50, 50, 100};
  static constexpr unsigned kWaitedBefore[] = {0, 1, 3, 8, 18, 33, 53, 78, 103, 128, 178, 228};
  constexpr int kSteps = sizeof kDelays / sizeof kDelays[0];
  const std::intptr_t budget = reinterpret_cast<std::intptr_t>(timeoutMs);
  const std::intptr_t waited =
      attempt < kSteps ? kWaitedBefore[attempt]
                       : kWaitedBefore[kSteps - 1] + std::intptr_t{100} * (attempt - kSteps + 1);
  if (waited >= budget) return 0;
  const std::intptr_t delay = attempt < kSteps ? kDelays[attempt] : 100;
  OrvelPlatform::clock().sleepMilliseconds(
      static_cast<unsigned>(delay < budget - waited ? delay : budget - waited));
  return 1;
}

}  // namespace

std::unique_ptr<DBSession> openSqliteSession(const std::string& file, int busyTimeoutSeconds,
                                             std::string& error) {
  sqlite3* raw = nullptr;
  // The file must exist: the central database is created on purpose, never by a connect.
  const int rc = sqlite3_open_v2(OrvelPlatform::toOsPath(file).c_str(), &raw,
                                 SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX, nullptr);
  SqliteDbHandle db(raw);
  if (rc != SQLITE_OK) {
    error = raw ? sqlite3_errmsg(raw) : sqlite3_errstr(rc);
    return nullptr;
  }
  sqlite3_extended_result_codes(db.get(), 1);
  const std::intptr_t busyTimeoutMs = busyTimeoutSeconds > 0 ? busyTimeoutSeconds * 1000 : 0;
  sqlite3_busy_handler(db.get(), waitWhileBusy, reinterpret_cast<void*>(busyTimeoutMs));
  if (!switchToWal(db.get(), error)) return nullptr;
  return std::make_unique<SqliteSession>(std::move(db), file);
}

SqliteSession::SqliteSession(SqliteDbHandle db, std::string file)
    : m_db(std::move(db)), m_file(std::move(file)) {}

std::string SqliteSession::errorText() const { return sqlite3_errmsg(m_db.get()); }

std::unique_ptr<QxDBStatement> SqliteSession::prepare(const char* sql, std::string& error) {
  std::string insertTable;
  sqlite3_set_authorizer(m_db.get(), captureInsertTable, &insertTable);
  sqlite3_stmt* raw = nullptr;
  const char* tail = nullptr;
  const int rc = sqlite3_prepare_v2(m_db.get(), sql, -1, &raw, &tail);
  sqlite3_set_authorizer(m_db.get(), nullptr, nullptr);
  SqliteStmtHandle stmt(raw);
  if (rc != SQLITE_OK) {
    error = errorText();
    return nullptr;
  }
  if (!stmt) {
    error = "the text holds no statement";
    return nullptr;
  }
  // Only the first of several statements would run; refuse rather than half-run a text.
  if (!onlyBlanksOrComments(tail)) {
    error = "the text holds more than one statement";
    return nullptr;
  }
  return std::make_unique<SqliteStatement>(*this, std::move(stmt), insertTable);
}

int SqliteSession::_exec(const char* sql, std::string& error) {
  char* message = nullptr;
  const int rc = sqlite3_exec(m_db.get(), sql, nullptr, nullptr, &message);
  if (rc == SQLITE_OK) return 0;
  error = message ? message : sqlite3_errstr(rc);
  sqlite3_free(message);
  return -1;
}

int SqliteSession::executeScript(const char* sql, std::string& error) { return _exec(sql, error); }

// IMMEDIATE takes the write lock at once. A deferred transaction that reads first and writes
// later cannot wait for another writer in WAL mode (SQLite reports busy at once to avoid a
// deadlock), so read-then-write transactions of two processes would fail instead of queueing.
int SqliteSession::begin(std::string& error) {
  m_transactionFailed = false;
  return _exec("BEGIN IMMEDIATE", error);
}

void SqliteSession::noteFailure() {
  if (inTransaction()) m_transactionFailed = true;
}

int SqliteSession::commit(std::string& error) {
  const bool failed = m_transactionFailed;
  m_transactionFailed = false;
  if (!inTransaction()) {
    error = "the transaction was rolled back by the database";
    return -1;
  }
  if (failed) {
    std::string ignored;
    _exec("ROLLBACK", ignored);
    error = "a statement of the transaction failed; the transaction was rolled back";
    return -1;
  }
  if (_exec("COMMIT", error) == 0) return 0;
  // A commit that cannot complete leaves the transaction open; end it so the connection stays
  // usable, and report the failure.
  std::string ignored;
  if (inTransaction()) _exec("ROLLBACK", ignored);
  return -1;
}

int SqliteSession::rollback(std::string& error) {
  m_transactionFailed = false;
  if (!inTransaction()) return 0;  // SQLite may already have rolled back after an error
  return _exec("ROLLBACK", error);
}

bool SqliteSession::inTransaction() const { return sqlite3_get_autocommit(m_db.get()) == 0; }

std::vector<std::string> SqliteSession::_columnNames(const std::string& table,
                                                     const char* condition) {
  std::vector<std::string> names;
  const std::string sql = std::string("SELECT name FROM pragma_table_info(?1) WHERE ") + condition;
  sqlite3_stmt* raw = nullptr;
  if (sqlite3_prepare_v2(m_db.get(), sql.c_str(), -1, &raw, nullptr) != SQLITE_OK) return names;
  SqliteStmtHandle stmt(raw);
  sqlite3_bind_text(stmt.get(), 1, table.c_str(), -1, SQLITE_TRANSIENT);
  while (sqlite3_step(stmt.get()) == SQLITE_ROW) {
    const unsigned char* name = sqlite3_column_text(stmt.get(), 0);
    names.emplace_back(name ? reinterpret_cast<const char*>(name) : "");
  }
  return names;
}

const std::string& SqliteSession::blobColumnOf(const std::string& table) {
  auto found = m_blobColumns.find(table);
  if (found != m_blobColumns.end()) return found->second;
  std::vector<std::string> names = _columnNames(table, "upper(type) = 'BLOB'");
  return m_blobColumns[table] = names.size() == 1 ? names.front() : std::string();
}

bool SqliteSession::isRowidColumn(const std::string& table, const char* column) {
  if (!column) return false;
  if (strcasecmp(column, "rowid") == 0 || strcasecmp(column, "oid") == 0 ||
      strcasecmp(column, "_rowid_") == 0)
    return true;
  auto found = m_rowidAliases.find(table);
  if (found == m_rowidAliases.end()) {
    // Only a single-column INTEGER PRIMARY KEY is the rowid itself.
    std::vector<std::string> keys = _columnNames(table, "pk > 0");
    std::vector<std::string> integerKeys =
        _columnNames(table, "pk > 0 AND upper(type) = 'INTEGER'");
    std::string alias = keys.size() == 1 && integerKeys.size() == 1 ? keys.front() : "";
    found = m_rowidAliases.emplace(table, alias).first;
  }
  return !found->second.empty() && equalsNoCase(found->second, column);
}

}  // namespace ORVEL
