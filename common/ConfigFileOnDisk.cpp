#include "OrvelCommon/ConfigFileOnDisk.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <string_view>
#include <vector>

#include "OrvelPlatform/Path.h"

namespace ORVEL {

namespace {

// Settings files are small; anything larger is not one, and is not read into memory.
constexpr off_t kMaxFileBytes = 16 * 1024 * 1024;
constexpr const char* kBlanks = " \t";
constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";

struct Line {
  std::string text;  // without its line end
  std::string end;   // "\n", "\r\n", or "" for a last line without one
};

enum class LineKind { kOther, kBlank, kComment, kSection, kEntry };

struct ParsedLine {
  LineKind kind = LineKind::kOther;
  std::string_view name;  // section name or key
  std::string_view value;
  std::size_t valueStart = 0;  // where the value begins in the line
};

// Where a key is, or would go, in a file.
struct Location {
  bool sectionFound = false;
  long insertAfter = -1;  // last line with content in the section's first block
  long keyLine = -1;      // first line of the key, or -1
  std::size_t valueStart = 0;
  std::string value;
};

enum class ReadResult { kRead, kMissing, kFailed };

struct Ownership {
  bool known = false;  // false for a new file
  mode_t mode = 0644;
  uid_t uid = 0;
  gid_t gid = 0;
};

std::string_view trimBlanks(std::string_view s) {
  std::size_t first = s.find_first_not_of(kBlanks);
  if (first == std::string_view::npos) return std::string_view();
  std::size_t last = s.find_last_not_of(kBlanks);
  return s.substr(first, last - first + 1);
}

std::vector<Line> splitLines(const std::string& content) {
  std::vector<Line> lines;
  std::size_t start = 0;
  while (start < content.size()) {
    std::size_t newline = content.find('\n', start);
    if (newline == std::string::npos) {
      lines.push_back({content.substr(start), ""});
      break;
    }
    bool crlf = newline > start && content[newline - 1] == '\r';
    std::size_t end = crlf ? newline - 1 : newline;
    lines.push_back({content.substr(start, end - start), crlf ? "\r\n" : "\n"});
    start = newline + 1;
  }
  return lines;
}

std::string joinLines(const std::vector<Line>& lines) {
  std::string content;
  for (const Line& line : lines) content += line.text + line.end;
  return content;
}

// New lines follow the file's own convention, so a CRLF file stays CRLF throughout.
std::string lineEndOf(const std::vector<Line>& lines) {
  for (const Line& line : lines) {
    if (!line.end.empty()) return line.end;
  }
  return "\n";
}

ParsedLine classify(std::string_view text) {
  ParsedLine parsed;
  std::string_view trimmed = trimBlanks(text);
  if (trimmed.empty()) {
    parsed.kind = LineKind::kBlank;
    return parsed;
  }
  if (trimmed.front() == ';' || trimmed.front() == '#') {
    parsed.kind = LineKind::kComment;
    return parsed;
  }
  if (trimmed.front() == '[') {
    std::size_t close = trimmed.find(']');
    if (close != std::string_view::npos) {
      parsed.kind = LineKind::kSection;
      parsed.name = trimBlanks(trimmed.substr(1, close - 1));
    }
    return parsed;
  }
  std::size_t equals = text.find('=');
  if (equals == std::string_view::npos) return parsed;
  std::string_view key = trimBlanks(text.substr(0, equals));
  if (key.empty()) return parsed;
  std::size_t valueStart = text.find_first_not_of(kBlanks, equals + 1);
  parsed.kind = LineKind::kEntry;
  parsed.name = key;
  parsed.value = trimBlanks(text.substr(equals + 1));
  parsed.valueStart = valueStart == std::string_view::npos ? text.size() : valueStart;
  return parsed;
}

// A byte order mark before the first line must not hide a section header.
std::size_t byteOrderMarkLength(const std::vector<Line>& lines, std::size_t index) {
  if (index != 0) return 0;
  return std::string_view(lines[0].text).substr(0, kByteOrderMark.size()) == kByteOrderMark
             ? kByteOrderMark.size()
             : 0;
}

Location locate(const std::vector<Line>& lines, const std::string& section,
                const std::string& key) {
  Location at;
  bool inSection = section.empty();  // keys before any header belong to ""
  int blocksSeen = inSection ? 1 : 0;
  at.sectionFound = inSection;
  for (std::size_t i = 0; i < lines.size(); ++i) {
    std::size_t skip = byteOrderMarkLength(lines, i);
    ParsedLine parsed = classify(std::string_view(lines[i].text).substr(skip));
    if (parsed.kind == LineKind::kSection) {
      inSection = parsed.name == section;
      if (inSection && ++blocksSeen == 1) {
        at.sectionFound = true;
        at.insertAfter = static_cast<long>(i);
      }
      continue;
    }
    if (!inSection) continue;
    bool hasContent = parsed.kind == LineKind::kEntry || parsed.kind == LineKind::kOther;
    if (blocksSeen == 1 && hasContent) at.insertAfter = static_cast<long>(i);
    if (parsed.kind == LineKind::kEntry && parsed.name == key && at.keyLine < 0) {
      at.keyLine = static_cast<long>(i);
      at.valueStart = skip + parsed.valueStart;
      at.value = std::string(parsed.value);
    }
  }
  return at;
}

void insertLine(std::vector<Line>& lines, std::size_t position, std::string text,
                const std::string& lineEnd) {
  if (position > 0 && lines[position - 1].end.empty()) lines[position - 1].end = lineEnd;
  lines.insert(lines.begin() + static_cast<long>(position), Line{std::move(text), lineEnd});
}

// Returns false when the file already holds the value and needs no change.
bool applySetting(std::vector<Line>& lines, const std::string& section, const std::string& key,
                  const std::string& value) {
  Location at = locate(lines, section, key);
  if (at.keyLine >= 0) {
    if (at.value == value) return false;
    Line& line = lines[static_cast<std::size_t>(at.keyLine)];
    line.text = line.text.substr(0, at.valueStart) + value;  // keeps the key's own spacing
    return true;
  }
  std::string lineEnd = lineEndOf(lines);
  if (at.sectionFound) {
    insertLine(lines, static_cast<std::size_t>(at.insertAfter + 1), key + "=" + value, lineEnd);
  } else {
    insertLine(lines, lines.size(), "[" + section + "]", lineEnd);
    insertLine(lines, lines.size(), key + "=" + value, lineEnd);
  }
  return true;
}

bool hasLineEnd(std::string_view s) { return s.find_first_of("\r\n") != std::string_view::npos; }

bool hasSurroundingBlanks(std::string_view s) {
  return !s.empty() && trimBlanks(s).size() != s.size();
}

bool acceptableSection(const char* section) {
  return section && !hasLineEnd(section) && !hasSurroundingBlanks(section) &&
         std::string_view(section).find(']') == std::string_view::npos;
}

// A key that reading would not find again, or that would read as another kind of line.
bool acceptableKey(const char* key) {
  if (!key || !*key || hasLineEnd(key) || hasSurroundingBlanks(key)) return false;
  std::string_view k(key);
  // On a file's first line a leading byte order mark is read as the file's own.
  return k.find('=') == std::string_view::npos && k.front() != '[' && k.front() != ';' &&
         k.front() != '#' && k.substr(0, kByteOrderMark.size()) != kByteOrderMark;
}

bool acceptableValue(const char* value) { return value && !hasLineEnd(value); }

ReadResult readWholeFile(const std::string& osPath, std::string* content, struct stat* st) {
  // Non-blocking, so that a FIFO in the file's place cannot hang the caller.
  int fd = ::open(osPath.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
  if (fd < 0) return errno == ENOENT ? ReadResult::kMissing : ReadResult::kFailed;
  bool ok = ::fstat(fd, st) == 0 && S_ISREG(st->st_mode) && st->st_size <= kMaxFileBytes;
  content->clear();
  char chunk[8192];
  while (ok) {
    ssize_t n = ::read(fd, chunk, sizeof chunk);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      ok = n == 0;
      break;
    }
    content->append(chunk, static_cast<std::size_t>(n));
    ok = content->size() <= static_cast<std::size_t>(kMaxFileBytes);
  }
  ::close(fd);
  return ok ? ReadResult::kRead : ReadResult::kFailed;
}

bool writeAll(int fd, const std::string& data) {
  std::size_t done = 0;
  while (done < data.size()) {
    ssize_t n = ::write(fd, data.data() + done, data.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<std::size_t>(n);
  }
  return true;
}

std::string folderOf(const std::string& path) {
  std::size_t slash = path.find_last_of('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

std::string baseNameOf(const std::string& path) {
  std::size_t slash = path.find_last_of('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// A settings file reached through a link is changed where it lies; the link stays a link.
std::string writeTargetOf(const std::string& osPath) {
  struct stat st;
  if (::lstat(osPath.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return osPath;
  char resolved[PATH_MAX];
  return ::realpath(osPath.c_str(), resolved) ? std::string(resolved) : osPath;
}

// Owner first: a change of owner may clear mode bits that the mode then restores.
bool applyOwnership(int fd, const Ownership& ownership) {
  if (ownership.known && ::fchown(fd, ownership.uid, ownership.gid) != 0) {
    // Only a privileged process may give a file away; the mode still matters more.
  }
  return ::fchmod(fd, ownership.mode) == 0;
}

void syncFolder(const std::string& folder) {
  int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  ::fsync(fd);
  ::close(fd);
}

// Write beside, flush, rename over: a reader or a crash sees the old file or the new one,
// never a part of either.
bool replaceFileAtomically(const std::string& target, const std::string& content,
                           const Ownership& ownership) {
  std::string folder = folderOf(target);
  // Room for the suffix within a file name's 255 bytes.
  std::string pattern = folder + "/." + baseNameOf(target).substr(0, 200) + ".XXXXXX";
  std::vector<char> tempName(pattern.begin(), pattern.end());
  tempName.push_back('\0');
  int fd = ::mkostemp(tempName.data(), O_CLOEXEC);
  if (fd < 0) return false;
  bool ok = writeAll(fd, content) && applyOwnership(fd, ownership) && ::fsync(fd) == 0;
  ok = ::close(fd) == 0 && ok;
  ok = ok && ::rename(tempName.data(), target.c_str()) == 0;
  if (!ok) {
    ::unlink(tempName.data());
    return false;
  }
  syncFolder(folder);  // the rename reaches the disk only with its folder
  return true;
}

// An exclusive flock of an existing folder, held for the object's lifetime. A lock file would be
// created where none should be (a missing folder would turn into a file of that name).
class FolderLock {
 public:
  explicit FolderLock(const std::string& folder)
      : m_fd(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)) {
    if (m_fd < 0) return;
    int rc;
    do {
      rc = ::flock(m_fd, LOCK_EX);
    } while (rc != 0 && errno == EINTR);
    m_held = rc == 0;
  }
  ~FolderLock() {
    if (m_fd >= 0) ::close(m_fd);  // releases the lock
  }
  FolderLock(const FolderLock&) = delete;
  FolderLock& operator=(const FolderLock&) = delete;
  bool held() const { return m_held; }

 private:
  int m_fd;
  bool m_held = false;
};

Ownership ownershipOf(const struct stat& st) {
  return Ownership{true, static_cast<mode_t>(st.st_mode & 07777), st.st_uid, st.st_gid};
}

}  // namespace

ConfigFileOnDisk::ConfigFileOnDisk(const char* path) : m_path(path ? path : "") {
  _reloadIfChanged();
}

ConfigFileOnDisk::~ConfigFileOnDisk() = default;

void ConfigFileOnDisk::_reloadIfChanged() {
  std::string osPath = OrvelPlatform::toOsPath(m_path);
  struct stat st;
  if (!osPath.empty() && ::stat(osPath.c_str(), &st) == 0 && m_stamp.present &&
      st.st_dev == m_stamp.dev && st.st_ino == m_stamp.ino && st.st_size == m_stamp.size &&
      st.st_mtim.tv_sec == m_stamp.mtime.tv_sec && st.st_mtim.tv_nsec == m_stamp.mtime.tv_nsec) {
    return;
  }
  std::string content;
  m_readable = !osPath.empty() && readWholeFile(osPath, &content, &st) == ReadResult::kRead;
  m_content = m_readable ? content : std::string();
  m_stamp = Stamp();
  if (m_readable) m_stamp = Stamp{true, st.st_dev, st.st_ino, st.st_size, st.st_mtim};
}

bool ConfigFileOnDisk::getparam(const char* section, const char* key, std::string& value) {
  if (!section || !key) return false;
  _reloadIfChanged();
  Location at = locate(splitLines(m_content), section, key);
  if (at.keyLine < 0) return false;
  value = at.value;
  return true;
}

bool ConfigFileOnDisk::setparam(const char* section, const char* key, const char* value) {
  if (!acceptableSection(section) || !acceptableKey(key) || !acceptableValue(value)) return false;
  std::string target = writeTargetOf(OrvelPlatform::toOsPath(m_path));
  if (target.empty()) return false;
  // Another process may change another key of the same file at the same time: the file is read
  // again and replaced under one lock, so neither change is lost. The lock is on the folder,
  // which, unlike the file, is not replaced.
  FolderLock folderLock(folderOf(target));
  if (!folderLock.held()) return false;
  std::string content;
  struct stat st;
  ReadResult read = readWholeFile(target, &content, &st);
  if (read == ReadResult::kFailed) return false;
  std::vector<Line> lines = splitLines(content);
  if (applySetting(lines, section, key, value) || read == ReadResult::kMissing) {
    std::string updated = joinLines(lines);
    if (updated.size() > static_cast<std::size_t>(kMaxFileBytes)) return false;
    Ownership ownership = read == ReadResult::kRead ? ownershipOf(st) : Ownership();
    if (!replaceFileAtomically(target, updated, ownership)) return false;
    content = updated;
    if (::stat(target.c_str(), &st) != 0) return false;
  }
  m_content = content;
  m_readable = true;
  // Taken from the file as written, so that the next read does not read it again.
  m_stamp = Stamp{true, st.st_dev, st.st_ino, st.st_size, st.st_mtim};
  return true;
}

}  // namespace ORVEL
