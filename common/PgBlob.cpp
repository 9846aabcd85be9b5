#include <climits>

#include "PgBackend.h"

namespace ORVEL {

namespace {

// lo_read and lo_write move at most INT_MAX bytes a call.
int callSize(std::size_t remaining) {
  return static_cast<int>(remaining > static_cast<std::size_t>(INT_MAX) ? INT_MAX : remaining);
}

}  // namespace

PgBlob::~PgBlob() { detach(); }

void PgBlob::attach(PGconn* conn, int fd, bool writable, std::int64_t length) {
  detach();
  m_conn = conn;
  m_fd = fd;
  m_writable = writable;
  m_length = length;
  m_position = 0;
}

// The descriptor dies with the transaction; close it only while that is still usable.
void PgBlob::detach() {
  if (m_fd >= 0 && PQtransactionStatus(m_conn) == PQTRANS_INTRANS) lo_close(m_conn, m_fd);
  m_fd = -1;
  m_writable = false;
  m_position = 0;
}

int PgBlob::putData(const char* data, std::size_t length) {
  if (m_fd < 0 || !m_writable || (!data && length > 0)) return -1;
  if (m_position + static_cast<std::int64_t>(length) > m_length) return -1;
  std::size_t done = 0;
  while (done < length) {
    const int written = lo_write(m_conn, m_fd, data + done, callSize(length - done));
    if (written <= 0) return -1;
    done += static_cast<std::size_t>(written);
  }
  m_position += static_cast<std::int64_t>(length);
  return 0;
}

int PgBlob::getData(char* buffer, std::size_t length) {
  if (m_fd < 0 || m_writable || (!buffer && length > 0)) return -1;
  if (m_position + static_cast<std::int64_t>(length) > m_length) return -1;
  std::size_t done = 0;
  while (done < length) {
    const int read = lo_read(m_conn, m_fd, buffer + done, callSize(length - done));
    if (read <= 0) return -1;
    done += static_cast<std::size_t>(read);
  }
  m_position += static_cast<std::int64_t>(length);
  return 0;
}

}  // namespace ORVEL
