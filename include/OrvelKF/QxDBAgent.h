// The library's one way into the central administration database.
//
// An agent opens one connection with the installation's AdminDB settings, turns named statements
// of the script file ($ORVEL_HOME\sql\mssql\dbscript.conf, see QxDBScript.h) into SQL text, runs
// updates and queries, reads the columns of the current row and wraps transactions. The blob
// store and the event log create one on the stack per operation; none outlives it, none is shared
// between threads.
//
// Reads: loadSQL, excuteQuery, then fetchNextRow and the getters per row. Writes: loadSQL,
// excuteUpdate, which tells how many rows the write changed. Writes that bind parameters (blob
// content, long texts) prepare, bind and run their statement on getConnection() themselves.
//
// Failures: the constructor and the transaction operations report by result and log line; the
// statement operations and getters throw a plain character string (catch it as const char*),
// which every caller catches. A formatted message is a copy of at most 255 characters in a
// thread-local ring of kThrownTextSlots buffers: it stays valid on its thread until that many
// further formatted messages have been thrown, so a caller that logs it at once is always safe.
#pragma once

#include <cstdint>
#include <string>

#pragma GCC visibility push(default)

namespace ORVEL {

class QxDBConnection;
class QxDBStatement;
class QxDBResultset;

class QxDBAgent {
 public:
  static constexpr int kThrownTextSlots = 8;
  static constexpr int kThrownTextBytes = 256;

  // The AdminDB connection settings, filled once per process by the first agent that finds
  // ms_dsn empty (see OrvelConfigFileManager.h for their form).
  static std::string ms_dsn;
  static std::string ms_uid;
  static std::string ms_passwd;
  static std::string ms_database;

  // Never throws; an agent that could not connect is not OK and every operation fails.
  QxDBAgent();
  ~QxDBAgent();
  QxDBAgent(const QxDBAgent&) = delete;
  QxDBAgent& operator=(const QxDBAgent&) = delete;

  bool isOK() const { return m_ok; }
  // The agent's own connection; null when not connected.
  QxDBConnection* getConnection() const { return m_conn; }

  // Formats the statement called key (printf arguments follow) into buffer of size characters.
  void loadSQL(char* buffer, int size, const char* key, ...);
  // The number of rows the statement changed (a transaction checks it: a write that finds no row
  // is not done).
  std::int64_t excuteUpdate(const char* sql);
  void excuteQuery(const char* sql);
  // 0 when a row is current, 5 when there are no more rows.
  int fetchNextRow();
  void closeStatement();

  void getInt(const char* column, int& value);
  void getDouble(const char* column, double& value);
  // The text belongs to the result set: copy it before the next fetch or statement. NULL gives a
  // null pointer.
  void getString(const char* column, const char*& value);
  // The date-time of the column as local time, in seconds since 1970.
  void getTime(const char* column, long& value);

  // A second start joins the open transaction; the first commit or rollback ends it for both.
  bool startTransaction();
  bool commitTransaction();
  void rollbackTransaction();

  // Escapes a text for an SQL string literal: quotes and backslashes doubled into work, out
  // pointing at the result; out is in itself when nothing needs escaping (work untouched).
  static void escapeData(const char* in, std::string& work, const char*& out);

 private:
  void _releaseStatement();
  void _prepare(const char* sql, const char* failure);

  bool m_ok;
  bool m_inTransaction;
  QxDBConnection* m_conn;
  QxDBStatement* m_stmt;
  QxDBResultset* m_rs;
};

}  // namespace ORVEL

#pragma GCC visibility pop
