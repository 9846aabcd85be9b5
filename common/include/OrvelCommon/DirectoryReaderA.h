// Lists the entries of one folder, one at a time.
//
// Like the Windows folder reader it stands for, the listing includes "." and "..", in the order
// the file system gives them (callers skip them by name). A folder that cannot be opened (missing,
// not a folder, null or empty path) simply has no entries. An entry is a folder when it is one or
// is a symbolic link to one, as a Windows folder link reports the folder attribute.
#pragma once

#include <dirent.h>

#include <memory>
#include <string>

#pragma GCC visibility push(default)

namespace ORVEL {

class DirectoryReaderA {
 public:
  explicit DirectoryReaderA(const char* folder);
  DirectoryReaderA(const DirectoryReaderA&) = delete;
  DirectoryReaderA& operator=(const DirectoryReaderA&) = delete;

  // True when an entry was read; false at the end of the listing.
  bool GetNextEntry();
  // The name of the entry last read, without its folder; "" before the first and after the last.
  // Valid until the next GetNextEntry().
  const char* EntryName() const { return m_name.c_str(); }
  bool EntryIsDirectory() const { return m_isDirectory; }

 private:
  struct DirCloser {
    void operator()(DIR* dir) const { ::closedir(dir); }
  };

  std::string m_folder;
  std::unique_ptr<DIR, DirCloser> m_dir;
  std::string m_name;
  bool m_isDirectory = false;
};

}  // namespace ORVEL

#pragma GCC visibility pop
