#include "FeedFiles.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <vector>

namespace KiteFeed {

namespace {

constexpr std::size_t kReadChunk = 64 * 1024;

// Closes on every path; keeps the errno of the failure being reported.
class OwnedFd {
 public:
  explicit OwnedFd(int fd) : m_fd(fd) {}
  ~OwnedFd() {
    if (m_fd >= 0) {
      const int saved = errno;
      ::close(m_fd);
      errno = saved;
    }
  }
  OwnedFd(const OwnedFd&) = delete;
  OwnedFd& operator=(const OwnedFd&) = delete;
  int get() const { return m_fd; }
  // Closes now, reporting a failed close (the last chance to see a write
  // error on some file systems).
  bool close() {
    const int fd = m_fd;
    m_fd = -1;
    return ::close(fd) == 0;
  }

 private:
  int m_fd;
};

bool writeAll(int fd, const std::string& bytes) {
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    done += static_cast<std::size_t>(n);
  }
  return true;
}

std::string folderOf(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

void syncFolder(const std::string& folder) {
  OwnedFd fd(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (fd.get() >= 0) ::fsync(fd.get());
}

// Removes a file that a failed write left, keeping the errno of the failure.
bool removeAfterFailure(const std::string& path) {
  const int saved = errno;
  ::unlink(path.c_str());
  errno = saved;
  return false;
}

}  // namespace

bool readWholeFile(const std::string& path, std::string* bytes) {
  OwnedFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (fd.get() < 0) return false;
  std::string content;
  std::vector<char> buffer(kReadChunk);
  while (true) {
    const ssize_t n = ::read(fd.get(), buffer.data(), buffer.size());
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    if (n == 0) break;
    content.append(buffer.data(), static_cast<std::size_t>(n));
  }
  *bytes = std::move(content);
  return true;
}

bool replaceFile(const std::string& path, const std::string& bytes, mode_t mode) {
  const std::size_t slash = path.rfind('/');
  const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
  // Room for the suffix within a file name's 255 bytes.
  std::string pattern = folderOf(path) + "/." + name.substr(0, 200) + ".XXXXXX";
  OwnedFd fd(::mkostemp(pattern.data(), O_CLOEXEC));
  if (fd.get() < 0) return false;
  if (::fchmod(fd.get(), mode) != 0 || !writeAll(fd.get(), bytes) || ::fsync(fd.get()) != 0 ||
      !fd.close() || ::rename(pattern.c_str(), path.c_str()) != 0)
    return removeAfterFailure(pattern);
  syncFolder(folderOf(path));  // the rename reaches the disk only with its folder
  return true;
}

bool createFileExclusively(const std::string& path, const std::string& bytes, mode_t mode) {
  OwnedFd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode));
  if (fd.get() < 0) return false;
  // The mode given to open() loses the bits of the umask, never gains any.
  if (!writeAll(fd.get(), bytes) || ::fsync(fd.get()) != 0 || !fd.close())
    return removeAfterFailure(path);
  syncFolder(folderOf(path));
  return true;
}

}  // namespace KiteFeed
