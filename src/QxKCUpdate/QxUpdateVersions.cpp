// The version facts of a component: what the installed engine says (local), what the whole
// installation has adopted (the global setting, kept up with the central component table), when
// the local copy was installed, and what the last download or query produced.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "OrvelCommon/ConfigFileOnDisk.h"
#include "OrvelKF/OrvelFileOpUtil.h"
#include "OrvelKF/QxUpdate.h"
#include "OrvelKF/QxUpdateClientBinding.h"
#include "OrvelKF/VersionText.h"
#include "OrvelPlatform/SystemError.h"
#include "QxUpdateInternal.h"
#include "QxUpdateItemTable.h"
#include "QxUpdateTrace.h"

using ORVEL::Log;
using ORVEL::ORVEL_LOG_ERROR;
using ORVEL::ORVEL_LOG_TRACE;

namespace {

constexpr std::size_t kVersionTextBytes = 64;
constexpr std::size_t kVersionBuildTextBytes = 256;

const char* yesNo(bool value) { return value ? "yes" : "no"; }

bool isSeparator(char c) { return c == '\\' || c == '/'; }

// The spam pattern's version: its base and the patch of the rule version when that belongs to
// the same base.
std::string qxasePatternVersion(unsigned base, unsigned rule) {
  char text[kVersionTextBytes];
  if (base == rule / kfRuleVersionsPerBase) {
    std::snprintf(text, sizeof text, "%u.%03u", base, rule % kfRuleVersionsPerBase);
  } else {
    std::snprintf(text, sizeof text, "%u.000", base);
  }
  return text;
}

}  // namespace

// ---- local and adopted versions -------------------------------------------------------------

int QxUpdate::getLocalVersion(QxUpdateType type, std::string& msg, std::string& version,
                              bool block) {
  KF_LOG_AT(m_traceLevel, "enter function getLocalVersion type=%d block=%s", type, yesNo(block));
  if (!m_ok) {
    msg = kfSystemErrorText;
    Log::LogByLevel(ORVEL_LOG_ERROR, "QxUpdate::_getLocalVersionUtil %s", msg.c_str());
    return -1;
  }
  msg.clear();
  const int result = _getLocalVersionUtil(type, msg, version);
  KF_LOG_AT(m_traceLevel, "leave function getLocalVersion return=%d", result);
  return result;
}

int QxUpdate::getDBVersion(QxUpdateType type, std::string& msg, std::string& version, bool block) {
  KF_LOG_AT(m_traceLevel, "enter function getDBVersion type=%d block=%s", type, yesNo(block));
  if (!m_ok) {
    msg += kfSystemErrorText;
    Log::LogByLevel(ORVEL_LOG_ERROR, "QxUpdate::_getDBVersionUtil %s", msg.c_str());
    return -1;
  }
  msg.clear();
  const int result = _getDBVersionUtil(type, msg, version);
  KF_LOG_AT(m_traceLevel, "leave function getDBVersion return=%d", result);
  return result;
}

int QxUpdate::_getLocalVersionUtil(QxUpdateType type, std::string& msg, std::string& version) {
  KF_ENTER("_getLocalVersionUtil");
  const std::string what = _getDownloadWhatMsg(type);
  QxUpdateVersion record{0, 0, ""};
  unsigned base = 0;
  unsigned rule = 0;
  bool read = false;
  if (type == QXASE_PATTERN || type == QXASE_PATCH) {
    read = _readInstalledRules(base, rule, msg);
    record.strVersion = type == QXASE_PATTERN ? qxasePatternVersion(base, rule)
                                              : std::to_string(static_cast<int>(rule));
  } else {
    read = kfIsKnownType(type) && _readInstalledVersion(type, record, msg);
  }
  if (read) {
    version = record.strVersion;
    Log::LogByLevel(KF_TRACE_LEVEL(m_traceLevel),
                    type == QXUFE_ENGINE
                        ? "QxUpdate::_getLocalVersionUtil local %s version: %s"
                        : "QxUpdate::_getLocalVersionUtil: get local %s version: %s",
                    what.c_str(), version.c_str());
    return 0;
  }
  const std::string text = kfFormatWithText(m_bundle, "KF_GETVER_ERR", what);
  if (!text.empty()) msg = text;
  KF_LOG_AT(m_traceLevel, "leave function _getLocalVersionUtil: %s", msg.c_str());
  return -1;
}

bool QxUpdate::_readInstalledVersion(int type, QxUpdateVersion& record, std::string& msg) {
  switch (type) {
    case QXASE_ENGINE:
      return verifyQxaseEngine(m_binDir + m_sep + "qxaseng.dll", record.strVersion, msg, m_bundle);
    case QXUFE_ENGINE:
      return verifyByQXUFE(m_binDir, record, msg, m_bundle);
    default: {
      std::string engineFolder = m_binDir;
      std::string patternFolder = m_home + "/lib/pattern/ziran";
      return verifyByZIRAN(engineFolder.data(), patternFolder.data(),
                           static_cast<QxUpdateType>(type), msg, record, m_bundle);
    }
  }
}

bool QxUpdate::_readInstalledRules(unsigned& base, unsigned& rule, std::string& msg) {
  return verifyQxasePattern(m_binDir + m_sep + "qxaseng.dll",
                            m_libDir + m_sep + "pattern" + m_sep + "qxase" + m_sep + "rules", base,
                            rule, msg, m_bundle);
}

int QxUpdate::_getDBVersionUtil(QxUpdateType type, std::string& msg, std::string& version) {
  KF_ENTER("_getDBVersionUtil");
  const std::string what = _getDownloadWhatMsg(type);
  if (kfIsKnownType(type) && type != QXASE_PATCH &&
      _readSetting(kfGlobalVersionKey[type], version) == 0) {
    Log::LogByLevel(KF_TRACE_LEVEL(m_traceLevel),
                    "QxUpdate::_getDBVersionUtil get local %s version: %s", what.c_str(),
                    version.c_str());
    return 0;
  }
  const std::string text = kfFormatWithText(m_bundle, "KF_GETVER_ERR", what);
  if (!text.empty()) msg = text;
  KF_LOG_AT(m_traceLevel, "leave function _getDBVersionUtil: %s", msg.c_str());
  return -1;
}

bool QxUpdate::_verifyDBVersion(QxUpdateType type, const char* key, std::string& version) {
  KF_ENTER("_verifyDBVersion");
  if (_readSetting(key, version) != 0 || version.empty()) {
    Log::LogByLevel(
        ORVEL_LOG_ERROR,
        "QxUpdate::_verifyDBVersion: get component version from tb_global_setting table failed");
    return false;
  }
  if (!kfIsKnownType(type) || type == QXASE_PATCH) {
    Log::LogByLevel(ORVEL_LOG_ERROR, "QxUpdate::_verifyDBVersion: invalid QxUpdateType found");
  } else {
    _loadDBRows();
    _adoptNewerCentralVersion(type, key, version);
  }
  KF_LOG_AT(m_traceLevel, "leave function _verifyDBVersion: type=%d, version=%s", type,
            version.c_str());
  return true;
}

// The central rows are read once for the life of the object; a failed read counts as an empty
// table from then on.
void QxUpdate::_loadDBRows() {
  if (m_dbRowsLoaded) return;
  if (KFBlobManager::GetKFRows(m_dbRows) != ERRC_SUCCESS) {
    Log::LogByLevel(
        ORVEL_LOG_ERROR,
        "QxUpdate::_verifyDBVersion: get component version from tb_kitefeed table failed");
    m_dbRows.clear();
  }
  m_dbRowsLoaded = true;
}

void QxUpdate::_adoptNewerCentralVersion(QxUpdateType type, const char* key, std::string& version) {
  for (const _uiKFDataNoFile& row : m_dbRows) {
    const std::string rowVersion(row.version, strnlen(row.version, sizeof row.version));
    Log::LogByLevel(KF_TRACE_LEVEL(m_traceLevel),
                    "QxUpdate::_verifyDBVersion: verify component version: type=%d version=%s",
                    row.type, rowVersion.c_str());
    if (row.type != type ||
        KFBlobManager::CmpVersion(type, version.c_str(), rowVersion.c_str()) != 1)
      continue;
    version = rowVersion;
    if (m_settings.writeSetting(key, version.c_str(), "Update", kfSettingsFile) != 0) {
      Log::LogByLevel(ORVEL_LOG_ERROR,
                      "QxUpdate::_verifyDBVersion: synch the version number to tb_global_setting "
                      "failed: key=%s, version=%s",
                      key, version.c_str());
    }
    return;
  }
}

// ---- installation time ----------------------------------------------------------------------

bool QxUpdate::getLocalUpdateTime(QxUpdateType type, long& time) {
  KF_ENTER("getLocalUpdateTime");
  if (!kfIsKnownType(type)) {
    Log::LogByLevel(ORVEL_LOG_ERROR, "QxUpdate::getLocalUpdateTime: Error: invalid update type %d",
                    type);
    return false;
  }
  const std::string path = m_home + kfScannerInfoFile;
  std::string value;
  // Without a home there is no scanner information file to read, not one at the file system root.
  if (m_home.empty() || !ORVEL::ConfigFileOnDisk(path.c_str())
                             .getparam(kfScannerInfoSection, kfScannerInfoTimeKey[type], value)) {
    Log::LogByLevel(ORVEL_LOG_ERROR,
                    "QxUpdate::getLocalUpdateTime: get local update time of %s from %s failed",
                    kfCpntDisplayName[type], path.c_str());
    return false;
  }
  Log::LogByLevel(KF_TRACE_LEVEL(m_traceLevel),
                  "QxUpdate::getLocalUpdateTime: get local update time of %s: %s",
                  kfCpntDisplayName[type], value.c_str());
  time = std::strtol(value.c_str(), nullptr, 10);
  KF_LEAVE("getLocalUpdateTime");
  return true;
}

// ---- results of the last operation ----------------------------------------------------------

QxUpdateRet QxUpdate::getResultVersion(QxUpdateType type, std::string& version) {
  if (!kfIsKnownType(type) || type == QXASE_PATCH) return FAIL;
  if (type != QXASE_PATTERN) {
    version = m_resultVersion[type];
    return SUCCESS;
  }
  const std::string& base = m_resultVersion[QXASE_PATTERN];
  if (base.empty()) return SUCCESS;
  // The spam pattern's version is its base and the patch of the incremental
  // pattern when that belongs to the same base.
  const unsigned rule = m_para.stVersion[QXASE_PATCH].uiInternalVersion;
  const unsigned patch =
      rule / 1000 == static_cast<unsigned>(std::atoi(base.c_str())) ? rule % 1000 : 0;
  char text[64];
  std::snprintf(text, sizeof text, "%s.%03u", base.c_str(), patch);
  version = text;
  return SUCCESS;
}

bool QxUpdate::_saveVersion(tag_ItemInfo* items, int count, std::string& msg) {
  KF_ENTER("_saveVersion");
  bool result = true;
  for (int i = 0; i < count; ++i) {
    const tag_ItemInfo& item = items[i];
    if (item.uiClass == QXU_CLASS_NUMBERED) {
      _saveNumberedVersion(item);
    } else if (item.uiClass == QXU_CLASS_VERSIONED) {
      result = _saveVersionedVersion(item, msg) && result;
    } else {
      result = false;
      msg += "wrong download class.\n";
    }
  }
  KF_LOG_AT(m_traceLevel, "leave function _saveVersion return=%s", result ? "true" : "false");
  return result;
}

void QxUpdate::_saveNumberedVersion(const tag_ItemInfo& item) {
  const int type = kfTypeOfItem(QXU_CLASS_NUMBERED, item.uiItemId);
  if (type < 0) return;
  const unsigned before = item.stCurrent.uiMajor;
  const unsigned after = item.stResult.uiMajor;
  m_para.stVersion[type].uiInternalVersion = after;
  const auto trace = KF_TRACE_LEVEL(m_traceLevel);
  if (type == QXASE_PATTERN) {
    m_resultVersion[type] = std::to_string(after);
    Log::LogByLevel(trace, "QxUpdate::_saveVersion QXASE pattern version is %s",
                    m_resultVersion[type].c_str());
    m_qxasePatternUpToDate = before == after;
  } else if (type == QXASE_PATCH) {
    m_resultVersion[type] = std::to_string(static_cast<int>(after));
    Log::LogByLevel(trace, "QxUpdate::_saveVersion QXASE pattern patch version is %s",
                    m_resultVersion[type].c_str());
    m_qxasePatchUpToDate = before == after;
    Log::LogByLevel(trace, "saveVersion: QXASE pattern patch uptodate=%s (origial=%d, result=%d)",
                    yesNo(m_qxasePatchUpToDate), static_cast<int>(before), static_cast<int>(after));
  } else {
    formatPatternVersion(after, m_resultVersion[type]);
  }
}

bool QxUpdate::_saveVersionedVersion(const tag_ItemInfo& item, std::string& msg) {
  const QxuVersionBuild& after = item.stResult;
  char text[kVersionBuildTextBytes] = "";
  const int made = ORVEL::QxuMakeVersionBuildString(after.uiMajor, after.uiMinor, after.uiBuild,
                                                    text, sizeof text);
  if (made != QXU_OK) {
    // An empty version would travel on into the settings and the central table.
    Log::LogByLevel(ORVEL_LOG_ERROR, "QxUpdate::_saveVersion: QxuMakeVersionBuildString failed: %d",
                    made);
    msg += "Unable to record the version of the downloaded engine.\n";
    return false;
  }
  int type = kfTypeOfItem(QXU_CLASS_VERSIONED, item.uiItemId);
  if (type < 0) type = SCAN_ENGINE;
  if (type == QXASE_ENGINE) {
    m_qxaseEngineUpToDate =
        item.stCurrent.uiMajor == after.uiMajor && item.stCurrent.uiMinor == after.uiMinor;
  }
  m_resultVersion[type] = text;
  std::string engineForm = text;
  _reformatVersion(engineForm);
  m_para.stVersion[type].strVersion = engineForm;
  return true;
}

// ---- pattern folders ------------------------------------------------------------------------

bool QxUpdate::checkPatternFolder(const char* folder) {
  KF_LOG_AT(ORVEL_LOG_TRACE, "enter function checkPatternFolder");
  if (!folder) {
    Log::LogByLevel(ORVEL_LOG_ERROR, "QxUpdate::checkPatternFolder: invalid folder name found");
    return false;
  }
  std::string path = folder;
  while (path.size() > 1 && isSeparator(path.back())) path.pop_back();
  if (!OrvelFileOpUtil::isDir(path.c_str())) {
    Log::LogByLevel(ORVEL_LOG_ERROR,
                    "QxUpdate::checkPatternFolder: %s folder not exist, create it now",
                    path.c_str());
    if (OrvelFileOpUtil::createDir(path.c_str()) < 0) {
      Log::LogByLevel(ORVEL_LOG_ERROR,
                      "QxUpdate::checkPatternFolder: Error: create folder %s failed. errno=%d",
                      path.c_str(), OrvelPlatform::lastError());
      return false;
    }
  }
  KF_LOG_AT(ORVEL_LOG_TRACE, "leave function checkPatternFolder");
  return true;
}
