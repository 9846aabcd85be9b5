// A connection to the central administration database.
//
// The backend is chosen by the data source name given to connect():
//
//   "sqlite:<file>"           SQLite, the embedded default: one database file below the product
//                             home, shared by the processes of one machine. The file must exist
//                             (createCentralDatabase makes it). Connecting switches it to the WAL
//                             journal and sets a busy timeout, so a writer waits for another
//                             process's write instead of failing.
//   "postgresql:<conninfo>"   PostgreSQL through libpq, for installations whose scanners share one
//                             server; conninfo holds the libpq "key=value" settings of the server
//                             (host, port, sslmode, ...). User, password and database name are
//                             given separately and take precedence.
//
// getDBMSType() names the dialect ("sqlite", "postgresql"); it selects the statements of the
// script file (QxDBScript). Statements always use "?" for parameters; the PostgreSQL backend turns
// them into its own numbered form.
//
// Results are 0 for success and -1 for failure; nothing throws. A connection belongs to one thread.
#pragma once

#include <memory>
#include <string>
#include <vector>

namespace ORVEL {
class DBSession;  // the backend behind a connection: the library's own
}  // namespace ORVEL

#pragma GCC visibility push(default)

namespace ORVEL {

class QxDBStatement;

class QxDBConnection {
 public:
  static constexpr const char* kSqliteScheme = "sqlite:";
  static constexpr const char* kPostgresScheme = "postgresql:";

  // The interface revision the caller was written for; 1 is the only one there is, and
  // connect() refuses any other.
  explicit QxDBConnection(int interfaceVersion = 1);
  ~QxDBConnection();
  QxDBConnection(const QxDBConnection&) = delete;
  QxDBConnection& operator=(const QxDBConnection&) = delete;

  // Opens the database (see above for dsn). timeoutSeconds bounds the wait for the database: the
  // connect timeout of PostgreSQL, the busy timeout of SQLite (how long a statement waits for
  // another process's lock, on the product clock). attempts (at least 1) connects are made,
  // retryDelaySeconds apart.
  // Empty uid, passwd or database leave the backend's default (SQLite ignores them).
  int connect(const char* dsn, const char* uid, const char* passwd, const char* database,
              int timeoutSeconds, int attempts, int retryDelaySeconds);
  // Releases every statement, then the connection. An open transaction is rolled back.
  void close();
  bool isConnected() const;
  // False when the database dropped the connection (a server restart, a network failure): only a
  // new connect helps then. A failed statement on a live connection is the statement's fault.
  bool isAlive() const;

  // The dialect; "" when not connected.
  const char* getDBMSType() const;

  // Prepares sql into stmt (owned by the connection). 0 on success; -1 with stmt null on failure.
  int prepareStatement(const char* sql, QxDBStatement*& stmt);
  // Releases a statement of this connection (its result set and blob go with it); null or a
  // statement of another connection is ignored.
  void closeStatement(QxDBStatement* stmt);

  // Runs statements that take no parameters and return no rows, several separated by ";" allowed
  // (the schema scripts). 0 on success.
  int executeScript(const char* sql);

  // Transactions (the blobs of the connection's statements close when one ends).
  // beginTransaction fails when one is open already. commit and rollback without an
  // open transaction do nothing and succeed (every statement has been committed on its own).
  // A transaction in which a statement failed can only be rolled back, on both backends: commit
  // then rolls it back and fails, as it does when the database rolled it back itself.
  int beginTransaction();
  int commit();
  int rollback();
  bool inTransaction() const;

  // The database's text for the last failure of a connection operation (never the password).
  const char* lastError() const { return m_lastError.c_str(); }

 private:
  int _connectOnce(const std::string& dsn, const char* uid, const char* passwd,
                   const char* database, int timeoutSeconds);
  int _fail(const std::string& error);
  // Blob handles end with the transaction; they are closed before it ends.
  void _closeBlobs();

  int m_interfaceVersion;
  std::unique_ptr<DBSession> m_session;
  std::vector<std::unique_ptr<QxDBStatement>> m_statements;
  bool m_transactionOpen = false;  // begun through beginTransaction, not yet ended
  std::string m_lastError;
};

}  // namespace ORVEL

#pragma GCC visibility pop
