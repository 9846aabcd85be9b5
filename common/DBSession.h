// The backend behind a QxDBConnection: one open database connection of SQLite or PostgreSQL.
// Internal to libOrvelCommon.
#pragma once

#include <memory>
#include <string>

namespace ORVEL {

class QxDBStatement;

class DBSession {
 public:
  virtual ~DBSession() = default;

  virtual const char* dialect() const = 0;
  // Null with error filled when the text does not prepare.
  virtual std::unique_ptr<QxDBStatement> prepare(const char* sql, std::string& error) = 0;
  virtual int executeScript(const char* sql, std::string& error) = 0;
  virtual int begin(std::string& error) = 0;
  // -1 when the database rolled the transaction back instead; it is over either way.
  virtual int commit(std::string& error) = 0;
  virtual int rollback(std::string& error) = 0;
  // True while a transaction is open on the connection, however it was begun.
  virtual bool inTransaction() const = 0;
  // False once the connection to the database was lost.
  virtual bool alive() const = 0;
};

std::unique_ptr<DBSession> openSqliteSession(const std::string& file, int busyTimeoutSeconds,
                                             std::string& error);
// conninfo: libpq "key=value" settings; uid, passwd, database may be empty (libpq defaults).
std::unique_ptr<DBSession> openPostgresSession(const std::string& conninfo, const char* uid,
                                               const char* passwd, const char* database,
                                               int connectTimeoutSeconds, std::string& error);

}  // namespace ORVEL
