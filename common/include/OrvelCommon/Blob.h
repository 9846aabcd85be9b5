// The content of one large column (a component file in the central database), streamed in chunks.
//
// A Blob is never held whole in memory: each putData or getData moves one chunk between the
// caller's buffer and the database (SQLite: incremental blob I/O on the row; PostgreSQL: a large
// object opened inside the transaction). The product moves kChunkBytes at a time.
//
// Where Blobs come from, and who owns them:
// - Writing: QxDBStatement::setBlob binds the parameter with its final length and hands out the
//   statement's Blob; it becomes writable once QxDBStatement::excuteUpdate has succeeded.
// - Reading: QxDBResultset::getBlob hands out a Blob over a column of the current row.
// The statement (or its result set) owns the Blob. It can be used until the statement is executed
// again, the row moves on, the transaction ends (commit or rollback through the connection) or
// the statement is released (QxDBConnection::closeStatement); after that, until the statement is
// released, its operations fail.
#pragma once

#include <cstddef>
#include <cstdint>

#pragma GCC visibility push(default)

namespace ORVEL {

class Blob {
 public:
  static constexpr std::size_t kChunkBytes = 10240;

  virtual ~Blob();
  Blob(const Blob&) = delete;
  Blob& operator=(const Blob&) = delete;

  // Writes the next length bytes at the current position. 0 on success; -1 when the blob is not
  // writable (not yet executed, opened for reading, closed), when the bytes would go beyond the
  // length the blob was bound with, or when the database refuses them.
  virtual int putData(const char* data, std::size_t length) = 0;
  // Reads exactly length bytes from the current position into buffer. 0 on success; -1 when fewer
  // than length bytes remain, the blob is not readable, or the database fails.
  virtual int getData(char* buffer, std::size_t length) = 0;
  // The blob's total length in bytes, and the position of the next byte to move.
  virtual std::int64_t length() const = 0;
  virtual std::int64_t position() const = 0;

 protected:
  Blob() = default;
};

}  // namespace ORVEL

#pragma GCC visibility pop
