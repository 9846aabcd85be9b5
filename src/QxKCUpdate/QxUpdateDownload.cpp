// The download driver: the public face of downloading and of version queries. A download runs
// under the download lock file: selection, settings, staging of the current patterns, the update
// client call (retried once with full patterns when a delta does not merge), result mapping,
// processing of what arrived and the clean-up of the download folders.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "OrvelCommon/LockFileLock.h"
#include "OrvelKF/OrvelFileOpUtil.h"
#include "OrvelKF/QxUpdate.h"
#include "OrvelKF/QxUpdateClientBinding.h"
#include "QxUpdateFolders.h"
#include "QxUpdateInternal.h"
#include "QxUpdateTrace.h"

using ORVEL::Log;
using ORVEL::ORVEL_LOG_ERROR;
using ORVEL::ORVEL_LOG_TRACE;

namespace {

constexpr const char* kLockFileName = ".kfdownload.lck";
constexpr int kFamilyVersionsFetched = 2;
constexpr int kFamilyTimedOut = 3;
constexpr std::size_t kErrorTextBytes = 1024;
constexpr std::size_t kJapaneseCutFrom = 256;
constexpr const char* kIdeographicFullStop = "\xE3\x80\x82";
constexpr unsigned kSpamPatternItem = 0x10001;
constexpr unsigned kSpamPatchItem = 0x4000001;

const char* yesNo(bool value) { return value ? "yes" : "no"; }

// Japanese client texts are long; a message box shows them up to their last full sentence.
void cutJapaneseText(std::string& text) {
  if (text.size() < kJapaneseCutFrom) return;
  const std::size_t stop = text.rfind(kIdeographicFullStop);
  if (stop != std::string::npos) text.resize(stop + std::strlen(kIdeographicFullStop));
}

// Owns the client's context for one call of the driver.
class ClientContext {
 public:
  ClientContext() : m_context(ORVEL::QxuCreateContext(0)) {}
  ~ClientContext() { release(); }
  ClientContext(const ClientContext&) = delete;
  ClientContext& operator=(const ClientContext&) = delete;
  QxuContext get() const { return m_context; }
  void release() {
    if (m_released) return;
    ORVEL::QxuReleaseContext(m_context);
    m_released = true;
  }

 private:
  QxuContext m_context;
  bool m_released = false;
};

// The detail code of the client's last failure (the second word of its error record).
unsigned lastErrorDetail(QxuContext context) {
  QxuErrorInfo record{};
  ORVEL::QxuGetLastError(&record, context);
  Log::Debug("QxUpdate::_doDownload  detail error code return valuse is %d", record.uiDetail);
  return record.uiDetail;
}

// The downloads after which the virus-scan engine purges its old patterns.
bool kfIsZiranFamilyDownload(QxUpdateType type) {
  return (type >= SCAN_ENGINE && type <= LUREBOX_EXCEPTION) || type == DEXA_ENGINE ||
         type == CLOUDSIFT_AGENT_PATTERN;
}

}  // namespace

int& QxUpdate::_familyStatus(QxUpdateType type) {
  return kfIsAntiSpamFamily(type) ? m_timeoutAntispam : m_timeoutVirus;
}

bool QxUpdate::_failOnTimedOutFamily(QxUpdateType type, std::string& msg) {
  if (_familyStatus(type) != kFamilyTimedOut) return false;
  std::string text;
  if (m_bundle) m_bundle->lookup("KF_SERVER_TIMEOUT_MSG", text);
  msg += text;
  Log::LogByLevel(ORVEL_LOG_ERROR, "QxUpdate::download: %s", text.c_str());
  return true;
}

void QxUpdate::_useSource(bool withServer, const std::string& url, int port) {
  m_source.inUse = withServer && m_kind == CONSOLE_UPDATE;
  m_source.server = withServer ? url : std::string();
  m_source.port = withServer ? static_cast<unsigned>(port) : 0;
}

QxUpdateRet QxUpdate::download(QxUpdateType type, const std::string& url, int port,
                               std::string& msg, bool block) {
  KF_LOG_AT(m_traceLevel, "enter function download: type=%d url=%s port=%d block=%s", type,
            url.c_str(), port, yesNo(block));
  return _lockedDownload(type, true, url, port, msg, block);
}

QxUpdateRet QxUpdate::download(QxUpdateType type, std::string& msg, bool block) {
  KF_LOG_AT(m_traceLevel, "enter function download: type=%d block=%s", type, yesNo(block));
  return _lockedDownload(type, false, std::string(), 0, msg, block);
}

QxUpdateRet QxUpdate::_lockedDownload(QxUpdateType type, bool withServer, const std::string& url,
                                      int port, std::string& msg, bool block) {
  msg.clear();
  if (_failOnTimedOutFamily(type, msg)) return FAIL;
  _useSource(withServer, url, port);

  LockFileLock lock((m_libDir + m_sep + kLockFileName).c_str(), block, false);
  if (!lock.lock()) return _failWithText("KF_LOCK_FAIL", msg);
  const QxUpdateRet result = _downloadUtil(type, msg, false);
  if (!lock.unlock()) return _failWithText("KF_UNLOCK_FAIL", msg);
  KF_LOG_AT(m_traceLevel, "leave function download return=%d msg=%s", result, msg.c_str());
  return result;
}

QxUpdateRet QxUpdate::_failWithText(const char* key, std::string& msg) {
  std::string text;
  if (m_bundle) m_bundle->lookup(key, text);
  msg += text;
  Log::LogByLevel(ORVEL_LOG_ERROR, "QxUpdate::download: %s", text.c_str());
  return FAIL;
}

QxUpdateRet QxUpdate::getAvailVersion(QxUpdateType type, const std::string& url, int port,
                                      std::string& msg, std::string& version, bool block) {
  KF_LOG_AT(m_traceLevel, "enter function getAvailVersion: type=%d url=%s port=%d block=%s", type,
            url.c_str(), port, yesNo(block));
  const QxUpdateRet result = _queryFamily(type, true, url, port, msg, version);
  KF_LOG_AT(m_traceLevel, "leave function getAvailVersion return=%d version=%s msg=%s", result,
            version.c_str(), msg.c_str());
  return result;
}

QxUpdateRet QxUpdate::getAvailVersion(QxUpdateType type, std::string& msg, std::string& version,
                                      bool block) {
  KF_LOG_AT(m_traceLevel, "enter function getAvailVersion: type=%d block=%s", type, yesNo(block));
  const QxUpdateRet result = _queryFamily(type, false, std::string(), 0, msg, version);
  std::string scratch;
  _getDownloadInfo(type, scratch);
  KF_LOG_AT(m_traceLevel, "leave function getAvailVersion return=%d for %s version=%s msg=%s",
            result, scratch.c_str(), version.c_str(), msg.c_str());
  return result;
}

QxUpdateRet QxUpdate::_queryFamily(QxUpdateType type, bool withServer, const std::string& url,
                                   int port, std::string& msg, std::string& version) {
  msg.clear();
  version.clear();
  QxUpdateRet result = UP_TO_DATE;
  if (withServer) m_source.inUse = m_kind == CONSOLE_UPDATE;
  if (_failOnTimedOutFamily(type, msg)) return FAIL;
  // One query fetched the whole family: its members are answered from what it left.
  if (_familyStatus(type) != kFamilyVersionsFetched) {
    _useSource(withServer, url, port);
    result = _downloadUtil(type, msg, true);
    if (result == UP_TO_DATE) _familyStatus(type) = kFamilyVersionsFetched;
  }
  if (getResultVersion(type, version) == FAIL) result = FAIL;
  return result;
}

bool QxUpdate::isRunning(std::string& msg) {
  Log::LogByLevel(ORVEL_LOG_TRACE, "QxUpdate [%s][%d]: enter function isRunning",
                  kfSourceName(__FILE__), __LINE__);
  const char* home = std::getenv("ORVEL_HOME");
  if (!home) {
    Log::LogByLevel(ORVEL_LOG_ERROR, "QxUpdate::isRunning: Unable to get ORVEL_HOME");
    return false;
  }
  LockFileLock lock((std::string(home) + "\\lib\\" + kLockFileName).c_str(), false, false);
  if (!lock.lock()) {
    msg = "Another KiteFeed process is currently running. Please try again later.";
    Log::LogByLevel(ORVEL_LOG_TRACE, "QxUpdate::isRunning: %s", msg.c_str());
    return true;
  }
  if (!lock.unlock()) {
    msg = "Unable to unlock the mutex file.";
    Log::LogByLevel(ORVEL_LOG_ERROR, "QxUpdate::isRunning: %s errno=%d", msg.c_str(), errno);
  }
  Log::LogByLevel(ORVEL_LOG_TRACE, "QxUpdate [%s][%d]: leave function isRunning",
                  kfSourceName(__FILE__), __LINE__);
  return false;
}

QxUpdateRet QxUpdate::_downloadUtil(QxUpdateType type, std::string& msg, bool versionOnly) {
  KF_ENTER("_downloadUtil");
  if (!m_ok) {
    msg += kfSystemErrorText;
    return FAIL;
  }
  m_versionOnly = versionOnly;
  const bool antispam = kfIsAntiSpamFamily(type);
  for (int i = 0; i < kfComponentCount; ++i)
    m_selected[i] = versionOnly ? kfIsAntiSpamFamily(i) == antispam : i == type;
  if (!versionOnly && type == QXASE_PATTERN) m_selected[QXASE_PATCH] = true;
  for (int i = 0; i < kfComponentCount; ++i)
    if (m_selected[i]) m_resultVersion[i].clear();

  if (_getUpdateServerInfo(msg, antispam) == -1 || _getDownloadInfo(type, msg) == -1) {
    Log::LogByLevel(ORVEL_LOG_ERROR, "QxUpdate::_downloadUtil %s", msg.c_str());
    return FAIL;
  }
  for (int i = 0; i < kfComponentCount; ++i) {
    if (!m_selected[i]) continue;
    Log::LogByLevel(KF_TRACE_LEVEL(m_traceLevel),
                    versionOnly ? "QxUpdate::_downloadUtil get %s version now ..."
                                : "QxUpdate::_downloadUtil download %s now ...",
                    _getDownloadWhatMsg(i).c_str());
  }
  KF_LEAVE("_downloadUtil");
  return _doDownload(type, versionOnly, msg);
}

void QxUpdate::_stageCurrentPatterns(QxUpdateType type) {
  if ((type >= VIRUS_PATTERN && type <= LUREBOX_EXCEPTION) || type == CLOUDSIFT_AGENT_PATTERN) {
    if (!_copyIncrementalZIRANPtn(type))
      Log::LogByLevel(
          ORVEL_LOG_ERROR,
          "QxUpdate::_doDownload: copy local ZIRAN pattern for incremental update failed");
  } else if (kfIsAntiSpamFamily(type)) {
    removeFolderFiles(m_para.szDestDir);
    if (type != QXASE_ENGINE && !_copyIncrementalQXASEPtn(type))
      Log::LogByLevel(
          ORVEL_LOG_ERROR,
          "QxUpdate::_doDownload: copy local QXASE pattern for incremental update failed");
  }
}

void QxUpdate::_requireWholeRuleSet(tag_ItemInfo* items, int count) {
  static const char* const kExtensions[] = {"rul", "exp", "sig", "hsh", "phi"};
  const std::string folder = m_tempDir + "/qxase/rules";
  for (const char* extension : kExtensions) {
    char path[512];
    std::snprintf(path, sizeof path, "%s/qx0%u.%s", folder.c_str(),
                  m_para.stVersion[QXASE_PATTERN].uiInternalVersion, extension);
    if (OrvelFileOpUtil::exist(path)) continue;
    Log::LogByLevel(
        ORVEL_LOG_ERROR,
        "QxUpdate::_copyIncrementalQXASEPtn: Error: there is not %s for incremental update", path);
    const bool baseMissing = std::strcmp(extension, "rul") == 0;
    const unsigned item = baseMissing ? kSpamPatternItem : kSpamPatchItem;
    for (int i = 0; i < count; ++i) {
      if (items[i].uiItemId != item) continue;
      Log::LogByLevel(ORVEL_LOG_ERROR,
                      "QxUpdate::_doDownload: Do full update for QXASE pattern type=%u", item);
      items[i].uiOption |= QXU_ITEM_FULL;
      break;
    }
    if (!baseMissing) return;
  }
}

int QxUpdate::_callClient(tag_ItemInfo* items, int count, const SourceInfo& source,
                          QxuContext context) {
  return ORVEL::QxuUpdateEx(items, static_cast<unsigned>(count), &source, m_para.uiUpdateOption,
                            &QxUpdate::_updateProgressCallback, nullptr, context);
}

int QxUpdate::_updateProgressCallback(unsigned int, unsigned long long, unsigned long long, void*) {
  return 1;
}

void QxUpdate::_setClientProperties(QxuContext context, bool versionOnly, std::string& msg) {
  if (m_para.szUserAgent[0] && !ORVEL::QxuSetPropertyEx("UserAgent", m_para.szUserAgent, context))
    msg += "Unable to set User_Agent parameter.";
  if (m_para.szTimeout[0] &&
      (!ORVEL::QxuSetPropertyEx("SocketTimeoutConnect", m_para.szTimeout, context) ||
       !ORVEL::QxuSetPropertyEx("SocketTimeout", m_para.szTimeout, context)))
    msg += "Unable to set Pattern_Timeout parameter.";
  if (versionOnly && !ORVEL::QxuSetPropertyEx("RetryCount", "0", context))
    msg += "Unable to set QX_KF_RETRY_COUNT.";
  if (_locale == "ja") {
    if (!ORVEL::QxuSetPropertyEx("OSCodePage", "932", context))
      msg += "Unable to set QX_KF_OS_CODE_PAGE.";
    if (!ORVEL::QxuSetPropertyEx("MsgCodePage", "932", context))
      msg += "Unable to set QX_KF_MSG_CODE_PAGE.";
  }
}

QxUpdateRet QxUpdate::_doDownload(QxUpdateType type, bool versionOnly, std::string& msg) {
  KF_ENTER("_doDownload");
  if (m_kind == SCHEDULED_UPDATE && !m_scheduleDue) {
    Log::LogByLevel(KF_TRACE_LEVEL(m_traceLevel),
                    "QxUpdate::_doDownload Do not need to do scheduled update.");
    return NOT_DUE;
  }
  SourceInfo source;
  _generateSrcInfo(source);
  int count = 0;
  for (bool selected : m_selected) count += selected ? 1 : 0;
  if (count == 0) {
    msg += "Nothing need download.";
    Log::LogByLevel(KF_TRACE_LEVEL(m_traceLevel), "QxUpdate::_doDownload %s", msg.c_str());
    return FAIL;
  }
  std::vector<tag_ItemInfo> items(static_cast<std::size_t>(count));
  std::memset(items.data(), 0, items.size() * sizeof(tag_ItemInfo));
  if (_generateItems(items.data(), count, versionOnly, msg) == FAIL) {
    Log::LogByLevel(KF_TRACE_LEVEL(m_traceLevel), "QxUpdate::_doDownload %s", msg.c_str());
    return FAIL;
  }

  DestInfo dest;
  if (!versionOnly) {
    if (!checkPatternFolder(m_para.szDestDir))
      Log::LogByLevel(ORVEL_LOG_ERROR, "QxUpdate::_doDownload: cannot find the target folder %s",
                      m_para.szDestDir);
    _generateDstInfo(dest, m_para.szDestDir);
    for (tag_ItemInfo& item : items) item.pDest = &dest;
    removeFolderFiles(m_tempDir);
    _stageCurrentPatterns(type);
    if (type == QXASE_PATTERN || type == QXASE_PATCH) _requireWholeRuleSet(items.data(), count);
  }

  ClientContext context;
  _setClientProperties(context.get(), versionOnly, msg);
  if (std::strstr(m_para.szSource, "https://")) m_para.uiUpdateOption |= QXU_OPTION_HTTPS;
  Log::LogByLevel(KF_TRACE_LEVEL(m_traceLevel), "QxUpdate::_doDownload srcInfo.source=%s",
                  source.source);
  Log::LogByLevel(KF_TRACE_LEVEL(m_traceLevel), "QxUpdate::_doDownload srcInfo.proxy=%s",
                  source.proxy);
  Log::LogByLevel(KF_TRACE_LEVEL(m_traceLevel), "QxUpdate::_doDownload srcInfo.proxy_port=%d",
                  source.proxy_port);
  Log::LogByLevel(KF_TRACE_LEVEL(m_traceLevel), "QxUpdate::_doDownload m_para.uiUpdateOption=%d",
                  m_para.uiUpdateOption);

  int result = _callClient(items.data(), count, source, context.get());
  if (result == QXU_E_MERGE)
    result = _retryWithFullPatterns(type, items.data(), count, source, context.get());

  if (result == QXU_OK || result == QXU_UP_TO_DATE) {
    if (!_saveVersion(items.data(), count, msg)) return FAIL;
    if (result == QXU_UP_TO_DATE) return _reportUpToDate(type, msg);
    if (versionOnly) return SUCCESS;
    const int processed = _processSelected(msg);
    context.release();
    if (kfIsZiranFamilyDownload(type)) _doZIRANPatternCleanup(3);
    KF_LOG_AT(m_traceLevel, "leave function _doDownload: return code=%d", processed);
    return processed == 0 ? SUCCESS : FAIL;
  }
  if (result == QXU_E_CONNECT_TIMEOUT || result == QXU_E_TRANSFER_TIMEOUT) {
    Log::LogByLevel(KF_TRACE_LEVEL(m_traceLevel),
                    "QxUpdate::_doDownload [%s][%d]: call QxuUpdateEx returned TIMEOUT",
                    kfSourceName(__FILE__), __LINE__);
    _familyStatus(type) = kFamilyTimedOut;
  }
  const unsigned detail = lastErrorDetail(context.get());
  context.release();
  return _reportClientFailure(result, detail, msg);
}

int QxUpdate::_retryWithFullPatterns(QxUpdateType type, tag_ItemInfo* items, int count,
                                     const SourceInfo& source, QxuContext context) {
  Log::LogByLevel(
      ORVEL_LOG_ERROR,
      "QxUpdate::_doDownload: The merge of incremental pattern failed. Try full pattern "
      "update again.");
  for (int i = 0; i < count; ++i) {
    tag_ItemInfo& item = items[i];
    // A pattern that moved merged; only the ones still at their current version failed.
    if (item.uiClass != QXU_CLASS_NUMBERED || item.stResult.uiMajor != item.stCurrent.uiMajor)
      continue;
    Log::LogByLevel(
        ORVEL_LOG_ERROR,
        "QxUpdate::_doDownload: Disable the incremental update for pattern type %u this time.",
        item.uiItemId);
    item.uiOption = QXU_ITEM_FULL;
  }
  _stageCurrentPatterns(type);
  return _callClient(items, count, source, context);
}

QxUpdateRet QxUpdate::_reportUpToDate(QxUpdateType type, std::string& msg) {
  const std::string text = kfFormatWithText(m_bundle, "KF_UPTODATE", _getDownloadWhatMsg(type));
  if (!text.empty()) msg += text;
  Log::LogByLevel(KF_TRACE_LEVEL(m_traceLevel), "QxUpdate::_doDownload %s", text.c_str());
  KF_LEAVE("_doDownload: return UP_TO_DATE");
  return UP_TO_DATE;
}

QxUpdateRet QxUpdate::_reportClientFailure(int result, unsigned detail, std::string& msg) {
  char text[kErrorTextBytes] = {};
  ORVEL::QxuGetErrorString(result, text, sizeof text);
  text[sizeof text - 1] = '\0';
  std::string reason = text;
  if (_locale == "ja") cutJapaneseText(reason);
  msg += reason + "\n";
  if (result == QXU_E_HTTP_STATUS && detail == QXU_DETAIL_NOT_FOUND) {
    Log::LogByLevel(KF_TRACE_LEVEL(m_traceLevel),
                    "QxUpdate::_doDownload [%s][%d]: call QxuUpdateEx returned HTTP_NOT_FOUND",
                    kfSourceName(__FILE__), __LINE__);
    return SOURCE_NOT_FOUND;
  }
  KF_LOG_AT(m_traceLevel, "leave function _doDownload: return FAIL, message: %s", msg.c_str());
  return FAIL;
}

int QxUpdate::_processSelected(std::string& msg) {
  int result = 0;
  if (m_selected[SCAN_ENGINE]) result = _processEngine(msg);
  if (m_selected[DEXA_ENGINE]) result = _processDEXAEngine(msg);
  if (m_selected[VIRUS_PATTERN]) result = _processPattern(msg);
  if (m_selected[CLOUDSIFT_AGENT_PATTERN]) result = _processCloudsiftAgentPattern(msg);
  if (m_selected[SPYWARE_PATTERN]) result = _processSpyware(msg);
  if (m_selected[LUREBOX_PATTERN]) result = _processBlkPtn(msg);
  if (m_selected[LUREBOX_EXCEPTION]) result = _processWhtPtn(msg);
  if (m_selected[QXASE_ENGINE] && !m_qxaseEngineUpToDate)
    result = _processQxaseEngine(QXASE_ENGINE, msg);
  if (m_selected[QXASE_PATTERN] && !(m_qxasePatternUpToDate && m_qxasePatchUpToDate))
    result = _processQxasePtn(QXASE_PATTERN, msg);
  if (m_selected[QXUFE_ENGINE]) result = _processQxufeEngine(msg);
  return result;
}
