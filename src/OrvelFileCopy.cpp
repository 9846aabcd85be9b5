// copy, xcopy, move and xmove, built on copying one file at a time.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <memory>
#include <new>

#include "OrvelFileOpInternal.h"
#include "OrvelKF/OrvelFileOpUtil.h"
#include "OrvelPlatform/Path.h"

namespace OrvelFileOpUtil {

using namespace detail;

namespace {

// Lets the kernel move the bytes while it is willing to. It stops quietly at the end of the
// source or whenever the kernel declines; the file offsets then stand where it stopped and the
// read-write loop carries on from there and reports any real fault with the proper result.
void copyInKernel(int in, int out) {
  constexpr std::size_t kChunk = std::size_t{1} << 30;
  for (;;) {
    const ssize_t moved = ::copy_file_range(in, nullptr, out, nullptr, kChunk, 0);
    if (moved > 0 || (moved < 0 && errno == EINTR)) continue;
    return;
  }
}

bool writeAll(int fd, const char* data, std::size_t count) {
  while (count > 0) {
    const ssize_t written = ::write(fd, data, count);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return false;
    data += written;
    count -= static_cast<std::size_t>(written);
  }
  return true;
}

int copyContents(int in, int out, bool mayCopyInKernel) {
  std::unique_ptr<char[]> buffer(new (std::nothrow) char[kBlockSize]);
  if (!buffer) return kErrRead;
  if (mayCopyInKernel) copyInKernel(in, out);
  for (;;) {
    ssize_t got;
    do {
      got = ::read(in, buffer.get(), kBlockSize);
    } while (got < 0 && errno == EINTR);
    if (got < 0) return kErrRead;
    if (got == 0) return kOk;
    if (!writeAll(out, buffer.get(), static_cast<std::size_t>(got))) return kErrWrite;
  }
}

bool isRegularFile(int fd) {
  struct stat status;
  return ::fstat(fd, &status) == 0 && S_ISREG(status.st_mode);
}

// Opening the destination truncates it; when it is the source itself (the same path, another
// spelling or a hard link) that would destroy the very data being copied.
bool isSameFile(int sourceFd, const std::string& destination) {
  struct stat source;
  struct stat target;
  return ::fstat(sourceFd, &source) == 0 && statPath(destination, &target) &&
         source.st_dev == target.st_dev && source.st_ino == target.st_ino;
}

enum class Depth { kFilesOnly, kWholeTrees };

// One copy operation: its settings, and for tree copies the folder everything is copied into,
// which the walk of the source must never enter (a tree copied into itself would grow for ever).
class Copier {
 public:
  Copier(bool overwrite, Callback callback, CallbackEntry* entry, Depth depth)
      : m_overwrite(overwrite), m_callback(callback), m_entry(entry), m_depth(depth) {}

  int copyPaths(const char* source, const char* destination);
  // True when the destination folder turned up inside the source tree (and was left out).
  bool metOwnDestination() const { return m_metOwnDestination; }

 private:
  int copyToFile(const std::string& source, const std::string& destination);
  int copyIntoFolder(const std::string& source, const std::string& folder);
  int copyOneFile(const std::string& source, const std::string& destination);
  void rememberTopFolder(const std::string& folder);
  bool isTopFolder(const std::string& path) const;

  const bool m_overwrite;
  const Callback m_callback;
  CallbackEntry* const m_entry;
  const Depth m_depth;
  bool m_topFolderSeen = false;
  bool m_haveTopFolder = false;
  bool m_metOwnDestination = false;
  dev_t m_topDevice = 0;
  ino_t m_topInode = 0;
};

int Copier::copyPaths(const char* sourcePath, const char* destinationPath) {
  if (isNullOrEmpty(sourcePath) || isNullOrEmpty(destinationPath)) return kErrInvalidArgument;
  std::string source = normalise(sourcePath);
  std::string destination = normalise(destinationPath);
  if (!endsWithSeparator(source) && isDir(source.c_str())) source += '\\';
  if (!endsWithSeparator(destination) && isDir(destination.c_str())) destination += '\\';

  if (m_depth == Depth::kWholeTrees && endsWithSeparator(source)) {
    if (!endsWithSeparator(destination)) return kErrInvalidArgument;
    const std::string name = ownName(source);
    if (!name.empty()) destination += name + '\\';
  }
  if (!endsWithSeparator(destination)) return copyToFile(source, destination);
  return copyIntoFolder(source, destination);
}

int Copier::copyToFile(const std::string& source, const std::string& destination) {
  if (holdsWildcard(source) || endsWithSeparator(source)) return kErrInvalidArgument;
  const int made = createDir(getDirName(destination.c_str()).c_str(), m_callback, m_entry);
  if (made != kOk) return made;
  return copyOneFile(source, destination);
}

int Copier::copyIntoFolder(const std::string& source, const std::string& folder) {
  if (!isDir(folder.c_str())) {
    const int made = createDir(folder.c_str(), m_callback, m_entry);
    if (made != kOk) return made;
  }
  rememberTopFolder(folder);
  // A source without a wildcard names one file exactly: it is not looked up through the
  // listing, whose filter would also take names that differ only in case.
  if (!endsWithSeparator(source) && !holdsWildcard(source)) {
    return copyOneFile(source, folder + getFileName(source.c_str()));
  }
  QxDirList listing(source.c_str());
  const std::string filter = listing.getFilter();
  while (listing.hasNext()) {
    const std::string path = listing.getNext();
    const std::string name = getFileName(path.c_str());
    int result = kOk;
    if (!isDir(path.c_str())) {
      result = copyOneFile(path, folder + name);
    } else if (m_depth == Depth::kWholeTrees && matchesFilter(name, filter)) {
      if (isTopFolder(path)) {
        m_metOwnDestination = true;
      } else if (!isSymlink(path)) {
        // A link to a folder is left out, never followed: it may lead back up the tree, which
        // would then be copied into itself, or out of it, into folders nobody asked for.
        result = copyPaths(path.c_str(), folder.c_str());
      }
    }
    if (result != kOk) return result;
  }
  return kOk;
}

int Copier::copyOneFile(const std::string& source, const std::string& destination) {
  if (source.empty() || destination.empty()) return kErrInvalidArgument;
  if (isDir(destination.c_str())) return kErrDestination;
  const bool replacing = isExist(destination.c_str());
  if (replacing && !m_overwrite) return kErrDestinationExists;
  describeStep(m_entry, source, destination.c_str(), replacing ? kActionCopyOver : kActionCopyNew);
  int result;
  if (!mayDoStep(m_callback, m_entry, &result)) return result;

  UniqueFd in = openForReading(source);
  if (!in) return kErrOpenSource;
  if (isSameFile(in.get(), destination)) return kErrDestination;
  UniqueFd out = openForWriting(destination);
  if (!out) return kErrDestination;
  // A whole-file pass: larger read-ahead helps whether the kernel or the loop moves the data.
  ::posix_fadvise(in.get(), 0, 0, POSIX_FADV_SEQUENTIAL);
  const bool reportsProgress = m_callback != nullptr && m_entry != nullptr;
  const bool toRegularFile = isRegularFile(out.get());
  const bool mayCopyInKernel = !reportsProgress && isRegularFile(in.get()) && toRegularFile;
  int copied = copyContents(in.get(), out.get(), mayCopyInKernel);
  // The last write may only fail when the file is closed (a full disk on some file systems).
  if (!out.close() && copied == kOk) copied = kErrWrite;
  if (copied != kOk) {
    // A copy cut short by a full disk or a failing read would pass for the whole file under its
    // name, and later steps take it as the file itself.
    const int fault = errno;  // the caller reports the fault, not the clean-up
    if (toRegularFile) ::unlink(OrvelPlatform::toOsPath(destination).c_str());
    errno = fault;
    return copied;
  }
  reportDone(m_callback, m_entry);
  return kOk;
}

void Copier::rememberTopFolder(const std::string& folder) {
  // Only the first folder is the top one; if a callback skipped making it, nothing below it can
  // be made either, so there is nothing to guard.
  if (m_depth != Depth::kWholeTrees || m_topFolderSeen) return;
  m_topFolderSeen = true;
  struct stat status;
  if (!statPath(folder, &status)) return;
  m_haveTopFolder = true;
  m_topDevice = status.st_dev;
  m_topInode = status.st_ino;
}

bool Copier::isTopFolder(const std::string& path) const {
  struct stat status;
  return m_haveTopFolder && statPath(path, &status) && status.st_dev == m_topDevice &&
         status.st_ino == m_topInode;
}

}  // namespace

int copy(const char* source, const char* destination, bool overwrite, Callback callback,
         CallbackEntry* entry) {
  return Copier(overwrite, callback, entry, Depth::kFilesOnly).copyPaths(source, destination);
}

int xcopy(const char* source, const char* destination, bool overwrite, Callback callback,
          CallbackEntry* entry) {
  return Copier(overwrite, callback, entry, Depth::kWholeTrees).copyPaths(source, destination);
}

int move(const char* source, const char* destination, bool overwrite, Callback callback,
         CallbackEntry* entry) {
  const int copied = copy(source, destination, overwrite, callback, entry);
  return copied != kOk ? copied : unlink(source, callback, entry);
}

int xmove(const char* source, const char* destination, bool overwrite, Callback callback,
          CallbackEntry* entry) {
  Copier copier(overwrite, callback, entry, Depth::kWholeTrees);
  const int copied = copier.copyPaths(source, destination);
  if (copied != kOk) return copied;
  // Removing the source tree would take the copy inside it along.
  if (copier.metOwnDestination()) return kErrInvalidArgument;
  return xunlink(source, callback, entry);
}

}  // namespace OrvelFileOpUtil
