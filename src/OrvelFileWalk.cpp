// xaccess, the tree walk, and getDirSize on top of it.
#include <sys/stat.h>

#include <cstdint>
#include <limits>

#include "OrvelFileOpInternal.h"
#include "OrvelKF/OrvelFileOpUtil.h"

namespace OrvelFileOpUtil {

using namespace detail;

namespace {

constexpr std::int64_t kLargestSize = std::numeric_limits<std::int32_t>::max();

// Sizes are reported in 32 bits; a larger file says "at least this much" instead of wrapping
// round to a small or negative number.
std::int32_t reportableSize(std::int64_t size) {
  return static_cast<std::int32_t>(size > kLargestSize ? kLargestSize : size);
}

void describeFound(CallbackEntry* entry, const std::string& path, const struct stat& status) {
  entry->srcPath = path.c_str();
  entry->dstPath = nullptr;
  entry->mtime = status.st_mtime;
  if (S_ISDIR(status.st_mode)) {
    entry->action = kActionFoundDir;
    entry->fileSize = 0;
  } else {
    entry->action = kActionFoundFile;
    entry->fileSize = reportableSize(status.st_size);
  }
}

void announce(Callback callback, CallbackEntry* entry) {
  // What the callback answers does not steer the walk; only the action it leaves does.
  if (callback != nullptr) callback(entry);
}

bool walkFolder(const std::string& folder, Callback callback, CallbackEntry* entry) {
  QxDirList listing(withTrailingSeparator(folder).c_str());
  while (listing.hasNext()) {
    const std::string path = listing.getNext();
    struct stat status;
    if (!statPath(path, &status) && !statPath(path + '\\', &status)) return false;
    describeFound(entry, path, status);
    announce(callback, entry);
    if (entry->action == kActionFoundDir && !xaccess(path.c_str(), callback, entry)) {
      return false;
    }
  }
  return true;
}

int addFileSize(CallbackEntry* entry) {
  *static_cast<std::int64_t*>(entry->userData) += entry->fileSize;
  return kCallbackContinue;
}

}  // namespace

bool xaccess(const char* path, Callback callback, CallbackEntry* entry) {
  if (isNullOrEmpty(path) || entry == nullptr || entry->structSize != kCallbackEntrySize) {
    return false;
  }
  const std::string target = normalise(path);
  if (isDir(target.c_str())) return walkFolder(target, callback, entry);
  struct stat status;
  if (!statPath(target, &status) || S_ISDIR(status.st_mode)) return false;
  describeFound(entry, target, status);
  announce(callback, entry);
  return true;
}

int getDirSize(const char* path) {
  if (isNullOrEmpty(path)) return -1;
  // Counted wide, reported in 32 bits: a tree above 2 GiB gives the largest value, not a
  // wrapped-round one.
  std::int64_t total = 0;
  CallbackEntry entry{};
  entry.structSize = kCallbackEntrySize;
  entry.userData = &total;
  if (!xaccess(path, addFileSize, &entry)) return -1;
  return reportableSize(total);
}

}  // namespace OrvelFileOpUtil
