// The PostgreSQL backend of the database classes, through libpq. Internal to libOrvelCommon.
#pragma once

#include <libpq-fe.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "DBSession.h"
#include "OrvelCommon/Blob.h"
#include "OrvelCommon/QxDBResultset.h"
#include "OrvelCommon/QxDBStatement.h"

namespace ORVEL {

struct PgConnCloser {
  void operator()(PGconn* conn) const { PQfinish(conn); }
};
struct PgResultClearer {
  void operator()(PGresult* result) const { PQclear(result); }
};
using PgConnHandle = std::unique_ptr<PGconn, PgConnCloser>;
using PgResultHandle = std::unique_ptr<PGresult, PgResultClearer>;

// Turns the "?" parameters of a statement into PostgreSQL's "$1", "$2", ...; a "?" inside a
// quoted literal or name, a comment or a dollar-quoted text is left alone.
std::string numberPlaceholders(const char* sql, int& count);
// True when the statement's first word is INSERT.
bool isInsertStatement(const char* sql);

class PgSession : public DBSession {
 public:
  explicit PgSession(PgConnHandle conn);

  const char* dialect() const override { return "postgresql"; }
  std::unique_ptr<QxDBStatement> prepare(const char* sql, std::string& error) override;
  int executeScript(const char* sql, std::string& error) override;
  int begin(std::string& error) override;
  int commit(std::string& error) override;
  int rollback(std::string& error) override;
  bool inTransaction() const override;
  bool alive() const override { return PQstatus(m_conn.get()) == CONNECTION_OK; }

  PGconn* conn() const { return m_conn.get(); }
  std::string errorText() const;
  // True while the transaction is open and has not failed: large-object calls can run.
  bool transactionUsable() const;
  // Statements use the connection's unnamed prepared statement, prepared again right before each
  // execution: any simple query (BEGIN, COMMIT, libpq's own large-object set-up) drops it, and
  // the statements of one connection take turns.
  int prepareUnnamed(const std::string& sql, int paramCount, std::string& error);

 private:
  int _command(const char* sql, std::string& error);

  PgConnHandle m_conn;
};

// A large object opened inside the transaction, for writing or for reading.
class PgBlob : public Blob {
 public:
  PgBlob() = default;
  ~PgBlob() override;
  int putData(const char* data, std::size_t length) override;
  int getData(char* buffer, std::size_t length) override;
  std::int64_t length() const override { return m_length; }
  std::int64_t position() const override { return m_position; }

  void attach(PGconn* conn, int fd, bool writable, std::int64_t length);
  void detach();
  bool attached() const { return m_fd >= 0; }
  bool complete() const { return m_fd >= 0 && m_position == m_length; }
  void setDeclaredLength(std::int64_t length) { m_length = length; }

 private:
  PGconn* m_conn = nullptr;
  int m_fd = -1;
  bool m_writable = false;
  std::int64_t m_length = 0;
  std::int64_t m_position = 0;
};

class PgStatement;

class PgResultset : public QxDBResultset {
 public:
  PgResultset(PgStatement& owner, PgResultHandle result);

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
  // Index of the named column with a current row; -1 otherwise.
  int _columnOfRow(const char* column) const;
  // The value text, or null for NULL; sets found to false for an unknown column.
  const char* _value(const char* column, bool& found) const;

  PgStatement& m_owner;
  PgResultHandle m_result;
  int m_row = -1;
  PgBlob m_blob;
};

class PgStatement : public QxDBStatement {
 public:
  PgStatement(PgSession& session, std::string sql, int paramCount, bool isInsert);
  ~PgStatement() override;

  int setLong(int index, long value) override;
  int setDouble(int index, double value) override;
  int setBytes(int index, const char* data, long length, bool longText) override;
  int setNull(int index) override;
  int setBlob(int index, std::int64_t length, Blob*& blob) override;
  int excuteUpdate() override;
  int excuteQuery(QxDBResultset*& rs) override;
  std::int64_t affectedRows() const override { return m_affected; }
  const char* lastError() const override { return m_error.c_str(); }

  PgSession& session() { return m_session; }
  // Large objects need a transaction; with none open, the statement holds one of its own until
  // it runs again or is released.
  bool ensureTransaction();

 private:
  void _closeBlob() override;
  int _fail(const std::string& error);
  int _bind(int index, std::optional<std::string> value);
  void _prepareExecution();
  void _endOwnTransaction();
  PgResultHandle _execute(ExecStatusType expected);
  int _openInsertedBlob(Oid oid);

  PgSession& m_session;
  std::string m_sql;
  bool m_isInsert;
  std::vector<std::optional<std::string>> m_params;
  int m_blobIndex = 0;
  std::unique_ptr<PgBlob> m_blob;
  std::unique_ptr<PgResultset> m_rs;
  bool m_ownTransaction = false;
  std::int64_t m_affected = 0;
  std::string m_error;
};

}  // namespace ORVEL
