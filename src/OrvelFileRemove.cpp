// unlink and xunlink, built on removing one entry at a time.
#include <unistd.h>

#include <cerrno>

#include "OrvelFileOpInternal.h"
#include "OrvelKF/OrvelFileOpUtil.h"
#include "OrvelPlatform/Path.h"

namespace OrvelFileOpUtil {

using namespace detail;

namespace {

// What is already gone, or a folder that still holds entries, is not a failure of the removal.
bool isHarmlessRemovalError(int error) {
  return error == EEXIST || error == ENOENT || error == ENOTDIR || error == ENOTEMPTY;
}

int removeOneEntry(const std::string& path, Callback callback, CallbackEntry* entry) {
  if (path.empty()) return kErrInvalidArgument;
  // A link to a folder is removed as the link, never through it.
  const bool folder = isRealDirectory(path);
  describeStep(entry, path, nullptr, folder ? kActionRemoveDir : kActionDeleteFile);
  int result;
  if (!mayDoStep(callback, entry, &result)) return result;
  if (entry != nullptr) entry->done = 1;

  const std::string osPath = OrvelPlatform::toOsPath(path);
  const int removed = folder ? ::rmdir(osPath.c_str()) : ::unlink(osPath.c_str());
  if (removed != 0) return isHarmlessRemovalError(errno) ? kOk : kErrRemoveFailed;
  reportDone(callback, entry);
  return kOk;
}

int removeTree(std::string path, Callback callback, CallbackEntry* entry) {
  QxDirList listing(path.c_str());
  const std::string filter = listing.getFilter();
  while (listing.hasNext()) {
    const std::string found = listing.getNext();
    int result = kOk;
    if (!isDir(found.c_str())) {
      result = removeOneEntry(found, callback, entry);
    } else if (matchesFilter(getFileName(found.c_str()), filter)) {
      // A link to a folder goes as the link; the tree it points at is not ours to remove.
      result = isSymlink(found) ? removeOneEntry(found, callback, entry)
                                : removeTree(found + '\\', callback, entry);
    }
    if (result != kOk) return result;
  }
  dropTrailingSeparator(path);
  return isDir(path.c_str()) ? removeOneEntry(path, callback, entry) : kOk;
}

}  // namespace

int unlink(const char* path, Callback callback, CallbackEntry* entry) {
  if (isNullOrEmpty(path)) return kErrInvalidArgument;
  std::string target = normalise(path);
  dropTrailingSeparator(target);
  if (isDir(target.c_str()) || !holdsWildcard(target)) {
    return removeOneEntry(target, callback, entry);
  }
  QxDirList listing(target.c_str());
  const std::string filter = listing.getFilter();
  while (listing.hasNext()) {
    const std::string found = listing.getNext();
    if (isDir(found.c_str()) && !matchesFilter(getFileName(found.c_str()), filter)) continue;
    const int result = removeOneEntry(found, callback, entry);
    if (result != kOk) return result;
  }
  return kOk;
}

int xunlink(const char* path, Callback callback, CallbackEntry* entry) {
  if (isNullOrEmpty(path)) return kErrInvalidArgument;
  const std::string target = normalise(path);
  // A name without a wildcard that is not a folder is exactly one entry; looking it up through
  // a listing would also take the names that differ from it only in case.
  if (!holdsWildcard(target) && !endsWithSeparator(target) && !isRealDirectory(target)) {
    return removeOneEntry(target, callback, entry);
  }
  return removeTree(target, callback, entry);
}

}  // namespace OrvelFileOpUtil
