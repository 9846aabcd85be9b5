#include <dirent.h>

#include <memory>

#include "OrvelFileOpInternal.h"
#include "OrvelKF/OrvelFileOpUtil.h"
#include "OrvelPlatform/Path.h"

namespace OrvelFileOpUtil {

using namespace detail;

QxDirList::QxDirList(const char* path) {
  std::string target = path ? path : "";
  if (!endsWithSeparator(target) && isDir(target.c_str())) target += '\\';
  target = normalise(target);

  // The folder keeps its last separator even when that is the first character, so that a path
  // at the root lists the root and never the current folder.
  const std::size_t lastSeparator = target.find_last_of('\\');
  if (lastSeparator == std::string::npos) {
    m_filter = target;
  } else {
    m_dir = target.substr(0, lastSeparator + 1);
    m_filter = target.substr(lastSeparator + 1);
  }
  if (m_filter.empty()) m_filter = "*";
  _read();
}

namespace {

using DirHandle = std::unique_ptr<DIR, int (*)(DIR*)>;

bool isDirectoryEntry(const dirent& found, const std::string& path) {
  if (found.d_type == DT_DIR) return true;
  // Links and file systems that do not tell the type are asked; plain files need no call.
  if (found.d_type != DT_LNK && found.d_type != DT_UNKNOWN) return false;
  struct stat status;
  return statPath(path, &status) && S_ISDIR(status.st_mode);
}

}  // namespace

void QxDirList::_read() {
  m_index = 0;
  const std::string osDir = m_dir.empty() ? std::string(".") : OrvelPlatform::toOsPath(m_dir);
  DirHandle folder(::opendir(osDir.c_str()), &::closedir);
  if (!folder) return;
  while (const dirent* found = ::readdir(folder.get())) {
    const std::string name = found->d_name;
    if (name == "." || name == "..") continue;
    if (isDirectoryEntry(*found, m_dir + name) || matchesFilter(name, m_filter)) {
      m_entries.push_back(name);
    }
  }
}

bool QxDirList::hasNext() const { return m_index < m_entries.size(); }

std::string QxDirList::getNext() {
  if (!hasNext()) return std::string();
  return m_dir + m_entries[m_index++];
}

int QxDirList::getFileCount() const {
  int files = 0;
  for (const std::string& name : m_entries) {
    if (!isDir((m_dir + name).c_str())) ++files;
  }
  return files;
}

std::string QxDirList::getFilter() const { return m_filter; }

}  // namespace OrvelFileOpUtil
