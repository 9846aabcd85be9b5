// What the update client is asked for: the destination, language and time-out of the operation,
// the version of each selected component that the client measures the available one against,
// and the item array built from them.
#include <algorithm>
#include <climits>
#include <cstdlib>

#include "OrvelCommon/BoundedCopy.h"
#include "OrvelKF/QxUpdate.h"
#include "OrvelKF/QxUpdateClientBinding.h"
#include "OrvelKF/VersionText.h"
#include "QxUpdateInternal.h"
#include "QxUpdateItemTable.h"
#include "QxUpdateTrace.h"

using ORVEL::Log;

namespace {

constexpr const char* kDefaultTimeout = "90";
constexpr long long kShortestTimeout = 10;  // seconds; a value at or below it is not taken
constexpr const char* kDefaultPlatform = "Linux";

// The order in which current versions are read; the spam pattern stands for the pair 6 and 7.
constexpr int kReadingOrder[] = {
    SCAN_ENGINE,     DEXA_ENGINE,       VIRUS_PATTERN,           SPYWARE_PATTERN,
    LUREBOX_PATTERN, LUREBOX_EXCEPTION, CLOUDSIFT_AGENT_PATTERN, QXASE_ENGINE,
    QXASE_PATTERN,   QXUFE_ENGINE};

// What the client is told when a current version cannot be read.
struct Fallback {
  const char* text;  // engines
  unsigned short patternNumber;
  unsigned internalVersion;
};
constexpr Fallback kPatternFallback = {nullptr, 100, 100000};
constexpr unsigned kQxasePatternFallback = 15000;
constexpr unsigned kQxasePatchFallback = 15000001;

Fallback fallbackOf(int type) {
  switch (type) {
    case SCAN_ENGINE:
      return {"8.700.1004", 0, 0};
    case DEXA_ENGINE:
      return {"9.562.1053", 0, 0};
    case QXASE_ENGINE:
      return {"5.600.1011", 0, 0};
    case QXUFE_ENGINE:
      return {"3.000.1027", 0, 0};
    default:
      return kPatternFallback;
  }
}

void applyFallback(int type, QxUpdateVersion& record) {
  const Fallback fallback = fallbackOf(type);
  if (fallback.text) {
    record.strVersion = fallback.text;
    return;
  }
  record.usPatternNumber = fallback.patternNumber;
  record.uiInternalVersion = fallback.internalVersion;
}

bool isZiranPattern(int type) {
  return (type >= VIRUS_PATTERN && type <= LUREBOX_EXCEPTION) || type == CLOUDSIFT_AGENT_PATTERN;
}

const char* destinationSubfolder(int type) {
  if (type == QXASE_ENGINE) return "/qxase/engine";
  if (type == QXASE_PATTERN || type == QXASE_PATCH) return "/qxase/rules";
  return "/ziran";
}

unsigned toUnsigned(unsigned long long value) {
  return static_cast<unsigned>(std::min<unsigned long long>(value, UINT_MAX));
}

// "17461.005" as the installation records the spam pattern: base 17461 and rule version
// 17461005. A second number of 1000 or more is taken as a rule version already.
void splitQxasePatternVersion(const std::string& text, unsigned& base, unsigned& rule) {
  const std::size_t point = text.find('.');
  const std::string after = point == std::string::npos ? std::string() : text.substr(point + 1);
  base = toUnsigned(std::strtoul(text.substr(0, point).c_str(), nullptr, 10));
  const unsigned long long second = std::strtoul(after.c_str(), nullptr, 10);
  rule = toUnsigned(second < kfRuleVersionsPerBase
                        ? static_cast<unsigned long long>(base) * kfRuleVersionsPerBase + second
                        : second);
}

int platformOf(const std::string& text) {
  if (text == "Sol") return KF_PLATFORM_SOL;
  if (text == "Linux") return KF_PLATFORM_LINUX;
  if (text == "Win32") return KF_PLATFORM_WIN32;
  return -1;
}

unsigned platformCode(int platform) {
  if (platform == KF_PLATFORM_SOL) return 0x202;
  if (platform == KF_PLATFORM_WIN32) return 1;
  return 0x101;
}

void fillItem(tag_ItemInfo& item, int type, int platform, const QxUpdateVersion& current) {
  const KFItemKind& kind = kfItemKinds[type];
  item.uiClass = kind.uiClass;
  const bool known = platform >= 0 || !kind.perPlatform;
  item.uiItemId = known ? kind.uiItemId[platform >= 0 ? platform : KF_PLATFORM_LINUX] : 0;
  if (kind.uiClass == QXU_CLASS_VERSIONED) {
    item.stCurrent = ORVEL::QxuMakeVersionBuild(current.strVersion.c_str());
  } else {
    item.stCurrent.uiMajor = current.uiInternalVersion;
  }
  if (kind.resultPrefilled) item.stResult = ORVEL::QxuMakeVersionBuild("0.0");
}

}  // namespace

int QxUpdate::_getDownloadInfo(QxUpdateType type, std::string& msg) {
  KF_ENTER("_getDownloadInfo");
  ORVEL::boundedCopy(m_para.szDestDir, sizeof m_para.szDestDir,
                     (m_tempDir + destinationSubfolder(type)).c_str());
  std::string value;
  m_para.uiLanguage =
      _readSetting("Language", value) == 0 ? static_cast<unsigned>(_getLanguage(value)) : 1;
  const bool timeoutTaken =
      _readSetting("Pattern_Timeout", value) == 0 && kfLeadingNumber(value) > kShortestTimeout;
  ORVEL::boundedCopy(m_para.szTimeout, sizeof m_para.szTimeout,
                     timeoutTaken ? value.c_str() : kDefaultTimeout);
  if (_getProxyInfo(msg) == -1) return -1;
  _setScheduleUpdate();
  // A version query sends whatever versions the parameter block holds.
  if (!m_versionOnly) _readCurrentVersions(msg);
  KF_LEAVE("_getDownloadInfo");
  return 0;
}

void QxUpdate::_readCurrentVersions(std::string& msg) {
  for (int type : kReadingOrder) {
    if (type == QXASE_PATTERN) {
      if (m_selected[QXASE_PATTERN] || m_selected[QXASE_PATCH]) _readCurrentQxasePatterns(msg);
    } else if (m_selected[type]) {
      _readCurrentVersion(type, msg);
    }
  }
}

void QxUpdate::_readCurrentVersion(int type, std::string& msg) {
  QxUpdateVersion& record = m_para.stVersion[type];
  const bool read =
      m_source.inUse ? _readInstalledVersion(type, record, msg) : _readAdoptedVersion(type, record);
  if (!read) {
    applyFallback(type, record);
    return;
  }
  Log::LogByLevel(KF_TRACE_LEVEL(m_traceLevel),
                  "QxUpdate::_getDownloadInfo: get local %s version %s.",
                  _getDownloadWhatMsg(type).c_str(), record.strVersion.c_str());
}

bool QxUpdate::_readAdoptedVersion(int type, QxUpdateVersion& record) {
  if (!_verifyDBVersion(static_cast<QxUpdateType>(type), kfGlobalVersionKey[type],
                        record.strVersion))
    return false;
  if (isZiranPattern(type)) {
    unsigned long number = 0;
    getVerByNumber(number, record.usPatternNumber, record.strVersion.c_str());
    record.uiInternalVersion = toUnsigned(number);
  }
  return true;
}

void QxUpdate::_readCurrentQxasePatterns(std::string& msg) {
  unsigned base = 0;
  unsigned rule = 0;
  bool read = false;
  if (m_source.inUse) {
    read = _readInstalledRules(base, rule, msg);
  } else {
    std::string& text = m_para.stVersion[QXASE_PATTERN].strVersion;
    read = _verifyDBVersion(QXASE_PATTERN, kfGlobalVersionKey[QXASE_PATTERN], text);
    if (read) splitQxasePatternVersion(text, base, rule);
  }
  if (!read) {
    base = kQxasePatternFallback;
    rule = kQxasePatchFallback;
  }
  m_para.stVersion[QXASE_PATTERN].uiInternalVersion = base;
  m_para.stVersion[QXASE_PATCH].uiInternalVersion = rule;
  if (!read) return;
  for (int type : {QXASE_PATTERN, QXASE_PATCH}) {
    Log::LogByLevel(KF_TRACE_LEVEL(m_traceLevel),
                    "QxUpdate::_getDownloadInfo: get local %s version %u.",
                    _getDownloadWhatMsg(type).c_str(), m_para.stVersion[type].uiInternalVersion);
  }
}

QxUpdateRet QxUpdate::_generateItems(tag_ItemInfo* items, int count, bool versionOnly,
                                     std::string& msg) {
  KF_ENTER("_generateItems");
  (void)msg;  // nothing here fails
  std::string platformText;
  if (_readSetting("Platform", platformText) != 0) platformText = kDefaultPlatform;
  const int platform = platformOf(platformText);
  const unsigned option =
      versionOnly ? QXU_ITEM_QUERY : (m_incMerge ? QXU_ITEM_INCREMENTAL : QXU_ITEM_FULL);
  for (int i = 0; i < count; ++i) {
    items[i].uiPlatform = platformCode(platform);
    items[i].uiOption = option;
    items[i].uiLanguage = m_para.uiLanguage;
    items[i].uiReserved1 = items[i].uiReserved2 = items[i].uiReserved3 = 0;
  }
  int next = 0;
  for (int type = 0; type < kfComponentCount && next < count; ++type) {
    if (m_selected[type]) fillItem(items[next++], type, platform, m_para.stVersion[type]);
  }
  KF_LEAVE("_generateItems");
  return SUCCESS;
}
