// A settings file in INI form, read and changed in place on disk.
//
// Reading: "[section]" lines open a section (blanks around the name are ignored); "key = value"
// lines split at the first "=", blanks around key and value are dropped, the value is taken
// literally (it may contain "=", blanks and quotes). Lines that begin with ";" or "#", blank
// lines and lines without "=" are kept but carry nothing. Names are compared exactly, case
// included. Keys before the first section belong to the section "". When a key occurs twice in a
// section (or in two blocks of the same section), the first occurrence counts, for reading and for
// changing. LF and CRLF line ends, a missing final line end and bytes that are not text are all
// accepted; a file of more than 16 MiB, or one that is not a regular file, is not read.
//
// The object re-reads the file whenever it changed on disk since it was last read, so a value
// written by another process is seen. One object is used by one thread at a time.
//
// Changing (setparam): under an flock of the file's folder the file is read again from disk, the
// one line changed (or the key added at the end of its first section block, or the section added
// at the end of the file), written to a temporary file in the same folder, flushed to disk and
// renamed over the original, which keeps its permission mode and owner. Every other byte of the
// file stays as it was, and a crash leaves either the old or the new file. A missing file is
// created (mode 0644); its folder must exist. On failure the file is untouched and no temporary
// file remains.
#pragma once

#include <sys/types.h>

#include <ctime>
#include <string>

#pragma GCC visibility push(default)

namespace ORVEL {

class ConfigFileOnDisk {
 public:
  // True when the file could be read (at construction, or at the latest re-read or change).
  bool m_readable = false;

  explicit ConfigFileOnDisk(const char* path);
  virtual ~ConfigFileOnDisk();

  // True when the key exists in the section; value receives it. Null arguments find nothing.
  virtual bool getparam(const char* section, const char* key, std::string& value);
  // True when the file on disk holds the value afterwards. Refused (false): null arguments, an
  // empty key, a key or section name with surrounding blanks or a line end, a key containing "="
  // or beginning with "[", ";", "#" or a byte order mark, a section name containing "]", a value
  // with a line end.
  // Blanks around the value are not kept (reading drops them).
  virtual bool setparam(const char* section, const char* key, const char* value);

  const std::string& path() const { return m_path; }

 private:
  // What identifies one state of the file on disk; a change of any part calls for a re-read.
  struct Stamp {
    bool present = false;
    dev_t dev = 0;
    ino_t ino = 0;
    off_t size = 0;
    struct timespec mtime = {};
  };

  void _reloadIfChanged();

  std::string m_path;     // as given; converted for the OS at each call
  std::string m_content;  // the file as last read or written
  Stamp m_stamp;
};

}  // namespace ORVEL

#pragma GCC visibility pop
