// One prepared SQL statement with parameters bound by position ("?", the first is 1).
//
// Statements are made by QxDBConnection::prepareStatement and belong to the connection; release
// them with QxDBConnection::closeStatement (the connection releases what is left when it closes).
// Bound values stay bound for further executions until bound again.
//
// Streaming a blob parameter (Blob.h): bind it with setBlob and its final length, run
// excuteUpdate, then pass the content to the Blob with putData, chunk by chunk, before the
// statement is released. The content goes into the row the statement inserted (one blob
// parameter per statement, INSERT statements only):
// - SQLite: the parameter is bound as zeroblob(length) and filled with incremental blob I/O in the
//   one BLOB column of the table the statement inserts into.
// - PostgreSQL: a new large object is created, its id is bound as the parameter, and it is filled
//   with lo_write. Large objects exist only inside a transaction.
// When no transaction is open at excuteUpdate, the statement opens one of its own and ends it on
// release: committed when the blob received all its bytes, rolled back otherwise, so a row never
// shows half its content. Reading a blob outside a transaction (QxDBResultset::getBlob) likewise
// holds a transaction of the statement on PostgreSQL until the statement is released.
#pragma once

#include <cstdint>

#pragma GCC visibility push(default)

namespace ORVEL {

class Blob;
class QxDBResultset;

class QxDBStatement {
 public:
  virtual ~QxDBStatement();
  QxDBStatement(const QxDBStatement&) = delete;
  QxDBStatement& operator=(const QxDBStatement&) = delete;

  // Binders: 0 on success, -1 for an index out of range or a value that cannot be bound.
  virtual int setLong(int index, long value) = 0;
  virtual int setDouble(int index, double value) = 0;
  // A text of length bytes (not necessarily terminated). A text with a NUL byte inside is refused.
  // longText marks a text that may be long (a description rather than a name); both backends
  // bind every text whole, so it changes nothing here and is kept for the callers that pass it.
  virtual int setBytes(int index, const char* data, long length, bool longText) = 0;
  virtual int setNull(int index) = 0;
  // Binds a blob parameter of length bytes whose content is streamed after excuteUpdate through
  // blob (owned by the statement). -1 for a negative length or a second blob parameter.
  virtual int setBlob(int index, std::int64_t length, Blob*& blob) = 0;

  // Runs a statement that returns no rows. 0 on success, -1 on failure.
  virtual int excuteUpdate() = 0;
  // Runs a query; rs receives its result set (owned by the statement). 0 on success, -1 on
  // failure (rs null).
  virtual int excuteQuery(QxDBResultset*& rs) = 0;
  // Rows changed by the last successful excuteUpdate.
  virtual std::int64_t affectedRows() const = 0;

  // The database's text for the last failure of this statement; "" when there was none.
  virtual const char* lastError() const = 0;

 protected:
  QxDBStatement() = default;

 private:
  friend class QxDBConnection;
  // The transaction ends: close the statement's blob, whose handle must not outlive it.
  virtual void _closeBlob() = 0;
};

}  // namespace ORVEL

#pragma GCC visibility pop
