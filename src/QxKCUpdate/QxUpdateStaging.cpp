// Staging of the current patterns for an incremental download: the update client merges a delta
// into the pattern it finds in the download folder, so the pattern the scanner has now is put
// there first, from the staging folder itself, the installed folder or the central store.
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <vector>

#include "OrvelCommon/BoundedCopy.h"
#include "OrvelCommon/DirectoryReaderA.h"
#include "OrvelKF/OrvelFileOpUtil.h"
#include "OrvelKF/QxUpdate.h"
#include "OrvelKF/QxZip.h"
#include "OrvelPlatform/Path.h"
#include "OrvelPlatform/SystemError.h"
#include "QxUpdateFolders.h"
#include "QxUpdateTrace.h"

using ORVEL::Log;
using ORVEL::ORVEL_LOG_ERROR;

namespace {

constexpr std::size_t kPathBytes = 512;
constexpr std::size_t kPatternNameBytes = 32;
constexpr const char* kZipSuffix = ".zip";

// The printf format of the file name of a staged pattern; null for a type without one.
const char* stagedPatternFormat(QxUpdateType type) {
  switch (type) {
    case VIRUS_PATTERN:
      return "ksv$pat.%3d";
    case SPYWARE_PATTERN:
      return "spyxdb.%3d";
    case LUREBOX_PATTERN:
      return "qxblack.%3d";
    case LUREBOX_EXCEPTION:
      return "qxwhite.%3d";
    case CLOUDSIFT_AGENT_PATTERN:
      return "cldx$agt.%03d";
    default:
      return nullptr;
  }
}

template <typename... Args>
std::string formatPath(const char* format, Args... args) {
  char path[kPathBytes];
  std::snprintf(path, sizeof path, format, args...);
  return path;
}

bool endsWithZip(const std::string& path) {
  const std::size_t suffix = std::char_traits<char>::length(kZipSuffix);
  return path.size() > suffix && path.compare(path.size() - suffix, suffix, kZipSuffix) == 0;
}

// _unzip takes writable texts.
int unzipInto(const std::string& archive, const std::string& folder) {
  std::vector<char> archiveText(archive.begin(), archive.end());
  archiveText.push_back('\0');
  std::vector<char> folderText(folder.begin(), folder.end());
  folderText.push_back('\0');
  return ORVEL::_unzip(archiveText.data(), folderText.data());
}

// Asks the central store for the current component of a type; destination may name a folder
// (ending in a separator), and then holds the full path of the file written on success.
bool fetchFromCentralStore(int type, std::string& destination) {
  _uiKFData request{};
  request.type = type;
  request.file_size = 0;
  ORVEL::boundedCopy(request.file_path, sizeof request.file_path, destination.c_str());
  if (KFBlobManager::GetKFBlob(request) != ERRC_SUCCESS) return false;
  destination = request.file_path;
  return true;
}

}  // namespace

bool removeFolderFiles(const std::string& folder) {
  if (folder.empty()) return false;
  bool result = true;
  ORVEL::DirectoryReaderA reader(OrvelPlatform::toOsPath(folder).c_str());
  while (reader.GetNextEntry()) {
    if (reader.EntryIsDirectory()) continue;
    const std::string path = folder + "\\" + reader.EntryName();
    if (::unlink(OrvelPlatform::toOsPath(path).c_str()) != 0) result = false;
  }
  return result;
}

bool QxUpdate::_copyIncrementalZIRANPtn(QxUpdateType type) {
  KF_ENTER("_copyIncrementalZIRANPtn");
  const char* nameFormat = stagedPatternFormat(type);
  if (!nameFormat) return false;
  const int number = m_para.stVersion[type].usPatternNumber;
  char name[kPatternNameBytes];
  std::snprintf(name, sizeof name, nameFormat, number);
  if (type == CLOUDSIFT_AGENT_PATTERN)
    KF_LOG_AT(m_traceLevel, "_copyIncrementalZIRANPtn cldx$agt version is %d", number);

  const std::string target = formatPath("%s/%s", m_ziranTempDir.c_str(), name);
  if (OrvelFileOpUtil::exist(target.c_str())) return true;
  Log::LogByLevel(KF_TRACE_LEVEL(m_traceLevel),
                  "QxUpdate::_copyIncrementalZIRANPtn: cannot find current ZIRAN pattern file %s",
                  target.c_str());
  _doZIRANPatternCleanup(2);

  bool result = true;
  const std::string installed = formatPath("%s/pattern/ziran/%s", m_libDir.c_str(), name);
  if (OrvelFileOpUtil::exist(installed.c_str())) {
    if (OrvelFileOpUtil::copy(installed.c_str(), target.c_str(), true) < 0) {
      Log::LogByLevel(ORVEL_LOG_ERROR,
                      "QxUpdate::_copyIncrementalZIRANPtn: copy file failed: src=%s, dst=%s",
                      installed.c_str(), target.c_str());
      result = false;
    } else {
      Log::LogByLevel(KF_TRACE_LEVEL(m_traceLevel),
                      "QxUpdate::_copyIncrementalZIRANPtn: copy file succeed: src=%s, dst=%s",
                      installed.c_str(), target.c_str());
    }
  } else {
    result = _stageZiranPatternFromCentralStore(type);
  }
  KF_LEAVE("_copyIncrementalZIRANPtn");
  return result;
}

bool QxUpdate::_stageZiranPatternFromCentralStore(QxUpdateType type) {
  const std::string request = formatPath("%s/", m_ziranTempDir.c_str());
  std::string written = request;
  if (!fetchFromCentralStore(type, written)) {
    Log::LogByLevel(ORVEL_LOG_ERROR,
                    "QxUpdate::_copyIncrementalZIRANPtn: download file failed: det=%s",
                    request.c_str());
    return false;
  }
  Log::LogByLevel(KF_TRACE_LEVEL(m_traceLevel),
                  "QxUpdate::_copyIncrementalZIRANPtn: download file succeed: det=%s",
                  written.c_str());
  if (!endsWithZip(written)) return true;
  if (unzipInto(written, m_ziranTempDir) != 0) {
    Log::LogByLevel(ORVEL_LOG_ERROR,
                    "QxUpdate::_copyIncrementalZIRANPtn: unzip file %s to %s failed",
                    written.c_str(), m_ziranTempDir.c_str());
    return false;
  }
  if (::unlink(OrvelPlatform::toOsPath(written).c_str()) != 0) {
    Log::LogByLevel(ORVEL_LOG_ERROR,
                    "QxUpdate::_copyIncrementalZIRANPtn: remove file failed: src=%s, errno=%d",
                    written.c_str(), errno);
  }
  Log::LogByLevel(
      KF_TRACE_LEVEL(m_traceLevel),
      "QxUpdate::_copyIncrementalZIRANPtn: unzip file succeed: det=%s",
      written.substr(0, written.size() - std::char_traits<char>::length(kZipSuffix)).c_str());
  return true;
}

bool QxUpdate::_copyIncrementalQXASEPtn(QxUpdateType type) {
  KF_ENTER("_copyIncrementalQXASEPtn");
  if (type != QXASE_PATTERN && type != QXASE_PATCH) return false;
  const std::string destination = m_tempDir + "/qxase/rules";
  const bool result =
      m_source.inUse ? _stageInstalledRules(destination) : _stageCentralRules(destination);
  KF_LOG_AT(m_traceLevel, "leave function _copyIncrementalQXASEPtn ret=%s",
            result ? "true" : "false");
  return result;
}

bool QxUpdate::_stageInstalledRules(const std::string& destination) {
  const unsigned pattern = m_para.stVersion[QXASE_PATTERN].uiInternalVersion;
  const std::string baseFile =
      formatPath("%s%s/rules/qx0%u.rul", m_home.c_str(), "/lib/pattern/qxase", pattern);
  if (!OrvelFileOpUtil::exist(baseFile.c_str())) {
    Log::LogByLevel(KF_TRACE_LEVEL(m_traceLevel),
                    "QxUpdate::_copyIncrementalQXASEPtn: Cannot find the necessary pattern file %s",
                    baseFile.c_str());
    return false;
  }
  const std::string ruleFiles = formatPath("%s%s/rules/qx0%d*", m_home.c_str(),
                                           "/lib/pattern/qxase", static_cast<int>(pattern));
  if (OrvelFileOpUtil::copy(ruleFiles.c_str(), destination.c_str(), true) < 0) {
    Log::LogByLevel(ORVEL_LOG_ERROR,
                    "QxUpdate::_copyIncrementalQXASEPtn: copy file failed: src=%s, dst=%s",
                    ruleFiles.c_str(), destination.c_str());
    return false;
  }
  Log::LogByLevel(KF_TRACE_LEVEL(m_traceLevel),
                  "QxUpdate::_copyIncrementalQXASEPtn: copy file succeed: src=%s, dst=%s",
                  ruleFiles.c_str(), destination.c_str());
  return true;
}

bool QxUpdate::_stageCentralRules(const std::string& destination) {
  removeFolderFiles(m_tempDir);
  std::string archive = formatPath("%s/asx%u.zip", m_tempDir.c_str(),
                                   m_para.stVersion[QXASE_PATCH].uiInternalVersion);
  if (!fetchFromCentralStore(QXASE_PATTERN, archive)) {
    Log::LogByLevel(ORVEL_LOG_ERROR,
                    "QxUpdate::_copyIncrementalQXASEPtn: get file from DB failed: dest=%s",
                    archive.c_str());
    return false;
  }
  Log::LogByLevel(KF_TRACE_LEVEL(m_traceLevel),
                  "QxUpdate::_copyIncrementalQXASEPtn: get file from DB succeed: dest=%s",
                  archive.c_str());
  if (unzipInto(archive, destination) != 0) {
    Log::LogByLevel(ORVEL_LOG_ERROR,
                    "QxUpdate::_copyIncrementalQXASEPtn: unzip file failed: src=%s, dest=%s",
                    archive.c_str(), destination.c_str());
    return false;
  }
  Log::LogByLevel(KF_TRACE_LEVEL(m_traceLevel),
                  "QxUpdate::_copyIncrementalQXASEPtn: unzip file succeed: src=%s, dest=%s",
                  archive.c_str(), destination.c_str());
  return true;
}

bool QxUpdate::_cleanKFCache() {
  const std::string cache = m_libDir + m_sep + "KF_Cache";
  bool result = true;
  ORVEL::DirectoryReaderA folders(OrvelPlatform::toOsPath(cache).c_str());
  while (folders.GetNextEntry()) {
    const std::string name = folders.EntryName();
    // Names of three characters or less are not cache entries ("." and ".." among them).
    if (!folders.EntryIsDirectory() || name.size() <= 3) continue;
    const std::string folder = cache + m_sep + name;
    ORVEL::DirectoryReaderA files(OrvelPlatform::toOsPath(folder).c_str());
    while (files.GetNextEntry()) {
      if (files.EntryIsDirectory()) continue;
      const std::string file = folder + m_sep + files.EntryName();
      if (::unlink(OrvelPlatform::toOsPath(file).c_str()) != 0) result = false;
    }
    if (::rmdir(OrvelPlatform::toOsPath(folder).c_str()) != 0) result = false;
  }
  return result;
}
