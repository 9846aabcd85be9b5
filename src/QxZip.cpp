#include "OrvelKF/QxZip.h"

#include <sys/stat.h>
#include <unicode/ucnv.h>
#include <unistd.h>
#include <unzip.h>
#include <utime.h>
#include <zip.h>
#include <zlib.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory>
#include <string>
#include <vector>

#include "OrvelKF/OrvelFileOpUtil.h"
#include "OrvelPlatform/Path.h"

namespace ORVEL {

namespace {

constexpr std::size_t kZipReadChunk = 16384;
constexpr std::size_t kUnzipCopyChunk = 8192;
constexpr std::size_t kEntryNameLimit = 1023;
constexpr uLong kZipVersion = 20;
constexpr uLong kArchiveAttribute = 0x20;
constexpr int kTemporaryNameAttempts = 100;

std::atomic<unsigned> g_stagedEntries{0};

struct FileCloser {
  void operator()(std::FILE* file) const { std::fclose(file); }
};
using FilePtr = std::unique_ptr<std::FILE, FileCloser>;

FilePtr openFile(const std::string& path, const char* mode) {
  return FilePtr(std::fopen(OrvelPlatform::toOsPath(path).c_str(), mode));
}

const char* converterOfCodePage(unsigned codePage) {
  switch (codePage) {
    case 932:
      return "windows-932";
    case 936:
      return "windows-936";
    case 949:
      return "windows-949";
    case 950:
      return "windows-950";
    default:
      return nullptr;
  }
}

// File names on this system are UTF-8; the archive wants them in the code
// page. A name that does not convert keeps its bytes.
std::string entryNameInCodePage(const std::string& name, unsigned codePage) {
  const char* converter = converterOfCodePage(codePage);
  if (!converter) return name;
  std::vector<char> out(name.size() * 4 + 4);
  UErrorCode status = U_ZERO_ERROR;
  int32_t length = ucnv_convert(converter, "UTF-8", out.data(), static_cast<int32_t>(out.size()),
                                name.data(), static_cast<int32_t>(name.size()), &status);
  if (U_FAILURE(status)) return name;
  return std::string(out.data(), static_cast<std::size_t>(length));
}

zip_fileinfo entryInfoOf(const struct stat& status) {
  zip_fileinfo info{};
  std::tm local{};
  localtime_r(&status.st_mtime, &local);
  info.tmz_date.tm_sec = static_cast<uInt>(local.tm_sec);
  info.tmz_date.tm_min = static_cast<uInt>(local.tm_min);
  info.tmz_date.tm_hour = static_cast<uInt>(local.tm_hour);
  info.tmz_date.tm_mday = static_cast<uInt>(local.tm_mday);
  info.tmz_date.tm_mon = static_cast<uInt>(local.tm_mon);
  info.tmz_date.tm_year = static_cast<uInt>(local.tm_year + 1900);
  info.external_fa = (static_cast<uLong>(status.st_mode) << 16) | kArchiveAttribute;
  return info;
}

class ZipWriter {
 public:
  ZipWriter(const std::string& archive, unsigned codePage)
      : m_zip(zipOpen64(OrvelPlatform::toOsPath(archive).c_str(), APPEND_STATUS_CREATE)),
        m_codePage(codePage) {}
  ~ZipWriter() { close(); }

  bool opened() const { return m_zip != nullptr; }

  bool close() {
    if (!m_zip) return false;
    bool closed = zipClose(m_zip, nullptr) == ZIP_OK;
    m_zip = nullptr;
    return closed;
  }

  bool addFile(const std::string& path, const std::string& entryName) {
    struct stat status {};
    if (::stat(OrvelPlatform::toOsPath(path).c_str(), &status) != 0) return false;
    FilePtr source = openFile(path, "rb");
    if (!source) return false;
    zip_fileinfo info = entryInfoOf(status);
    const std::string name = entryNameInCodePage(entryName, m_codePage);
    const int zip64 = status.st_size >= 0xffffffffLL ? 1 : 0;
    if (zipOpenNewFileInZip4_64(m_zip, name.c_str(), &info, nullptr, 0, nullptr, 0, nullptr,
                                Z_DEFLATED, Z_DEFAULT_COMPRESSION, 0, -MAX_WBITS, 8,
                                Z_DEFAULT_STRATEGY, nullptr, 0, kZipVersion, 0, zip64) != ZIP_OK)
      return false;
    bool copied = copyInto(source.get());
    return zipCloseFileInZip(m_zip) == ZIP_OK && copied;
  }

 private:
  bool copyInto(std::FILE* source) {
    std::vector<char> buffer(kZipReadChunk);
    std::size_t got;
    while ((got = std::fread(buffer.data(), 1, buffer.size(), source)) > 0)
      if (zipWriteInFileInZip(m_zip, buffer.data(), static_cast<unsigned>(got)) != ZIP_OK)
        return false;
    return !std::ferror(source);
  }

  zipFile m_zip;
  unsigned m_codePage;
};

// The name of a single file in the archive: what follows the last separator
// of either kind, since the product's paths mix them ("/opt/orvel\temp\kf\x").
bool singleEntryName(const std::string& path, std::string& name) {
  std::size_t cut = path.find_last_of("/\\");
  if (cut == std::string::npos) return false;
  name = path.substr(cut + 1);
  return true;
}

bool addFolder(ZipWriter& zip, const std::string& folder, const std::string& prefix) {
  OrvelFileOpUtil::QxDirList list(folder.c_str());
  while (list.hasNext()) {
    const std::string path = list.getNext();
    const std::string name = prefix + OrvelFileOpUtil::getFileName(path.c_str());
    bool added = OrvelFileOpUtil::isDir(path.c_str()) ? addFolder(zip, path + "\\", name + "/")
                                                      : zip.addFile(path, name);
    if (!added) return false;
  }
  return true;
}

bool addSource(ZipWriter& zip, const std::string& source) {
  if (OrvelFileOpUtil::isDir(source.c_str())) return addFolder(zip, source, "");
  std::string name;
  return singleEntryName(source, name) && zip.addFile(source, name);
}

// ---- extraction ----

struct UnzipCloser {
  void operator()(void* archive) const { unzClose(archive); }
};
using UnzipPtr = std::unique_ptr<void, UnzipCloser>;

bool isSeparator(char c) { return c == '/' || c == '\\'; }

// Absolute names and names with ".." parts would put files outside the
// destination folder.
bool isSafeEntryName(const std::string& name) {
  if (name.empty() || isSeparator(name[0])) return false;
  if (name.size() >= 2 && name[1] == ':') return false;
  std::size_t start = 0;
  while (start <= name.size()) {
    std::size_t end = start;
    while (end < name.size() && !isSeparator(name[end])) ++end;
    if (name.compare(start, end - start, "..") == 0 && end - start == 2) return false;
    start = end + 1;
  }
  return true;
}

int currentEntry(unzFile archive, std::string& name, unz_file_info64& info) {
  char buffer[kEntryNameLimit + 1] = "";
  // minizip leaves a name that fills the buffer it is given unterminated: it gets one byte
  // less, and the last byte ends the text whatever the archive holds.
  int result =
      unzGetCurrentFileInfo64(archive, &info, buffer, sizeof buffer - 1, nullptr, 0, nullptr, 0);
  name = buffer;
  return result;
}

// A name read shorter than the archive holds it (too long for the buffer, or with a NUL inside)
// would be extracted under another name than the archive gives.
bool isWholeEntryName(const std::string& name, const unz_file_info64& info) {
  return name.size() == info.size_filename;
}

int checkEveryEntryName(unzFile archive) {
  int result = unzGoToFirstFile(archive);
  while (result == UNZ_OK) {
    std::string name;
    unz_file_info64 info{};
    if ((result = currentEntry(archive, name, info)) != UNZ_OK) return result;
    if (!isWholeEntryName(name, info) || !isSafeEntryName(name)) return UNZIP_UNSAFE_ENTRY;
    result = unzGoToNextFile(archive);
  }
  return result == UNZ_END_OF_LIST_OF_FILE ? UNZ_OK : result;
}

void setModificationTime(const std::string& path, const tm_unz& date) {
  std::tm local{};
  local.tm_sec = static_cast<int>(date.tm_sec);
  local.tm_min = static_cast<int>(date.tm_min);
  local.tm_hour = static_cast<int>(date.tm_hour);
  local.tm_mday = static_cast<int>(date.tm_mday);
  local.tm_mon = static_cast<int>(date.tm_mon);
  local.tm_year = static_cast<int>(date.tm_year) - 1900;
  local.tm_isdst = -1;
  struct utimbuf times {};
  times.actime = times.modtime = std::mktime(&local);
  utime(OrvelPlatform::toOsPath(path).c_str(), &times);
}

// A name beside path that no other extraction uses at the same time: the process id tells
// processes apart, the counter the entries of one process.
std::string temporaryNameBeside(const std::string& path) {
  const std::string folder = path.substr(0, path.find_last_of("/\\") + 1);
  return folder + ".kfunzip-" + std::to_string(::getpid()) + "-" +
         std::to_string(++g_stagedEntries);
}

// An entry's file is written under a temporary name beside its final one and renamed into place
// only when whole and checked: a damaged entry, a full disk or a killed process never costs the
// file of that name, nor leaves part of the new one under it. The temporary goes unless
// committed.
class StagedEntry {
 public:
  explicit StagedEntry(const std::string& path) : m_path(path) {
    m_file = createBeside();
    if (m_file) return;
    OrvelFileOpUtil::createDir(OrvelFileOpUtil::getDirName(path.c_str()).c_str());
    m_file = createBeside();
  }
  ~StagedEntry() {
    m_file.reset();
    if (!m_temporary.empty()) ::unlink(OrvelPlatform::toOsPath(m_temporary).c_str());
  }
  StagedEntry(const StagedEntry&) = delete;
  StagedEntry& operator=(const StagedEntry&) = delete;

  std::FILE* file() const { return m_file.get(); }

  // Closes the file, gives it the entry's time and puts it in place.
  bool commit(const tm_unz& date) {
    if (std::fclose(m_file.release()) != 0) return false;
    setModificationTime(m_temporary, date);
    if (!OrvelFileOpUtil::rename(m_temporary.c_str(), m_path.c_str())) return false;
    m_temporary.clear();
    return true;
  }

 private:
  // Created exclusively ("x"): a name that is already there, whoever made it, is never taken
  // over, and so never removed either.
  FilePtr createBeside() {
    for (int attempt = 0; attempt < kTemporaryNameAttempts; ++attempt) {
      m_temporary = temporaryNameBeside(m_path);
      FilePtr file = openFile(m_temporary, "wbx");
      if (file) return file;
      if (errno != EEXIST) break;
    }
    m_temporary.clear();
    return nullptr;
  }

  const std::string m_path;
  std::string m_temporary;
  FilePtr m_file;
};

int copyCurrentEntry(unzFile archive, std::FILE* out) {
  std::vector<char> buffer(kUnzipCopyChunk);
  int got;
  while ((got = unzReadCurrentFile(archive, buffer.data(), static_cast<unsigned>(buffer.size()))) >
         0)
    if (std::fwrite(buffer.data(), 1, static_cast<std::size_t>(got), out) !=
        static_cast<std::size_t>(got))
      return UNZ_ERRNO;
  return got;
}

int extractFile(unzFile archive, const std::string& path, const unz_file_info64& info) {
  int result = unzOpenCurrentFile(archive);
  if (result != UNZ_OK) return result;
  StagedEntry out(path);
  if (!out.file()) {
    unzCloseCurrentFile(archive);
    return UNZ_ERRNO;
  }
  result = copyCurrentEntry(archive, out.file());
  int closed = unzCloseCurrentFile(archive);  // reports a CRC mismatch
  if (result == UNZ_OK) result = closed;
  if (result != UNZ_OK) return result;
  return out.commit(info.tmu_date) ? UNZ_OK : UNZ_ERRNO;
}

int extractCurrentEntry(unzFile archive, const std::string& destination) {
  std::string name;
  unz_file_info64 info{};
  int result = currentEntry(archive, name, info);
  if (result != UNZ_OK) return result;
  const std::string path = destination + name;
  if (isSeparator(name.back()))
    return OrvelFileOpUtil::createDir(path.c_str()) == 0 ? UNZ_OK : UNZ_ERRNO;
  return extractFile(archive, path, info);
}

}  // namespace

bool _zip(const char* archive, const char* source, unsigned codePage) {
  if (!archive || !*archive || !source || !*source) return false;
  if (!openFile(archive, "w")) return false;
  ZipWriter zip(archive, codePage);
  if (!zip.opened()) return false;
  bool added = addSource(zip, source);
  bool closed = zip.close();
  if (added && closed) return true;
  ::unlink(OrvelPlatform::toOsPath(archive).c_str());
  return false;
}

int _unzip(char* archive, char* destination) {
  if (!archive || !*archive || !destination || !*destination) return -1;
  UnzipPtr zip(unzOpen64(OrvelPlatform::toOsPath(archive).c_str()));
  if (!zip) return -1;
  int result = checkEveryEntryName(zip.get());
  if (result != UNZ_OK) return result;

  std::string folder = destination;
  if (folder.empty() || folder.back() != '/') folder += '/';
  result = unzGoToFirstFile(zip.get());
  while (result == UNZ_OK) {
    if ((result = extractCurrentEntry(zip.get(), folder)) != UNZ_OK) return result;
    result = unzGoToNextFile(zip.get());
  }
  return result == UNZ_END_OF_LIST_OF_FILE ? 0 : result;
}

}  // namespace ORVEL
