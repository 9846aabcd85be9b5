// The SQLite backend of the database classes. Internal to libOrvelCommon.
#pragma once

#include <sqlite3.h>

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "DBSession.h"
#include "OrvelCommon/Blob.h"
#include "OrvelCommon/QxDBResultset.h"
#include "OrvelCommon/QxDBStatement.h"

namespace ORVEL {

struct SqliteCloser {
  void operator()(sqlite3* db) const { sqlite3_close_v2(db); }
};
struct SqliteFinalizer {
  void operator()(sqlite3_stmt* stmt) const { sqlite3_finalize(stmt); }
};
struct SqliteBlobCloser {
  void operator()(sqlite3_blob* blob) const { sqlite3_blob_close(blob); }
};
using SqliteDbHandle = std::unique_ptr<sqlite3, SqliteCloser>;
using SqliteStmtHandle = std::unique_ptr<sqlite3_stmt, SqliteFinalizer>;
using SqliteBlobHandle = std::unique_ptr<sqlite3_blob, SqliteBlobCloser>;

class SqliteSession : public DBSession {
 public:
  SqliteSession(SqliteDbHandle db, std::string file);

  const char* dialect() const override { return "sqlite"; }
  std::unique_ptr<QxDBStatement> prepare(const char* sql, std::string& error) override;
  int executeScript(const char* sql, std::string& error) override;
  int begin(std::string& error) override;
  int commit(std::string& error) override;
  int rollback(std::string& error) override;
  bool inTransaction() const override;
  bool alive() const override { return true; }  // a file does not go away under an open handle

  sqlite3* db() const { return m_db.get(); }
  std::string errorText() const;
  // The one column declared BLOB of a table; "" when there is none or more than one.
  const std::string& blobColumnOf(const std::string& table);
  // True when the column of the table is its rowid (by name, or the INTEGER PRIMARY KEY alias).
  bool isRowidColumn(const std::string& table, const char* column);
  // A statement failed: a transaction that is open can only be rolled back from now on, as on
  // PostgreSQL, so a commit never keeps half of the work.
  void noteFailure();

 private:
  int _exec(const char* sql, std::string& error);
  std::vector<std::string> _columnNames(const std::string& table, const char* condition);

  SqliteDbHandle m_db;
  std::string m_file;
  bool m_transactionFailed = false;
  std::map<std::string, std::string> m_blobColumns;
  std::map<std::string, std::string> m_rowidAliases;
};

// A blob of a row, opened with incremental blob I/O for writing or for reading.
class SqliteBlob : public Blob {
 public:
  SqliteBlob() = default;
  int putData(const char* data, std::size_t length) override;
  int getData(char* buffer, std::size_t length) override;
  std::int64_t length() const override { return m_length; }
  std::int64_t position() const override { return m_position; }

  void attach(SqliteBlobHandle handle, bool writable);
  void detach();
  void setDeclaredLength(std::int64_t length) { m_length = length; }
  // Attached and filled (or read) to its end.
  bool complete() const { return m_handle && m_position == m_length; }

 private:
  SqliteBlobHandle m_handle;
  bool m_writable = false;
  std::int64_t m_length = 0;
  std::int64_t m_position = 0;
};

class SqliteResultset : public QxDBResultset {
 public:
  SqliteResultset(SqliteSession& session, sqlite3_stmt* stmt, int firstStep);

  int next() override;
  int getInt(const char* column, int& value) override;
  int getLong(const char* column, std::int64_t& value) override;
  int getDouble(const char* column, double& value) override;
  int getString(const char* column, const char*& value) override;
  int getTimestamp(const char* column, QxDBTimestamp& value) override;
  int getBlob(const char* column, Blob*& blob) override;
  bool isNull(const char* column) override;

  void closeBlob() { m_blob.detach(); }

 private:
  // Index of the named column in the current row; -1 when unknown or no row is current.
  int _columnOfRow(const char* column) const;
  int _columnIndex(const char* column) const;
  std::string _tableOfRow(const char* column) const;
  bool _rowidOfRow(const std::string& table, std::int64_t& rowid);

  SqliteSession& m_session;
  sqlite3_stmt* m_stmt;  // owned by the statement
  int m_pendingStep;     // the result of the first step, taken at execution
  bool m_onRow = false;
  bool m_done = false;
  SqliteBlob m_blob;
};

class SqliteStatement : public QxDBStatement {
 public:
  SqliteStatement(SqliteSession& session, SqliteStmtHandle stmt, std::string insertTable);
  ~SqliteStatement() override;

  int setLong(int index, long value) override;
  int setDouble(int index, double value) override;
  int setBytes(int index, const char* data, long length, bool longText) override;
  int setNull(int index) override;
  int setBlob(int index, std::int64_t length, Blob*& blob) override;
  int excuteUpdate() override;
  int excuteQuery(QxDBResultset*& rs) override;
  std::int64_t affectedRows() const override { return m_affected; }
  const char* lastError() const override { return m_error.c_str(); }

 private:
  void _closeBlob() override;
  int _checkBind(int index, int rc);
  int _fail(const std::string& error);
  void _prepareExecution();
  void _endOwnTransaction();
  int _openInsertedBlob();

  SqliteSession& m_session;
  SqliteStmtHandle m_stmt;
  std::string m_insertTable;  // the table an INSERT writes into, "" for other statements
  int m_blobIndex = 0;
  std::unique_ptr<SqliteBlob> m_blob;
  std::unique_ptr<SqliteResultset> m_rs;
  bool m_ownTransaction = false;
  std::int64_t m_affected = 0;
  std::string m_error;
};

}  // namespace ORVEL
