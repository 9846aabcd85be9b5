#include "OrvelCommon/DirectoryReaderA.h"

#include <sys/stat.h>

#include "OrvelPlatform/Path.h"

namespace ORVEL {

namespace {

bool isDirectoryEntry(DIR* dir, const struct dirent* entry) {
  if (entry->d_type == DT_DIR) return true;
  if (entry->d_type != DT_UNKNOWN && entry->d_type != DT_LNK) return false;
  // The file system did not say, or the entry is a link: ask for what the name leads to.
  struct stat st;
  return ::fstatat(::dirfd(dir), entry->d_name, &st, 0) == 0 && S_ISDIR(st.st_mode);
}

}  // namespace

DirectoryReaderA::DirectoryReaderA(const char* folder) : m_folder(OrvelPlatform::toOsPath(folder)) {
  if (!m_folder.empty()) m_dir.reset(::opendir(m_folder.c_str()));
}

bool DirectoryReaderA::GetNextEntry() {
  m_name.clear();
  m_isDirectory = false;
  if (!m_dir) return false;
  const struct dirent* entry = ::readdir(m_dir.get());
  if (!entry) {
    m_dir.reset();  // the end, or a read error: either way the listing is over
    return false;
  }
  m_name = entry->d_name;
  m_isDirectory = isDirectoryEntry(m_dir.get(), entry);
  return true;
}

}  // namespace ORVEL
