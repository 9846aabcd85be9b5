// Rules and helpers shared by the file operations and the directory listing; not exported.
#pragma once

#include <sys/stat.h>

#include <cstddef>
#include <string>

#include "OrvelKF/OrvelFileOpUtil.h"

namespace OrvelFileOpUtil {
namespace detail {

// Size of the copy and comparison blocks.
constexpr std::size_t kBlockSize = 262144;

// ---- path rules: single bytes, "\" and "/" both separate ----

bool isNullOrEmpty(const char* path);
bool isSeparator(char c);
bool endsWithSeparator(const std::string& path);
bool holdsWildcard(const std::string& path);
// Every "/" becomes "\"; a null path gives "".
std::string normalise(const char* path);
std::string normalise(const std::string& path);
// Drops one trailing separator, but never reduces the root "\" to nothing.
void dropTrailingSeparator(std::string& path);
std::string withTrailingSeparator(const std::string& path);
// The name of a folder path that may end with a separator ("D:\a\b\" gives "b").
std::string ownName(const std::string& folderPath);
// "*" any run, "?" one byte, ASCII letters without regard to case, the whole name.
bool matchesFilter(const std::string& name, const std::string& filter);

// ---- the file system, always asked through the platform's path translation ----

bool statPath(const std::string& path, struct stat* status);
// True for a symbolic link itself, whatever it points at.
bool isSymlink(const std::string& path);
// A folder that is really there, not a symbolic link to one: removal never goes through a link.
bool isRealDirectory(const std::string& path);

// Owns a file descriptor and closes it on every path.
class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) : m_fd(fd) {}
  ~UniqueFd();
  UniqueFd(UniqueFd&& other) noexcept : m_fd(other.m_fd) { other.m_fd = -1; }
  UniqueFd& operator=(UniqueFd&& other) noexcept;
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;

  int get() const { return m_fd; }
  explicit operator bool() const { return m_fd >= 0; }
  // Closes now; false when the system reports that data could not be written.
  bool close();

 private:
  int m_fd = -1;
};

// Opens an existing file for reading. Folders are refused (they are not files), and opening
// never waits for the other end of a pipe.
UniqueFd openForReading(const std::string& path);
// Creates or truncates a file for writing, never waiting for the reader of a pipe.
UniqueFd openForWriting(const std::string& path);
// Reads until count bytes or the end; -1 on a read error.
long long readFully(int fd, char* buffer, std::size_t count);

// ---- the progress callback ----

// Fills the record for a step about to be reported (done = 0). Does nothing without a record.
void describeStep(CallbackEntry* entry, const std::string& srcPath, const char* dstPath,
                  int action);
// Asks the callback before a step. False when the step must not be done; *result then holds
// what the operation returns: kOk for a skipped step, the callback's own value for a stop.
bool mayDoStep(Callback callback, CallbackEntry* entry, int* result);
// Reports a step that succeeded (done = 1). The step is done whatever the callback answers, so
// the answer neither skips nor stops anything: the operation goes on.
void reportDone(Callback callback, CallbackEntry* entry);

}  // namespace detail
}  // namespace OrvelFileOpUtil
