// Rollback of a component in the central database, removal of local patterns newer than a given
// version, and the clean-up of the download folders. The engines decide what a pattern file is;
// this side only asks them and moves or deletes what they name.
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "OrvelCommon/LockFileLock.h"
#include "OrvelKF/OrvelFileOpUtil.h"
#include "OrvelKF/QxUpdate.h"
#include "OrvelKF/VersionText.h"
#include "OrvelPlatform/Path.h"
#include "QxUpdateEngineCalls.h"
#include "QxUpdateTrace.h"

using ORVEL::Log;
using ORVEL::ORVEL_LOG_ERROR;
using ORVEL::ORVEL_LOG_TRACE;
using OrvelPlatform::SharedLibrary;
using namespace QxEngineCalls;

namespace {

constexpr std::size_t kPathBytes = 512;
constexpr int kMaxListedPatterns = 10;
constexpr int kMaxRemovalRounds = 10;
constexpr unsigned long long kRuleVersionsPerBase = 1000;
constexpr unsigned kFirstEventId = 10000;
constexpr unsigned kEventBlockStride = 10;
constexpr const char* kSettingsFile = "orvel.ini";

const char* orNull(const char* text) { return text ? text : "(null)"; }
bool isEmpty(const char* text) { return !text || !*text; }

// ---- rollback -------------------------------------------------------------------------------

void logBundleText(ORVEL::QxResbundle* bundle, const char* key) {
  std::string text;
  if (bundle) bundle->lookup(key, text);
  Log::LogByLevel(ORVEL_LOG_ERROR, "QxUpdate::rollback: %s", text.c_str());
}

QxUpdateRet rollbackCentralCopy(QxUpdateType type, std::string& version) {
  switch (KFBlobManager::RollbackKFBlob(type, version)) {
    case 1:
      return SUCCESS;
    case 0:
      Log::LogByLevel(ORVEL_LOG_ERROR,
                      "QxUpdate::rollback: ROLLBACK_UNAVAILABLE: there's no backup file available "
                      "for rollback");
      return ROLLBACK_UNAVAILABLE;
    default:
      Log::LogByLevel(ORVEL_LOG_ERROR,
                      "QxUpdate::rollback: FAIL: rollback the pattern/engine file failed");
      return FAIL;
  }
}

void adoptVersion(ORVEL::GlobalSettingIF& settings, QxUpdateType type, const std::string& version) {
  if (settings.writeSetting(kfGlobalVersionKey[type], version.c_str(), "Update", kSettingsFile) !=
      0) {
    Log::LogByLevel(ORVEL_LOG_ERROR,
                    "QxUpdate::rollback: ERROR: write global version %s for component %d failed",
                    version.c_str(), type);
  }
}

void recordRollbackEvent(ORVEL::QxResbundle* bundle, int scannerId, QxUpdateType type,
                         QxUpdateRet result, const std::string& version) {
  if (result != SUCCESS && result != FAIL) return;
  const KFEventBlock block =
      result == SUCCESS ? KF_EVENT_ROLLBACK_SUCCESS : KF_EVENT_ROLLBACK_FAILED;
  const char* key = kfEventKeyOf(block, type);
  std::string text;
  if (result == SUCCESS) {
    if (!bundle || !bundle->format(key, std::vector<std::string>{version}, text)) {
      Log::LogByLevel(ORVEL_LOG_ERROR,
                      "QxUpdate::rollback: retrieve string [%s] from resource file failed", key);
    }
  } else if (!bundle || !bundle->lookup(key, text)) {
    Log::LogByLevel(ORVEL_LOG_ERROR,
                    "QxUpdate::rollback: retrieve string %s from resource file failed", key);
  }
  if (text.empty()) return;
  QxUpdate::writeLogToDB(scannerId, kFirstEventId + kEventBlockStride * block + type, text);
}

// ---- removal of newer virus-scan patterns ------------------------------------------------

bool isZiranPatternType(int type) {
  return (type >= VIRUS_PATTERN && type <= LUREBOX_EXCEPTION) || type == CLOUDSIFT_AGENT_PATTERN;
}

// The engine takes no base name for the virus pattern, its default.
const char* ziranListBase(int type) {
  switch (type) {
    case SPYWARE_PATTERN:
      return "spyxdb.";
    case LUREBOX_PATTERN:
      return "qxblack.";
    case LUREBOX_EXCEPTION:
      return "qxwhite.";
    case CLOUDSIFT_AGENT_PATTERN:
      return "cldx$agt.";
    default:
      return nullptr;
  }
}

// The file name an engine entry holds, terminated within the record. Empty when it is not a plain
// file name: the name becomes part of a path that files are moved from and to.
std::string entryFileName(const ZRPatternEntry& entry) {
  const std::string name(entry.szFileName, strnlen(entry.szFileName, sizeof entry.szFileName));
  if (name == "." || name == ".." || name.find_first_of("/\\") != std::string::npos)
    return std::string();
  return name;
}

bool movePatternFile(const char* source, const char* destination) {
  const std::string osDestination = OrvelPlatform::toOsPath(destination);
  if (::access(osDestination.c_str(), R_OK | W_OK) == 0 && ::unlink(osDestination.c_str()) != 0) {
    Log::LogByLevel(ORVEL_LOG_ERROR,
                    "QxUpdate::removeNewerZIRANPtnremove file failed, src=%s, errno=%d",
                    destination, errno);
  }
  if (std::rename(OrvelPlatform::toOsPath(source).c_str(), osDestination.c_str()) != 0) {
    Log::LogByLevel(ORVEL_LOG_ERROR,
                    "QxUpdate::removeNewerZIRANPtn move file failed, src=%s, dst=%s, errno=%d",
                    source, destination, errno);
    return false;
  }
  Log::LogByLevel(ORVEL_LOG_ERROR,
                  "QxUpdate::removeNewerZIRANPtn move file succeed, src=%s, dst=%s", source,
                  destination);
  return true;
}

struct PatternListCalls {
  ZRInitFn init = nullptr;
  ZRQuitFn quit = nullptr;
  ZRGetPatternListFn list = nullptr;
  ZRGetPatternInternalVersionFn internalVersion = nullptr;
};

bool bindPatternListCalls(const SharedLibrary& engine, PatternListCalls& calls) {
  return (calls.init = bindExport<ZRInitFn>(engine, "ZRInit")) &&
         (calls.quit = bindExport<ZRQuitFn>(engine, "ZRQuit")) &&
         (calls.list = bindExport<ZRGetPatternListFn>(engine, "ZRGetPatternList")) &&
         (calls.internalVersion =
              bindExport<ZRGetPatternInternalVersionFn>(engine, "ZRGetPatternInternalVersion"));
}

// ---- removal of newer anti-spam rules ----------------------------------------------------

struct RuleFolderState {
  int found = 0;
  unsigned base = 0;
  unsigned rule = 0;
};

RuleFolderState readRuleFolder(QxAsGetRuleFileVerFn ruleFileVersion, const char* folder) {
  RuleFolderState state;
  int fileCount = 0, format = 0;
  char text[256] = "";
  ruleFileVersion(folder, &fileCount, &format, &state.base, &state.rule, text,
                  static_cast<int>(sizeof text), &state.found);
  return state;
}

// True when the installed rules are at the target or below it (nothing, or nothing more, to do).
bool reachedTarget(const RuleFolderState& state, unsigned long long target) {
  if (target < state.rule) return false;
  const unsigned long long targetBase = target / kRuleVersionsPerBase;
  if (target == state.rule && targetBase == state.base) {
    Log::LogByLevel(ORVEL_LOG_ERROR,
                    "QxUpdate::removeNewerQXASEPtn no need to remove any QXASE patterns");
  } else {
    Log::LogByLevel(
        ORVEL_LOG_ERROR,
        "QxUpdate::removeNewerQXASEPtn Failed to maintain anti-spam pattern from %u-%u to %u-%u. "
        "Return anyway.",
        state.base, state.rule, static_cast<unsigned>(targetBase), static_cast<unsigned>(target));
  }
  return true;
}

// Removes the installed base's incremental files when the target is of that base, else every file
// of the installed base.
bool removeNewestRules(const char* folder, unsigned installedBase, bool incrementalOnly) {
  char mask[kPathBytes];
  std::snprintf(mask, sizeof mask, incrementalOnly ? "%s/qx%06d-*" : "%s/qx%06d*", folder,
                installedBase);
  if (OrvelFileOpUtil::unlink(mask) < 0) {
    Log::LogByLevel(ORVEL_LOG_ERROR, "QxUpdate::removeNewerQXASEPtn remove pattern %s failed",
                    mask);
    return false;
  }
  Log::LogByLevel(ORVEL_LOG_ERROR, "QxUpdate::removeNewerQXASEPtn remove pattern %s succeed", mask);
  return true;
}

}  // namespace

QxUpdateRet QxUpdate::rollback(QxUpdateType type, int scannerId) {
  KF_LOG_AT(m_traceLevel, "enter function rollback type=%d scanner_id=%d", type, scannerId);
  if (!kfIsKnownType(type) || type == QXASE_PATCH) return FAIL;
  // Without a home the lock file would be made in the root folder.
  if (m_libDir.empty()) return FAIL;

  const std::string lockPath = m_libDir + m_sep + ".kfdownload.lck";
  LockFileLock lock(lockPath.c_str(), false, false);
  std::string version;
  QxUpdateRet result = FAIL;
  if (!lock.lock()) {
    logBundleText(m_bundle, "KF_LOCK_FAIL");
  } else {
    result = rollbackCentralCopy(type, version);
    if (result == SUCCESS) {
      adoptVersion(m_settings, type, version);
      m_uploaded = true;
    }
    if (!lock.unlock()) {
      logBundleText(m_bundle, "KF_UNLOCK_FAIL");
      result = FAIL;
    }
  }
  if (scannerId > 0) recordRollbackEvent(m_bundle, scannerId, type, result, version);
  KF_LOG_AT(m_traceLevel, "leave function rollback return=%d", result);
  return result;
}

bool QxUpdate::removeNewerZIRANPtn(char* enginePath, char* patternPath, char* moveToPath,
                                   QxUpdateType type, std::string version, std::string& msg,
                                   ORVEL::QxResbundle* bundle) {
  Log::LogByLevel(
      ORVEL_LOG_ERROR,
      "QxUpdate::removeNewerZIRANPtn enginepath = %s, patternpath = %s, type = %d, version = %s",
      orNull(enginePath), orNull(patternPath), type, version.c_str());
  // An empty folder would put the files the engine names into the root folder.
  if (isEmpty(enginePath) || isEmpty(patternPath) || isEmpty(moveToPath) ||
      !isZiranPatternType(type))
    return false;

  char libraryPath[kPathBytes];
  std::snprintf(libraryPath, sizeof libraryPath, "%s\\ziran32.dll", enginePath);
  SharedLibrary engine = loadEngine(libraryPath);
  Log::LogByLevel(ORVEL_LOG_TRACE, "QxUpdate::removeNewerZIRANPtn load engine = %s", libraryPath);
  PatternListCalls calls;
  void* handle = nullptr;
  if (!engine.loaded() || !bindPatternListCalls(engine, calls) ||
      calls.init(0, kZRCaller, 0, &handle) < 0) {
    releaseKeepingError(engine);
    _getErrString(msg, bundle, nullptr);
    return false;
  }

  const char* base = ziranListBase(type);
  int count = 0;
  calls.list(patternPath, base, nullptr, &count, 0);
  if (count <= 0) {
    _getErrString(msg, bundle, nullptr);
    calls.quit(handle);
    return false;
  }
  if (count >= kMaxListedPatterns) {
    Log::LogByLevel(ORVEL_LOG_ERROR, "QxUpdate::removeNewerZIRANPtn find %d backup patterns",
                    count);
    count = kMaxListedPatterns;
  }
  ZRPatternEntry entries[kMaxListedPatterns] = {};
  if (calls.list(patternPath, base, entries, &count, 0) != 0) {
    Log::LogByLevel(ORVEL_LOG_ERROR,
                    "QxUpdate::removeNewerZIRANPtn get pattern list failed type=%d", type);
    calls.quit(handle);
    return false;
  }

  bool result = true;
  int moved = 0;
  for (int i = 0; i < std::clamp(count, 0, kMaxListedPatterns); ++i) {
    const std::string name = entryFileName(entries[i]);
    char path[kPathBytes];
    std::snprintf(path, sizeof path, "%s/%s", patternPath, name.c_str());
    std::uint32_t internal = 0;
    std::uint16_t number = 0;
    if (name.empty() || calls.internalVersion(path, &internal, &number) != 0) {
      _getErrString(msg, bundle, "KF_PTN_READERR");
      continue;
    }
    std::string local;
    formatPatternVersion(internal, local);
    Log::LogByLevel(ORVEL_LOG_ERROR, "QxUpdate::removeNewerZIRANPtn get local pattern version %s",
                    local.c_str());
    if (KFBlobManager::CmpVersion(type, local.c_str(), version.c_str()) != -1) continue;
    char destination[kPathBytes];
    std::snprintf(destination, sizeof destination, "%s/%s", moveToPath, name.c_str());
    if (movePatternFile(path, destination)) {
      ++moved;
    } else {
      result = false;
    }
  }
  calls.quit(handle);
  if (result) {
    Log::LogByLevel(ORVEL_LOG_ERROR,
                    "QxUpdate::removeNewerZIRANPtn Successfully rollback %d pattern files", moved);
  }
  return result;
}

bool QxUpdate::removeNewerQXASEPtn(char* enginePath, char* patternPath, std::string& version,
                                   std::string& msg, ORVEL::QxResbundle* bundle) {
  if (isEmpty(enginePath) || isEmpty(patternPath) || version.find('.') == std::string::npos)
    return false;
  std::string targetText = version;
  targetText.erase(targetText.find('.'), 1);
  Log::LogByLevel(ORVEL_LOG_ERROR,
                  "QxUpdate::removeNewerQXASEPtn enginepath = %s, patternpath = %s, version = %s",
                  enginePath, patternPath, targetText.c_str());
  const unsigned long long target = std::strtoull(targetText.c_str(), nullptr, 10);
  const unsigned long long targetBase = target / kRuleVersionsPerBase;

  SharedLibrary engine = loadEngine(enginePath);
  const auto ruleFileVersion =
      engine.loaded() ? bindExport<QxAsGetRuleFileVerFn>(engine, "QX_AS_getRuleFileVerInDirEx")
                      : nullptr;
  if (!ruleFileVersion) {
    releaseKeepingError(engine);
    _getErrString(msg, bundle, nullptr);
    return false;
  }

  for (int round = 0;;) {
    const RuleFolderState state = readRuleFolder(ruleFileVersion, patternPath);
    if (state.found == 0) {
      Log::LogByLevel(ORVEL_LOG_ERROR,
                      "QxUpdate::removeNewerQXASEPtn L_QX_AS_getRuleFileVerInDirEx call failed");
      _getErrString(msg, bundle, "KF_FILE_CORRUPT");
      return false;
    }
    if (state.base == 0) {
      Log::LogByLevel(ORVEL_LOG_ERROR,
                      "QxUpdate::removeNewerQXASEPtn invalid rule version returned when check "
                      "pattern integrity");
      _getErrString(msg, bundle, "KF_FILE_CORRUPT");
      return false;
    }
    Log::LogByLevel(ORVEL_LOG_ERROR, "QxUpdate::removeNewerQXASEPtn find QXASE pattern %d-%d",
                    state.base, state.rule);
    if (reachedTarget(state, target)) return true;
    Log::LogByLevel(ORVEL_LOG_ERROR,
                    "QxUpdate::removeNewerQXASEPtn need to remove the QXASE pattern %d",
                    state.rule);
    const unsigned installedBase = state.rule / kRuleVersionsPerBase;
    if (!removeNewestRules(patternPath, installedBase, targetBase == installedBase)) return false;
    if (targetBase == installedBase) return true;
    if (++round == kMaxRemovalRounds) {
      Log::LogByLevel(ORVEL_LOG_ERROR,
                      "QxUpdate::removeNewerQXASEPtn got into infinite loop error");
      return false;
    }
  }
}

int QxUpdate::_doZIRANPatternCleanup(int keep) {
  KF_ENTER("_doZIRANPatternCleanup");
  char folder[kPathBytes];
  char enginePath[kPathBytes];
  std::snprintf(folder, sizeof folder, "%s/temp/kf/ziran", m_home.c_str());
  std::snprintf(enginePath, sizeof enginePath, "%s\\bin\\ziran32.dll", m_home.c_str());
  SharedLibrary engine = loadEngine(enginePath);
  if (!engine.loaded()) {
    Log::LogByLevel(ORVEL_LOG_ERROR, "QxKCUpdate::_doZIRANPatternCleanup load engine %s failed",
                    enginePath);
    return -1;
  }
  int deleted = 0;
  if (const auto deleteUnused = engine.symbol<ZRDeleteUnusedPatternFn>("ZRDeleteUnusedPattern")) {
    for (const char* base : {"", "spyxdb", "qxblack", "qxwhite", "cldx$agt"})
      deleted += deleteUnused(folder, base, keep);
  }
  engine.release();
  KF_LEAVE("_doZIRANPatternCleanup");
  return deleted;
}

int QxUpdate::_doQXASEPatternCleanup(int keep) {
  KF_ENTER("_doQXASEPatternCleanup");
  char folder[kPathBytes];
  char enginePath[kPathBytes];
  std::snprintf(folder, sizeof folder, "%s/qxase/rules", m_tempDir.c_str());
  std::snprintf(enginePath, sizeof enginePath, "%s\\bin\\qxaseng.dll", m_home.c_str());
  SharedLibrary engine = loadEngine(enginePath);
  if (!engine.loaded()) {
    Log::LogByLevel(ORVEL_LOG_ERROR, "QxKCUpdate::_doQXASEPatternCleanup load engine %s failed",
                    enginePath);
    return -1;
  }
  int result = 0;
  if (const auto purge = engine.symbol<QxAsPurgeFn>("QX_AS_purgeOldRuleFile"))
    result = purge(folder, keep);
  engine.release();
  KF_LOG_AT(m_traceLevel, "leave function _doQXASEPatternCleanup retcode=%d", result);
  return result;
}
