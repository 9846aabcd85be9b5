#include <climits>

#include "SqliteBackend.h"

namespace ORVEL {

namespace {

// Incremental blob I/O takes int sizes and offsets.
bool fitsInt(std::int64_t value) { return value >= 0 && value <= INT_MAX; }

}  // namespace

void SqliteBlob::attach(SqliteBlobHandle handle, bool writable) {
  m_handle = std::move(handle);
  m_writable = writable;
  m_length = sqlite3_blob_bytes(m_handle.get());
  m_position = 0;
}

void SqliteBlob::detach() {
  m_handle.reset();
  m_writable = false;
  m_position = 0;
}

int SqliteBlob::putData(const char* data, std::size_t length) {
  if (!m_handle || !m_writable || (!data && length > 0)) return -1;
  const std::int64_t end = m_position + static_cast<std::int64_t>(length);
  if (end > m_length || !fitsInt(end)) return -1;
  if (length == 0) return 0;
  if (sqlite3_blob_write(m_handle.get(), data, static_cast<int>(length),
                         static_cast<int>(m_position)) != SQLITE_OK)
    return -1;
  m_position = end;
  return 0;
}

int SqliteBlob::getData(char* buffer, std::size_t length) {
  if (!m_handle || m_writable || (!buffer && length > 0)) return -1;
  const std::int64_t end = m_position + static_cast<std::int64_t>(length);
  if (end > m_length || !fitsInt(end)) return -1;
  if (length == 0) return 0;
  if (sqlite3_blob_read(m_handle.get(), buffer, static_cast<int>(length),
                        static_cast<int>(m_position)) != SQLITE_OK)
    return -1;
  m_position = end;
  return 0;
}

}  // namespace ORVEL
