// The rows of one query, read forwards, columns by name.
//
// A result set belongs to the statement that produced it (QxDBStatement::excuteQuery) and is
// valid until that statement runs again or is released. Column names are matched without regard
// to ASCII case, as both dialects fold unquoted names.
//
// Reading NULL: getString gives a null pointer, the number readers give 0, each with result 0;
// getTimestamp and getBlob fail on NULL, since no value can stand for a missing time or content.
#pragma once

#include <cstdint>

#pragma GCC visibility push(default)

namespace ORVEL {

class Blob;

// A database date-time as the database holds it, fields as written (month 1 to 12); fraction in
// nanoseconds. Values stored with a time zone offset are given in this machine's local time.
struct QxDBTimestamp {
  int year = 0;
  int month = 0;
  int day = 0;
  int hour = 0;
  int minute = 0;
  int second = 0;
  std::uint32_t fraction = 0;
};

class QxDBResultset {
 public:
  // Results of next().
  static constexpr int kRow = 0;
  static constexpr int kNoMoreRows = 5;
  static constexpr int kFailure = -1;

  virtual ~QxDBResultset();
  QxDBResultset(const QxDBResultset&) = delete;
  QxDBResultset& operator=(const QxDBResultset&) = delete;

  // Moves to the next row: 0 when a row is current, 5 when there are no more rows, -1 on failure.
  virtual int next() = 0;

  // Readers of the named column of the current row: 0 on success, -1 for an unknown column, no
  // current row, or a value that is not of the type (a text that is not a number, a number out
  // of the range of int).
  virtual int getInt(const char* column, int& value) = 0;
  virtual int getLong(const char* column, std::int64_t& value) = 0;
  virtual int getDouble(const char* column, double& value) = 0;
  // The text stays valid until the next call of next(), a new execution or the release of the
  // statement; callers copy it.
  virtual int getString(const char* column, const char*& value) = 0;
  virtual int getTimestamp(const char* column, QxDBTimestamp& value) = 0;
  // Opens the content of a large column of the current row for reading (see Blob.h). The blob is
  // owned by the result set. -1 when the column is not a large column of a table row (SQLite: the
  // query must also select the row's rowid or INTEGER PRIMARY KEY column; PostgreSQL: the column
  // holds a large object id).
  virtual int getBlob(const char* column, Blob*& blob) = 0;
  // True when the named column of the current row is NULL (false for an unknown column).
  virtual bool isNull(const char* column) = 0;

 protected:
  QxDBResultset() = default;
};

}  // namespace ORVEL

#pragma GCC visibility pop
