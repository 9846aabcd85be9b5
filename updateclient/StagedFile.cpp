#include "StagedFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>

#include "ClientError.h"
#include "OrvelKF/QxUpdateClient.h"

namespace QxuClient {

namespace {

std::atomic<unsigned> g_temporaryCounter{0};
constexpr std::uint64_t kPipelineFrom = 4u << 20;

// A hidden name in the destination folder that no other process or call uses.
std::string privateName(const char* prefix, const std::string& name) {
  return prefix + std::to_string(::getpid()) + "-" + std::to_string(++g_temporaryCounter) + "-" +
         name.substr(0, 64);
}

std::string errnoText(int error) { return std::strerror(error); }

}  // namespace

StagedFile::StagedFile(const std::string& folder, const std::string& name,
                       std::uint64_t declaredSize, std::string sha256)
    : m_name(name),
      m_final(folder + "/" + name),
      m_temporary(folder + "/" + privateName(".kftmp-", name)),
      m_declaredSize(declaredSize),
      m_sha256(std::move(sha256)) {
  if (m_declaredSize >= kPipelineFrom) m_pipeline = std::make_unique<HashPipeline>();
  m_fd = ::open(m_temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
  if (m_fd < 0) {
    const int error = errno;
    const int result = (error == ENOENT || error == ENOTDIR) ? QXU_E_DEST_FOLDER : QXU_E_WRITE;
    fail(result,
         "Cannot create a file in the destination folder " + folder + ": " + errnoText(error),
         static_cast<unsigned>(error));
  }
}

StagedFile::~StagedFile() {
  if (m_fd >= 0) ::close(m_fd);
  if (!m_committed) ::unlink(m_temporary.c_str());
}

void StagedFile::write(const char* data, std::size_t size) {
  if (m_size + size > m_declaredSize)
    fail(QXU_E_FILE_SIZE, "The file " + m_name + " is longer than the " +
                              std::to_string(m_declaredSize) + " bytes the index declares.");
  if (m_pipeline)
    m_pipeline->update(data, size);
  else
    m_hash.update(data, size);
  std::size_t done = 0;
  while (done < size) {
    const ssize_t n = ::write(m_fd, data + done, size - done);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      const int error = errno;
      fail(QXU_E_WRITE, "Cannot write " + m_temporary + ": " + errnoText(error),
           static_cast<unsigned>(error));
    }
    done += static_cast<std::size_t>(n);
  }
  m_size += size;
}

void StagedFile::restart() {
  if (::ftruncate(m_fd, 0) != 0 || ::lseek(m_fd, 0, SEEK_SET) != 0) {
    const int error = errno;
    fail(QXU_E_WRITE, "Cannot truncate " + m_temporary + ": " + errnoText(error),
         static_cast<unsigned>(error));
  }
  if (m_pipeline)
    m_pipeline->reset();
  else
    m_hash.reset();
  m_size = 0;
}

void StagedFile::announceLength(std::uint64_t total) {
  if (total != m_declaredSize)
    fail(QXU_E_FILE_SIZE, "The server announces " + std::to_string(total) + " bytes for " + m_name +
                              ", the index declares " + std::to_string(m_declaredSize) + ".");
}

void StagedFile::verify() {
  if (m_size != m_declaredSize)
    fail(QXU_E_FILE_SIZE, "The file " + m_name + " has " + std::to_string(m_size) +
                              " bytes, the index declares " + std::to_string(m_declaredSize) + ".");
  if (m_digest.empty()) m_digest = m_pipeline ? m_pipeline->finishHex() : m_hash.finishHex();
  if (m_digest != m_sha256)
    fail(QXU_E_FILE_DIGEST,
         "The SHA-256 of " + m_name + " is " + m_digest + ", the index declares " + m_sha256 + ".");
}

void StagedFile::commit() {
  if (::close(m_fd) != 0) {
    m_fd = -1;
    const int error = errno;
    fail(QXU_E_WRITE, "Cannot close " + m_temporary + ": " + errnoText(error),
         static_cast<unsigned>(error));
  }
  m_fd = -1;
  keepReplacedAside();
  if (::rename(m_temporary.c_str(), m_final.c_str()) != 0) {
    const int error = errno;
    putReplacedBack();
    fail(QXU_E_WRITE, "Cannot rename " + m_temporary + " to " + m_final + ": " + errnoText(error),
         static_cast<unsigned>(error));
  }
  m_committed = true;
}

void StagedFile::keepReplacedAside() {
  struct stat st;
  if (::lstat(m_final.c_str(), &st) != 0) {
    if (errno == ENOENT) return;
    const int error = errno;
    fail(QXU_E_WRITE, "Cannot examine " + m_final + ": " + errnoText(error),
         static_cast<unsigned>(error));
  }
  // Moving a folder aside would succeed and then put a file in its place.
  if (S_ISDIR(st.st_mode))
    fail(QXU_E_WRITE, "Cannot replace " + m_final + ": " + errnoText(EISDIR), EISDIR);
  const std::string aside =
      m_final.substr(0, m_final.size() - m_name.size()) + privateName(".kfold-", m_name);
  if (::rename(m_final.c_str(), aside.c_str()) != 0) {
    const int error = errno;
    fail(QXU_E_WRITE, "Cannot keep " + m_final + " aside: " + errnoText(error),
         static_cast<unsigned>(error));
  }
  m_replaced = aside;
}

void StagedFile::putReplacedBack() {
  if (m_replaced.empty()) return;
  ::rename(m_replaced.c_str(), m_final.c_str());
  m_replaced.clear();
}

void StagedFile::rollBack() {
  if (!m_committed) return;
  m_committed = false;
  if (m_replaced.empty())
    ::unlink(m_final.c_str());
  else
    putReplacedBack();
}

void StagedFile::dropReplaced() {
  if (!m_replaced.empty()) ::unlink(m_replaced.c_str());
  m_replaced.clear();
}

MemorySink::MemorySink(std::uint64_t cap, std::string what) : m_cap(cap), m_what(std::move(what)) {}

void MemorySink::tooLarge(std::uint64_t size) const {
  fail(QXU_E_INDEX_TOO_LARGE, "The " + m_what + " has more than " + std::to_string(m_cap) +
                                  " bytes (at least " + std::to_string(size) + ").");
}

void MemorySink::write(const char* data, std::size_t size) {
  if (m_bytes.size() + size > m_cap) tooLarge(m_bytes.size() + size);
  m_bytes.append(data, size);
}

void MemorySink::announceLength(std::uint64_t total) {
  if (total > m_cap) tooLarge(total);
}

}  // namespace QxuClient
