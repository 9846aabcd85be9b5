// Path queries, names, comparison, modes and folder creation.
#include "OrvelKF/OrvelFileOpUtil.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>

#include "OrvelFileOpInternal.h"
#include "OrvelPlatform/Path.h"

namespace OrvelFileOpUtil {

using namespace detail;

bool exist(const char* path) {
  return !isNullOrEmpty(path) && static_cast<bool>(openForReading(path));
}

bool isExist(const char* path) {
  struct stat status;
  return !isNullOrEmpty(path) && statPath(path, &status);
}

bool isDir(const char* path) {
  if (isNullOrEmpty(path)) return false;
  std::string target = path;
  dropTrailingSeparator(target);
  struct stat status;
  if (statPath(target, &status)) return S_ISDIR(status.st_mode);
  // A bare drive name only answers with its separator.
  return statPath(target + '\\', &status) && S_ISDIR(status.st_mode);
}

bool isDirName(const char* path) { return !isNullOrEmpty(path) && endsWithSeparator(path); }

bool isEmptyDir(const char* path) {
  if (!isDir(path)) return false;
  return !QxDirList((withTrailingSeparator(path) + '*').c_str()).hasNext();
}

std::string getDirName(const char* path) {
  if (isNullOrEmpty(path)) return std::string();
  const std::string target = path;
  const std::size_t lastSeparator = target.find_last_of("\\/");
  if (lastSeparator == std::string::npos || lastSeparator == 0) return std::string();
  return target.substr(0, lastSeparator) + '\\';
}

std::string getFileName(const char* path) {
  if (isNullOrEmpty(path)) return std::string();
  const std::string target = path;
  const std::size_t lastSeparator = target.find_last_of("\\/");
  return lastSeparator == std::string::npos ? target : target.substr(lastSeparator + 1);
}

bool rename(const char* from, const char* to) {
  if (isNullOrEmpty(from) || isNullOrEmpty(to)) return false;
  std::string source = normalise(from);
  std::string target = normalise(to);
  dropTrailingSeparator(source);
  dropTrailingSeparator(target);
  return std::rename(OrvelPlatform::toOsPath(source).c_str(),
                     OrvelPlatform::toOsPath(target).c_str()) == 0;
}

bool filesizeEqualTo(const char* path, int size) {
  if (isNullOrEmpty(path)) return false;
  const UniqueFd file = openForReading(path);
  struct stat status;
  return file && ::fstat(file.get(), &status) == 0 && status.st_size == static_cast<off_t>(size);
}

namespace {

bool sameSize(int fdA, int fdB) {
  struct stat statusA;
  struct stat statusB;
  return ::fstat(fdA, &statusA) == 0 && ::fstat(fdB, &statusB) == 0 &&
         statusA.st_size == statusB.st_size;
}

bool sameContent(int fdA, int fdB) {
  std::unique_ptr<char[]> blockA(new (std::nothrow) char[kBlockSize]);
  std::unique_ptr<char[]> blockB(new (std::nothrow) char[kBlockSize]);
  if (!blockA || !blockB) return false;
  for (;;) {
    const long long gotA = readFully(fdA, blockA.get(), kBlockSize);
    const long long gotB = readFully(fdB, blockB.get(), kBlockSize);
    if (gotA < 0 || gotB < 0 || gotA != gotB) return false;
    if (gotA == 0) return true;
    if (std::memcmp(blockA.get(), blockB.get(), static_cast<std::size_t>(gotA)) != 0) {
      return false;
    }
  }
}

}  // namespace

bool comp(const char* pathA, const char* pathB) {
  if (isNullOrEmpty(pathA) || isNullOrEmpty(pathB)) return false;
  const UniqueFd fileA = openForReading(pathA);
  const UniqueFd fileB = openForReading(pathB);
  return fileA && fileB && sameSize(fileA.get(), fileB.get()) &&
         sameContent(fileA.get(), fileB.get());
}

namespace {

bool changeMode(const std::string& path, int mode) {
  return ::chmod(OrvelPlatform::toOsPath(path).c_str(), static_cast<mode_t>(mode) & 07777) == 0;
}

}  // namespace

int chdirmode(const char* path, int mode) {
  if (isNullOrEmpty(path)) return kErrInvalidArgument;
  const std::string target = normalise(path);
  if (target.back() != '*' && !endsWithSeparator(target)) {
    return changeMode(target, mode) ? kOk : kErrModeChange;
  }
  bool anyFailed = false;
  QxDirList listing(target.c_str());
  while (listing.hasNext()) {
    if (!changeMode(listing.getNext(), mode)) anyFailed = true;
  }
  return anyFailed ? kErrModeChange : kOk;
}

int chowngrp(const char* /*path*/, const char* /*group*/) { return kOk; }

namespace {

// Drive names ("D:") and share roots ("\\server\share") exist without being made.
bool needsNoCreation(const std::string& path) {
  if (path.size() == 2 && path[1] == ':') return true;
  return path.compare(0, 2, "\\\\") == 0 && std::count(path.begin(), path.end(), '\\') == 3;
}

// 0 on success, else the system's error.
int makeOneFolder(const std::string& path) {
  return ::mkdir(OrvelPlatform::toOsPath(path).c_str(), 0777) == 0 ? 0 : errno;
}

}  // namespace

int createDir(const char* path, Callback callback, CallbackEntry* entry) {
  if (isNullOrEmpty(path)) return kErrInvalidArgument;
  std::string folder = path;
  dropTrailingSeparator(folder);
  describeStep(entry, folder, nullptr, kActionCreateDir);
  int result;
  if (!mayDoStep(callback, entry, &result)) return result;
  if (needsNoCreation(folder)) return kOk;

  int error = makeOneFolder(folder);
  if (error == ENOENT) {
    if (createDir(getDirName(folder.c_str()).c_str(), callback, entry) != kOk) {
      return kErrDestination;
    }
    // One more try only: a parent that still is not there (a skipped step, a drive that does
    // not exist) must not make the creation go round for ever.
    error = makeOneFolder(folder);
  }
  if (error == EEXIST && isDir(folder.c_str())) error = 0;
  if (error != 0) return kErrDestination;
  describeStep(entry, folder, nullptr, kActionCreateDir);
  reportDone(callback, entry);
  return kOk;
}

}  // namespace OrvelFileOpUtil
