// Installation of a verified component into the scanner of this machine, under ".kfagent.lck".
//
// Every file is copied beside its final name and renamed over it only when the copy is whole and
// on disk, so that the scanner, or a process killed at any moment, only ever finds a complete file
// under an installed name: the previous one until the rename, the new one after it. Patterns are
// placed while the scanner runs; an engine library with the scanner services stopped, its previous
// library kept as the one ".bak" backup.
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <string>

#include "OrvelCommon/ConfigFileOnDisk.h"
#include "OrvelCommon/LockFileLock.h"
#include "OrvelKF/OrvelFileOpUtil.h"
#include "OrvelKF/QxUpdate.h"
#include "OrvelPlatform/Clock.h"
#include "OrvelPlatform/Path.h"
#include "OrvelPlatform/SystemError.h"
#include "QxServiceControl.h"
#include "QxUpdateInternal.h"
#include "QxUpdateTrace.h"

using ORVEL::Log;
using ORVEL::ORVEL_LOG_ERROR;

namespace {

constexpr const char* kScanService = "QxOrvelScan";
constexpr const char* kPolicyService = "QxOrvelPolicy";
constexpr unsigned kRestartDelayMilliseconds = 10000;
// Where a new file is written before it takes its installed name.
constexpr const char* kStagedSuffix = ".new";

bool isPatternType(int type) {
  return (type >= VIRUS_PATTERN && type <= LUREBOX_EXCEPTION) || type == CLOUDSIFT_AGENT_PATTERN;
}

bool isReadableAndWritable(const std::string& path) {
  return ::access(OrvelPlatform::toOsPath(path).c_str(), R_OK | W_OK) == 0;
}

void logCopyFailed(const std::string& source, const std::string& destination) {
  Log::LogByLevel(ORVEL_LOG_ERROR,
                  "QxUpdate::applyToLocal  copy file failed, src=%s, dst=%s, errno=%d",
                  source.c_str(), destination.c_str(), OrvelPlatform::lastError());
}

bool renameLogged(const std::string& from, const std::string& to) {
  if (OrvelFileOpUtil::rename(from.c_str(), to.c_str())) return true;
  Log::LogByLevel(ORVEL_LOG_ERROR,
                  "QxUpdate::applyToLocal  move file failed, src=%s, dst=%s, errno=%d",
                  from.c_str(), to.c_str(), OrvelPlatform::lastError());
  return false;
}

// A rename publishes the name at once, the data only when the kernel gets to it: a crash soon
// after would leave an empty library under the installed name.
bool isOnDisk(const std::string& path) {
  const int fd = ::open(OrvelPlatform::toOsPath(path).c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  const bool synced = ::fsync(fd) == 0;
  ::close(fd);
  return synced;
}

// The copy, whole and on disk, under the staged name; nothing left there when it fails.
bool stageCopy(const std::string& source, const std::string& staged) {
  // A copy that fails removes what it wrote itself, and leaves errno to the caller's log line.
  if (OrvelFileOpUtil::copy(source.c_str(), staged.c_str(), true) != OrvelFileOpUtil::kOk)
    return false;
  if (isOnDisk(staged)) return true;
  ::unlink(OrvelPlatform::toOsPath(staged).c_str());
  return false;
}

// Places a file into a folder (ending in a separator) under its own name.
bool placeFile(const std::string& source, const std::string& folder) {
  const std::string target = folder + OrvelFileOpUtil::getFileName(source.c_str());
  const std::string staged = target + kStagedSuffix;
  if (!stageCopy(source, staged)) {
    logCopyFailed(source, folder);
    return false;
  }
  if (renameLogged(staged, target)) return true;
  ::unlink(OrvelPlatform::toOsPath(staged).c_str());
  return false;
}

// Places every file of a folder into another folder (ending in a separator), made when missing.
bool placeFiles(const std::string& folder, const std::string& target) {
  std::error_code error;
  std::filesystem::create_directories(OrvelPlatform::toOsPath(target), error);
  bool placed = true;
  for (const auto& entry :
       std::filesystem::directory_iterator(OrvelPlatform::toOsPath(folder), error)) {
    if (entry.is_regular_file(error))
      placed = placeFile(folder + "/" + entry.path().filename().string(), target) && placed;
  }
  if (error) logCopyFailed(folder + "/*", target);
  return placed && !error;
}

// Replaces the installed library, keeping it as the one backup. The backup is a second link to
// the installed library, so the installed name is never empty: the new library takes it in one
// rename.
bool replaceLibrary(const std::string& source, const std::string& installed) {
  const std::string backup = installed + ".bak";
  const std::string staged = installed + kStagedSuffix;
  if (isReadableAndWritable(backup) && OrvelFileOpUtil::unlink(backup.c_str()) != 0) {
    Log::LogByLevel(ORVEL_LOG_ERROR, "QxUpdate::applyToLocal  del file failed, src=%s, errno=%d",
                    backup.c_str(), OrvelPlatform::lastError());
  }
  if (!stageCopy(source, staged)) {
    logCopyFailed(source, installed);
    return false;
  }
  if (isReadableAndWritable(installed) && ::link(OrvelPlatform::toOsPath(installed).c_str(),
                                                 OrvelPlatform::toOsPath(backup).c_str()) != 0) {
    Log::LogByLevel(ORVEL_LOG_ERROR,
                    "QxUpdate::applyToLocal  move file failed, src=%s, dst=%s, errno=%d",
                    installed.c_str(), backup.c_str(), OrvelPlatform::lastError());
  }
  if (renameLogged(staged, installed)) return true;
  ::unlink(OrvelPlatform::toOsPath(staged).c_str());
  return false;
}

// The scanner services stopped for an engine, to be started again once the lock is released.
struct StoppedServices {
  bool scan = false;
  bool policy = false;
};

// True when the service was found running: it counts as stopped here whether or not it stopped.
bool stopIfRunning(const char* service, const char* succeeded, const char* failed) {
  if (!isServiceRunning(service)) return false;
  Log::LogByLevel(ORVEL_LOG_ERROR, "%s", stopService(service) ? succeeded : failed);
  return true;
}

bool startAgain(const char* service, const char* succeeded, const char* failed) {
  OrvelPlatform::clock().sleepMilliseconds(kRestartDelayMilliseconds);
  const bool started = startService(service, true);
  Log::LogByLevel(ORVEL_LOG_ERROR, "%s", started ? succeeded : failed);
  return started;
}

bool installEngine(const std::string& home, const std::string& source, const std::string& fileName,
                   StoppedServices& stopped) {
  stopped.scan =
      stopIfRunning(kScanService, "QxUpdate::applyToLocal Stop ORVEL Scan Service Succeed",
                    "QxUpdate::applyToLocal Stop ORVEL Scan Service Failed");
  stopped.policy =
      stopIfRunning(kPolicyService, "QxUpdate::applyToLocal Stop ORVEL Policy Service Succeed",
                    "QxUpdate::applyToLocal Stop ORVEL Policy Service Failed");
  return replaceLibrary(source, home + "/bin/" + fileName);
}

// The base pattern number with its dot ("2211." of "2211.004"); the whole text when it has none.
std::string spamBase(const std::string& version) {
  const std::size_t dot = version.find('.');
  return dot == std::string::npos ? version : version.substr(0, dot + 1);
}

// The download's cache is rebuilt only for a new base pattern, and the installed cache belongs to
// the installed base: it is replaced exactly when the bases differ.
bool installSpamPattern(const std::string& home, const std::string& tempDir,
                        const std::string& rules, const std::string& installed,
                        const std::string& version) {
  const std::string folder = home + "/lib/pattern/qxase";
  if (!placeFiles(rules, folder + "/rules/")) return false;
  if (version.find('.') == std::string::npos || spamBase(version) == spamBase(installed))
    return true;
  return placeFiles(tempDir + "/qxase/cache", folder + "/cache/");
}

void recordInstalled(ORVEL::ConfigFileOnDisk& info, int type, const std::string& version) {
  char now[32];
  std::snprintf(now, sizeof now, "%lld", static_cast<long long>(OrvelPlatform::clock().now()));
  for (const auto& [key, value] :
       {std::pair<const char*, const char*>{kfScannerInfoTimeKey[type], now},
        {kfScannerInfoVersionKey[type], version.c_str()}}) {
    if (!info.setparam(kfScannerInfoSection, key, value)) {
      Log::LogByLevel(ORVEL_LOG_ERROR, "QxUpdate::applyToLocal  write %s to %s failed", key,
                      info.path().c_str());
    }
  }
}

}  // namespace

bool QxUpdate::applyToLocal(QxUpdateType kfType, const std::string& szPath,
                            const std::string& szVersion, const std::string& szFileName) {
  KF_LOG_AT(m_traceLevel,
            "enter function applyToLocal: kfType=%d, szPath=%s, szVersion=%s, szFileName=%s",
            kfType, szPath.c_str(), szVersion.c_str(), szFileName.c_str());
  // Unknown numbers are refused with the spam incremental pattern: they have no keys to look up.
  if (!kfIsKnownType(kfType) || kfType == QXASE_PATCH) {
    Log::LogByLevel(ORVEL_LOG_ERROR, "QxUpdate::applyToLocal Unsupport mode detected");
    return false;
  }
  // Without a home every path below would start at the root folder.
  if (m_home.empty()) return false;

  ORVEL::ConfigFileOnDisk info((m_home + kfScannerInfoFile).c_str());
  const std::string lockPath = m_home + "/lib/.kfagent.lck";
  LockFileLock lock(lockPath.c_str(), true, false);
  if (!lock.lock()) {
    Log::LogByLevel(ORVEL_LOG_ERROR, "QxUpdate::applyToLocal  lock file %s failed",
                    lockPath.c_str());
    return false;
  }
  std::string installed;
  if (!info.getparam(kfScannerInfoSection, kfScannerInfoVersionKey[kfType], installed)) {
    Log::LogByLevel(ORVEL_LOG_ERROR,
                    "QxUpdate::applyToLocal get local version of %s from %s failed",
                    kfCpntDisplayName[kfType], info.path().c_str());
    installed.clear();
  }

  bool result = false;
  StoppedServices stopped;
  if (KFBlobManager::CmpVersion(kfType, installed.c_str(), szVersion.c_str()) != 1) {
    Log::LogByLevel(ORVEL_LOG_ERROR,
                    "QxUpdate::applyToLocal  the local component is up-to-date. No need to apply "
                    "again.");
  } else if (isPatternType(kfType)) {
    result = placeFile(szPath, m_home + "/lib/pattern/ziran/");
  } else if (kfType == QXASE_PATTERN) {
    result = installSpamPattern(m_home, m_tempDir, szPath, installed, szVersion);
  } else {
    result = installEngine(m_home, szPath, szFileName, stopped);
  }
  if (result) recordInstalled(info, kfType, szVersion);

  if (!lock.unlock()) {
    Log::LogByLevel(ORVEL_LOG_ERROR, "QxUpdate::applyToLocal  unlock file %s failed",
                    lockPath.c_str());
  }
  if (stopped.scan &&
      !startAgain(kScanService, "QxUpdate::applyToLocal Start ORVEL Scan Service Succeed",
                  "QxUpdate::applyToLocal Start ORVEL Scan Service Failed. You need to manually "
                  "restart it."))
    result = false;
  if (stopped.policy &&
      !startAgain(kPolicyService, "QxUpdate::applyToLocal Start ORVEL Policy Service Succeed",
                  "QxUpdate::applyToLocal Start ORVEL Service Failed. You need to manually restart "
                  "it."))
    result = false;
  KF_LOG_AT(m_traceLevel, "leave function applyToLocal");
  return result;
}
