// Processing of a downloaded component: the installed (or downloaded) engine verifies it, the
// version is checked against what was ordered, a console update installs it into this scanner,
// it is uploaded to the central database, and the version and date settings are written. A
// failure stops at its step; what was done before it stays done.
#include <cstdio>
#include <vector>

#include "OrvelKF/QxUpdate.h"
#include "OrvelKF/QxZip.h"
#include "OrvelKF/VersionText.h"
#include "QxUpdateFolders.h"
#include "QxUpdateInternal.h"
#include "QxUpdateTrace.h"

using ORVEL::Log;
using ORVEL::ORVEL_LOG_ERROR;

namespace {

constexpr const char* kApplyFailed = "Apply the component to local scanner failed.\n";
constexpr const char* kUploadFailed = "Upload the component to central database failed.\n";
constexpr std::size_t kNumberTextBytes = 10;
constexpr std::size_t kSpamVersionBytes = 32;

// What tells the members for the virus-scan patterns apart.
struct PatternMember {
  QxUpdateType type;
  const char* name;
  const char* base;           // file name up to the number
  const char* numberFormat;   // the number as the file name writes it
  const char* installedName;  // what the local installation is told, up to the number
  const char* corrupt;
  const char* versionKey;
  const char* dateKey;
  const char* title;  // in the success message
};

constexpr PatternMember kPatternMembers[] = {
    {VIRUS_PATTERN, "_processPattern", "ksv$pat.", "%3d", "ksv\\$pat.",
     "The downloaded virus pattern is corrupt.\n", "VersionVirusPattern", "UpdateDateVirusPattern",
     "Virus pattern"},
    {SPYWARE_PATTERN, "_processSpyware", "spyxdb.", "%3d", "spyxdb.",
     "The downloaded spyware pattern is corrupt.\n", "VersionSpywarePattern",
     "UpdateDateSpywarePattern", "Spyware pattern"},
    {LUREBOX_PATTERN, "_processBlkPtn", "qxblack.", "%3d", "qxblack.",
     "The downloaded lurebox pattern is corrupt.\n", "VersionLureboxPattern",
     "UpdateDateLureboxPattern", "Lurebox Pattern"},
    {LUREBOX_EXCEPTION, "_processWhtPtn", "qxwhite.", "%3d", "qxwhite.",
     "The downloaded lurebox exception is corrupt.\n", "VersionLureboxException",
     "UpdateDateLureboxException", "Lurebox Exception"},
    {CLOUDSIFT_AGENT_PATTERN, "_processCloudsiftAgentPattern", "cldx$agt.", "%03d", "cldx\\$agt.",
     "The downloaded cloudsift agent pattern is corrupt.\n", "VersionCloudsiftAgentPattern",
     "UpdateDateCloudsiftAgentPattern", "Cloudsift agent pattern"},
};

// What tells the engine members of the virus family apart.
struct EngineMember {
  QxUpdateType type;
  const char* name;
  const char* fileName;
  const char* corrupt;
  const char* versionKey;
  const char* dateKey;
  const char* settingsWritten;  // traced after the settings; null for none
  const char* title;
};

constexpr EngineMember kEngineMembers[] = {
    {SCAN_ENGINE, "_processEngine", "ziran32.dll", "The downloaded scan engine is corrupt.\n",
     "VersionVirusEngine", "UpdateDateVirusEngine",
     "QxUpdate::_ProcessEngine: update database setting succeed.", "Scan engine"},
    {DEXA_ENGINE, "_processDEXAEngine", "dexa32.dll", "The downloaded scan engine is corrupt.\n",
     "VersionDEXAEngine", "UpdateDateDEXAEngine",
     "QxUpdate::_processDEXAEngine: update database setting succeed.", "Dexa deep-scan engine"},
    {QXUFE_ENGINE, "_processQxufeEngine", "qxufeng.dll",
     "The downloaded URL filtering engine is corrupt.\n", "VersionQXUFEEngine",
     "UpdateDateQXUFEEngine", nullptr, "URL filtering engine"},
};

template <typename Member, std::size_t N>
const Member& memberOf(const Member (&members)[N], QxUpdateType type) {
  for (const Member& member : members)
    if (member.type == type) return member;
  return members[0];
}

// The verification adapters take writable texts.
std::vector<char> writable(const std::string& text) {
  std::vector<char> copy(text.begin(), text.end());
  copy.push_back('\0');
  return copy;
}

// Appends one failure line, logs it under the member's name, and gives the failure result.
int fail(const char* member, const char* line, std::string& msg) {
  msg += line;
  Log::LogByLevel(ORVEL_LOG_ERROR, "QxUpdate::%s %s", member, line);
  return -1;
}

// The current local time in the format of update messages.
std::string updateTimeText() {
  std::string text;
  QxUpdate::getLocalTimeFormat(text);
  getcurtime(text);
  return text;
}

std::string spamVersion(unsigned base, unsigned rule) {
  char text[kSpamVersionBytes];
  std::snprintf(text, sizeof text, "%u.%03u", base, rule % kfRuleVersionsPerBase);
  return text;
}

}  // namespace

void QxUpdate::_recordProcessed(const char* member, const char* versionKey, const char* dateKey,
                                const std::string& version, const std::string& timeText,
                                const char* title, std::string& msg) {
  m_settings.writeSetting(versionKey, version.c_str(), "Update", kfSettingsFile);
  m_settings.writeSetting(dateKey, timeText.c_str(), "Update", kfSettingsFile);
  _appendSuccess(member, title, version, msg);
}

void QxUpdate::_appendSuccess(const char* member, const char* title, const std::string& version,
                              std::string& msg) {
  std::string text;
  if (m_bundle) {
    m_bundle->format(
        "KF_CPNT_SUCCESS_MSG",
        std::vector<icu::Formattable>{icu::Formattable(icu::UnicodeString::fromUTF8(title)),
                                      icu::Formattable(icu::UnicodeString::fromUTF8(version)),
                                      icu::Formattable(0)},
        text);
  }
  if (!text.empty()) msg += text;
  Log::LogByLevel(KF_TRACE_LEVEL(m_traceLevel), "QxUpdate::%s %s", member, text.c_str());
}

int QxUpdate::_processZiranPattern(QxUpdateType type, std::string& msg) {
  const PatternMember& member = memberOf(kPatternMembers, type);
  KF_ENTER_AS(member.name);
  QxUpdateVersion checked{};
  std::vector<char> engineFolder = writable(m_binDir);
  std::vector<char> downloadFolder = writable(m_ziranTempDir);
  if (!verifyByZIRAN(engineFolder.data(), downloadFolder.data(), type, msg, checked, m_bundle))
    return fail(member.name, member.corrupt, msg);
  const unsigned target = m_para.stVersion[type].uiInternalVersion;
  Log::LogByLevel(
      KF_TRACE_LEVEL(m_traceLevel),
      "QxUpdate::%s: verifyByZIRAN returned: internal version = %d, target version = %d",
      member.name, checked.uiInternalVersion, target);
  // A pattern older than the one ordered is not what the source promised.
  if (checked.uiInternalVersion < target) return fail(member.name, member.corrupt, msg);

  char number[kNumberTextBytes];
  std::snprintf(number, sizeof number, member.numberFormat, checked.usPatternNumber);
  std::string fileName = std::string(member.base) + number;
  std::string filePath = m_ziranTempDir + m_sep + fileName;
  if (m_source.inUse &&
      !applyToLocal(type, filePath, checked.strVersion, std::string(member.installedName) + number))
    return fail(member.name, kApplyFailed, msg);
  if (!_KFBlob(type, filePath, checked.strVersion, fileName))
    return fail(member.name, kUploadFailed, msg);
  _recordProcessed(member.name, member.versionKey, member.dateKey, checked.strVersion,
                   updateTimeText(), member.title, msg);
  KF_LEAVE_AS(member.name);
  return 0;
}

int QxUpdate::_processVirusFamilyEngine(QxUpdateType type, std::string& msg) {
  const EngineMember& member = memberOf(kEngineMembers, type);
  KF_ENTER_AS(member.name);
  QxUpdateVersion checked{};
  bool verified;
  if (type == QXUFE_ENGINE) {
    verified = verifyByQXUFE(m_ziranTempDir, checked, msg, m_bundle);
  } else {
    // The downloaded engine checks itself against the installed patterns.
    std::vector<char> downloadFolder = writable(m_ziranTempDir);
    std::vector<char> patternFolder = writable(m_home + "/lib/pattern/ziran");
    verified =
        verifyByZIRAN(downloadFolder.data(), patternFolder.data(), type, msg, checked, m_bundle);
  }
  if (!verified) return fail(member.name, member.corrupt, msg);

  m_resultVersion[type] = checked.strVersion;
  std::string fileName = member.fileName;
  std::string filePath = m_ziranTempDir + m_sep + fileName;
  if (m_source.inUse && !applyToLocal(type, filePath, checked.strVersion, fileName))
    return fail(member.name, kApplyFailed, msg);
  const std::string timeText = updateTimeText();
  if (!_KFBlob(type, filePath, checked.strVersion, fileName))
    return fail(member.name, kUploadFailed, msg);
  m_settings.writeSetting(member.versionKey, checked.strVersion.c_str(), "Update", kfSettingsFile);
  m_settings.writeSetting(member.dateKey, timeText.c_str(), "Update", kfSettingsFile);
  if (member.settingsWritten)
    Log::LogByLevel(KF_TRACE_LEVEL(m_traceLevel), "%s", member.settingsWritten);
  _appendSuccess(member.name, member.title, checked.strVersion, msg);
  KF_LEAVE_AS(member.name);
  return 0;
}

int QxUpdate::_processEngine(std::string& msg) {
  return _processVirusFamilyEngine(SCAN_ENGINE, msg);
}
int QxUpdate::_processDEXAEngine(std::string& msg) {
  return _processVirusFamilyEngine(DEXA_ENGINE, msg);
}
int QxUpdate::_processQxufeEngine(std::string& msg) {
  return _processVirusFamilyEngine(QXUFE_ENGINE, msg);
}
int QxUpdate::_processPattern(std::string& msg) { return _processZiranPattern(VIRUS_PATTERN, msg); }
int QxUpdate::_processSpyware(std::string& msg) {
  return _processZiranPattern(SPYWARE_PATTERN, msg);
}
int QxUpdate::_processBlkPtn(std::string& msg) {
  return _processZiranPattern(LUREBOX_PATTERN, msg);
}
int QxUpdate::_processWhtPtn(std::string& msg) {
  return _processZiranPattern(LUREBOX_EXCEPTION, msg);
}
int QxUpdate::_processCloudsiftAgentPattern(std::string& msg) {
  return _processZiranPattern(CLOUDSIFT_AGENT_PATTERN, msg);
}

int QxUpdate::_processQxaseEngine(QxUpdateType /*type*/, std::string& msg) {
  constexpr const char* kMember = "_processQxaseEngine";
  KF_ENTER("_processQxaseEngine");
  std::string downloaded = m_tempDir + "/qxase/engine/" + "qxaseng.dll";
  const std::string installedRules = m_home + "/lib/pattern/qxase" + m_sep + "rules";
  unsigned base = 0, rule = 0;
  // The new engine must be able to read the rules the scanner has now.
  if (!verifyQxasePattern(downloaded, installedRules, base, rule, msg, m_bundle))
    return fail(kMember, "The downloaded anti-spam engine is corrupt.\n", msg);
  const std::string version = m_para.stVersion[QXASE_ENGINE].strVersion;
  std::string fileName = "qxaseng.dll";
  if (m_source.inUse && !applyToLocal(QXASE_ENGINE, downloaded, version, fileName))
    return fail(kMember, kApplyFailed, msg);
  if (!_KFBlob(QXASE_ENGINE, downloaded, version, fileName))
    return fail(kMember, kUploadFailed, msg);
  _recordProcessed(kMember, "VersionQXASEEngine", "UpdateDateQXASEEngine", version,
                   updateTimeText(), "Anti-spam engine", msg);
  KF_LEAVE("_processQxaseEngine");
  return 0;
}

int QxUpdate::_processQxasePtn(QxUpdateType /*type*/, std::string& msg) {
  constexpr const char* kMember = "_processQxasePtn";
  constexpr const char* kCorrupt = "The downloaded spam pattern is corrupt.\n";
  KF_ENTER("_processQxasePtn");
  _doQXASEPatternCleanup(1);
  const std::string installedEngine = m_binDir + m_sep + "qxaseng.dll";
  const std::string downloadRules = m_tempDir + "/qxase/rules";
  unsigned base = 0, rule = 0;
  if (!verifyQxasePattern(installedEngine, downloadRules, base, rule, msg, m_bundle))
    return fail(kMember, kCorrupt, msg);
  const bool newBase = !m_qxasePatternUpToDate;
  if ((newBase && base != m_para.stVersion[QXASE_PATTERN].uiInternalVersion) ||
      rule != m_para.stVersion[QXASE_PATCH].uiInternalVersion || base != rule / kfRuleVersionsPerBase)
    return fail(kMember, kCorrupt, msg);

  std::string version = spamVersion(base, rule);
  if (m_source.inUse) {
    // The scanner's cache belongs to a base: only a new base needs a new one.
    if (newBase) {
      const std::string downloadCache = m_tempDir + "/qxase/cache";
      removeFolderFiles(downloadCache);
      checkPatternFolder(downloadCache.c_str());
      buildQXASECache(installedEngine, downloadRules, downloadCache, msg, m_bundle);
    }
    if (!applyToLocal(QXASE_PATTERN, downloadRules, version, ""))
      return fail(kMember, kApplyFailed, msg);
  }
  std::string archiveName = "asx" + version + ".zip";
  std::string archivePath = m_tempDir + m_sep + archiveName;
  const unsigned codePage = _locale == "ja" ? 932 : 0;
  if (!ORVEL::_zip(archivePath.c_str(), downloadRules.c_str(), codePage))
    return fail(kMember, "Generate the zip for anti-spam pattern failed.\n", msg);
  if (!_KFBlob(QXASE_PATTERN, archivePath, version, archiveName))
    return fail(kMember, "Upload the anti-spam pattern to central database failed.\n", msg);
  m_settings.writeSetting("VersionQXASEPattern", version.c_str(), "Update", kfSettingsFile);
  m_settings.writeSetting("UpdateDateQXASEPattern", updateTimeText().c_str(), "Update",
                          kfSettingsFile);
  getResultVersion(QXASE_PATTERN, version);
  _appendSuccess(kMember, "Spam pattern", version, msg);
  KF_LEAVE("_processQxasePtn");
  return 0;
}
