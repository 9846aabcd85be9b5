// QxUpdate: the one update object of a process.
//
// How an update travels through the library:
//
//   caller ──> QxUpdate::Instance(kind)            the object and its configuration
//                │                                  (src/QxKCUpdate/QxUpdateLifecycle.cpp)
//                ├─ schedule decision               is a scheduled update due now?
//                │                                  (src/QxKCUpdate/QxUpdateSchedule.cpp)
//                ├─ download driver                 lock file, family status, result mapping
//                │     │                            (src/QxKCUpdate/QxUpdateDownload.cpp)
//                │     ├─ update source settings    server, proxy, user agent
//                │     │                            (src/QxKCUpdate/QxUpdateSource.cpp)
//                │     ├─ download item list        what to fetch, in which version
//                │     │                            (src/QxKCUpdate/QxUpdateItems.cpp)
//                │     ├─ incremental staging       the current pattern beside the download
//                │     │                            (src/QxKCUpdate/QxUpdateStaging.cpp)
//                │     └─ update client binding     "QxUpdate.dll" loaded at run time
//                ├─ version queries                 local, adopted and downloaded versions
//                │                                  (src/QxKCUpdate/QxUpdateVersions.cpp)
//                ├─ component processing            verify with the engine, install locally,
//                │     │                            upload to the central database
//                │     │                            (src/QxKCUpdate/QxUpdateProcessing.cpp)
//                │     ├─ engine adapters           (src/QxKCUpdate/QxUpdateEngines.cpp)
//                │     ├─ local installation        (src/QxKCUpdate/QxUpdateInstall.cpp)
//                │     │     └─ service control     (src/QxServiceControl.cpp)
//                │     └─ KFBlobManager             the central component rows (KFBlobManager.h)
//                └─ events and notifications        rows of the central event table
//
// Texts for callers come from the resource bundle of the locale configured for
// the product (src/QxKCUpdate/QxUpdateTexts.cpp). Paths are built with "\" as
// the separator and reach the operating system through OrvelPlatform::toOsPath.
//
// The object is used by one thread at a time; work of several processes is
// kept apart by lock files.
#pragma once

#include <string>
#include <vector>

#include "OrvelCommon/GlobalSettingIF.h"
#include "OrvelCommon/Log.h"
#include "OrvelCommon/QxResbundle.h"
#include "OrvelKF/KFBlobManager.h"
#include "OrvelKF/QxUpdateCatalogue.h"
#include "OrvelKF/QxUpdateClient.h"

#pragma GCC visibility push(default)

// The version of one component as the update client and the settings see it.
struct QxUpdateVersion {
  unsigned short usPatternNumber;  // numeric extension of the pattern file; 0 for engines
  unsigned int uiInternalVersion;  // the pattern's internal number; 0 for engines
  std::string strVersion;          // the text shown to users and stored in settings
};

// The parameter block handed to the update client.
struct QxUpdatePara {
  unsigned int uiLanguage;
  unsigned int uiUpdateOption;
  char szDestDir[512];
  char szSource[4096];
  unsigned int uiSourcePort;
  char szUserAgent[4096];
  char szTimeout[4096];
  unsigned int uiProxyEnable;
  char szProxy[4096];
  unsigned int uiProxyPort;
  char szProxyUser[4096];
  char szProxyPassword[4096];
  QxUpdateVersion stVersion[kfComponentCount];
};

// An update source given by the caller that overrides the configured one.
struct QxUpdateSource {
  bool inUse;
  std::string server;
  unsigned int port;
  std::string user;
  std::string password;
};

class QxUpdate {
 public:
  static QxUpdate* Instance();
  static QxUpdate* Instance(QxUpdateKind kind);

  QxUpdate();
  explicit QxUpdate(QxUpdateKind kind);
  ~QxUpdate();
  QxUpdate(const QxUpdate&) = delete;
  QxUpdate& operator=(const QxUpdate&) = delete;

  bool ok() const { return m_ok; }
  void setType(QxUpdateKind kind);

  // The product locale ("en_US" when none is configured).
  static bool getLocale(std::string& out);
  // Fills m_cpntname with the localized component titles.
  static bool setLocalCpntTitle();
  // The strftime format of the times in update messages.
  static bool getLocalTimeFormat(std::string& out);

  // Download driver (src/QxKCUpdate/QxUpdateDownload.cpp). download fetches one component (the
  // spam pattern with its incremental pattern) under the download lock and processes it;
  // getAvailVersion asks the source which versions of the component's family exist. The
  // overloads with a server use it only on a CONSOLE_UPDATE object, which also installs locally.
  QxUpdateRet download(QxUpdateType type, const std::string& url, int port, std::string& msg,
                       bool block);
  QxUpdateRet download(QxUpdateType type, std::string& msg, bool block);
  QxUpdateRet getAvailVersion(QxUpdateType type, const std::string& url, int port, std::string& msg,
                              std::string& version, bool block);
  QxUpdateRet getAvailVersion(QxUpdateType type, std::string& msg, std::string& version,
                              bool block);
  // True when another process holds the download lock; msg then says so.
  static bool isRunning(std::string& msg);

  // Version queries (src/QxKCUpdate/QxUpdateVersions.cpp). 0 on success, -1 with a localized
  // reason in msg. block only shows in the trace.
  int getLocalVersion(QxUpdateType type, std::string& msg, std::string& version, bool block);
  int getDBVersion(QxUpdateType type, std::string& msg, std::string& version, bool block);
  // When the component was installed locally (seconds since 1970, from the scanner information
  // file).
  bool getLocalUpdateTime(QxUpdateType type, long& time);
  // The version the last operation left for a component. FAIL for an
  // unknown type and for the spam incremental pattern, which has none of its
  // own (it is part of the spam pattern's version).
  QxUpdateRet getResultVersion(QxUpdateType type, std::string& version);
  // Makes sure a pattern folder exists, creating it when missing.
  static bool checkPatternFolder(const char* folder);

  // Local installation (src/QxKCUpdate/QxUpdateInstall.cpp): puts a verified component into the
  // scanner of this machine under ".kfagent.lck", stopping and starting the scanner services for
  // an engine, and records it in the scanner information file. A new engine takes the installed
  // name only once it is whole; the previous one stays as the one ".bak" backup. False also for a
  // component that is not newer than the installed one.
  bool applyToLocal(QxUpdateType kfType, const std::string& szPath, const std::string& szVersion,
                    const std::string& szFileName);
  // Service control (src/QxServiceControl.cpp): mode 1 stop, 2 start, 3 restart with the
  // services that depend on it.
  static bool restartDaemons(const char* name, int mode);

  // Records the outcome of a manual or scheduled update of a component as an
  // event of the scanner in the central database.
  bool logKFEvent(int scannerId, QxUpdateType type, QxUpdateRet ret);
  static bool writeLogToDB(int scannerId, unsigned int eventId, std::string description);
  // Raises the installation's upload counter when this object uploaded or
  // rolled back a component.
  bool setUploadNumber();

  // Localized component titles, indexed by QxUpdateType.
  static std::string m_cpntname[kfComponentCount];

  // Engine verification adapters (src/QxKCUpdate/QxUpdateEngines.cpp). Each loads an engine
  // library from the place given, has the engine check itself or the downloaded pattern, and
  // releases the library before it returns. False on failure, with the localized reason appended
  // to msg; an empty path fails at once, without a message.
  static bool verifyByZIRAN(char* enginePath, char* patternPath, QxUpdateType type,
                            std::string& msg, QxUpdateVersion& version, ORVEL::QxResbundle* bundle);
  static bool verifyByQXUFE(const std::string& enginePath, QxUpdateVersion& version,
                            std::string& msg, ORVEL::QxResbundle* bundle);
  static bool verifyQxaseEngine(const std::string& enginePath, std::string& version,
                                std::string& msg, ORVEL::QxResbundle* bundle);
  static bool verifyQxasePattern(const std::string& enginePath, const std::string& patternPath,
                                 unsigned int& baseVersion, unsigned int& ruleVersion,
                                 std::string& msg, ORVEL::QxResbundle* bundle);
  static bool buildQXASECache(const std::string& enginePath, const std::string& patternPath,
                              const std::string& cachePath, std::string& msg,
                              ORVEL::QxResbundle* bundle);

  // Rollback and pattern clean-up (src/QxKCUpdate/QxUpdateRollback.cpp).
  // Makes the central backup of a component current again, under the download lock, and adopts
  // its version; with a scanner id above 0 the outcome is recorded as an event of that scanner.
  QxUpdateRet rollback(QxUpdateType type, int scannerId);
  // Moves the local pattern files of a virus-scan pattern type that are newer than version to
  // moveToPath.
  static bool removeNewerZIRANPtn(char* enginePath, char* patternPath, char* moveToPath,
                                  QxUpdateType type, std::string version, std::string& msg,
                                  ORVEL::QxResbundle* bundle);
  // Removes the anti-spam rule files newer than version, one base version at a time.
  static bool removeNewerQXASEPtn(char* enginePath, char* patternPath, std::string& version,
                                  std::string& msg, ORVEL::QxResbundle* bundle);

 private:
  friend class QxUpdateEnginesTestAccess;
  // Have the engines delete all but the newest keep patterns (rule sets) of the download folders;
  // -1 when the engine library cannot be loaded.
  int _doZIRANPatternCleanup(int keep);
  int _doQXASEPatternCleanup(int keep);

 private:
  friend class QxUpdateTestAccess;
  friend class QxUpdatePipelineTestAccess;

  bool _init();

  // Download driver.
  QxUpdateRet _downloadUtil(QxUpdateType type, std::string& msg, bool versionOnly);
  QxUpdateRet _doDownload(QxUpdateType type, bool versionOnly, std::string& msg);
  static int _updateProgressCallback(unsigned int item, unsigned long long done,
                                     unsigned long long total, void* userData);
  QxUpdateRet _lockedDownload(QxUpdateType type, bool withServer, const std::string& url, int port,
                              std::string& msg, bool block);
  QxUpdateRet _queryFamily(QxUpdateType type, bool withServer, const std::string& url, int port,
                           std::string& msg, std::string& version);
  void _useSource(bool withServer, const std::string& url, int port);
  int& _familyStatus(QxUpdateType type);
  bool _failOnTimedOutFamily(QxUpdateType type, std::string& msg);
  QxUpdateRet _failWithText(const char* key, std::string& msg);
  void _stageCurrentPatterns(QxUpdateType type);
  void _requireWholeRuleSet(tag_ItemInfo* items, int count);
  void _setClientProperties(QxuContext context, bool versionOnly, std::string& msg);
  int _callClient(tag_ItemInfo* items, int count, const SourceInfo& source, QxuContext context);
  int _retryWithFullPatterns(QxUpdateType type, tag_ItemInfo* items, int count,
                             const SourceInfo& source, QxuContext context);
  QxUpdateRet _reportUpToDate(QxUpdateType type, std::string& msg);
  QxUpdateRet _reportClientFailure(int result, unsigned detail, std::string& msg);
  int _processSelected(std::string& msg);

  // Update source settings (src/QxKCUpdate/QxUpdateSource.cpp). The server comes from the caller
  // and the console agent's settings in console mode, else from the product's own settings.
  int _getUpdateServerInfo(std::string& msg, bool antispam);
  int _getProxyInfo(std::string& msg);
  void _generateSrcInfo(SourceInfo& source);
  void _generateDstInfo(DestInfo& dest, const char* folder);
  void _getConsoleServerInfo();
  void _getOwnServerInfo(bool antispam);
  int _getProxyServer(bool console, std::string& msg);
  void _getConsoleProxyCredentials();
  int _getOwnProxyCredentials(std::string& msg);

  // Download item list (src/QxKCUpdate/QxUpdateItems.cpp).
  int _getDownloadInfo(QxUpdateType type, std::string& msg);
  QxUpdateRet _generateItems(tag_ItemInfo* items, int count, bool versionOnly, std::string& msg);
  // The version of each selected component the update client measures against: installed
  // (console mode) or adopted by the installation, else a fixed fallback.
  void _readCurrentVersions(std::string& msg);
  void _readCurrentVersion(int type, std::string& msg);
  void _readCurrentQxasePatterns(std::string& msg);
  bool _readAdoptedVersion(int type, QxUpdateVersion& record);

  // Incremental staging.
  bool _copyIncrementalZIRANPtn(QxUpdateType type);
  bool _copyIncrementalQXASEPtn(QxUpdateType type);
  bool _cleanKFCache();
  bool _stageZiranPatternFromCentralStore(QxUpdateType type);
  bool _stageInstalledRules(const std::string& destination);
  bool _stageCentralRules(const std::string& destination);

  // Version queries.
  int _getLocalVersionUtil(QxUpdateType type, std::string& msg, std::string& version);
  int _getDBVersionUtil(QxUpdateType type, std::string& msg, std::string& version);
  bool _verifyDBVersion(QxUpdateType type, const char* key, std::string& version);
  bool _saveVersion(tag_ItemInfo* items, int count, std::string& msg);
  // What the installed engines say: the version of a component other than the spam patterns, and
  // the base and rule version of the installed spam rules.
  bool _readInstalledVersion(int type, QxUpdateVersion& record, std::string& msg);
  bool _readInstalledRules(unsigned& base, unsigned& rule, std::string& msg);
  void _loadDBRows();
  void _adoptNewerCentralVersion(QxUpdateType type, const char* key, std::string& version);
  void _saveNumberedVersion(const tag_ItemInfo& item);
  bool _saveVersionedVersion(const tag_ItemInfo& item, std::string& msg);

  // Component processing (src/QxKCUpdate/QxUpdateProcessing.cpp): 0 or -1, with one line
  // appended to msg.
  int _processEngine(std::string& msg);
  int _processDEXAEngine(std::string& msg);
  int _processQxufeEngine(std::string& msg);
  int _processPattern(std::string& msg);
  int _processSpyware(std::string& msg);
  int _processBlkPtn(std::string& msg);
  int _processWhtPtn(std::string& msg);
  int _processCloudsiftAgentPattern(std::string& msg);
  int _processQxaseEngine(QxUpdateType type, std::string& msg);
  int _processQxasePtn(QxUpdateType type, std::string& msg);
  int _processZiranPattern(QxUpdateType type, std::string& msg);
  int _processVirusFamilyEngine(QxUpdateType type, std::string& msg);
  void _recordProcessed(const char* member, const char* versionKey, const char* dateKey,
                        const std::string& version, const std::string& timeText, const char* title,
                        std::string& msg);
  void _appendSuccess(const char* member, const char* title, const std::string& version,
                      std::string& msg);

  static long _getLanguage(const std::string& name);
  static void _getErrString(std::string& out, ORVEL::QxResbundle* bundle, const char* key);
  static std::string _getDownloadWhatMsg(int type);
  bool _reformatVersion(std::string& version);
  void _setScheduleUpdate();
  // Uploads a component file to the central database, zipped for the
  // components that travel zipped (path and name then name the archive).
  bool _KFBlob(QxUpdateType type, std::string& path, const std::string& version, std::string& name);
  int _checkScheduleMinutes(int scheduled, int now);

  // A bundle of the product's resource group for the locale; null when it
  // cannot be opened.
  static ORVEL::QxResbundle* _newBundle(const std::string& locale);
  int _readSetting(const char* key, std::string& value, const char* section = "Update");

  QxUpdatePara m_para;
  ORVEL::GlobalSettingIF m_settings;
  ORVEL::QxResbundle* m_bundle;
  int m_timeoutVirus;
  int m_timeoutAntispam;
  QxUpdateSource m_source;
  bool m_incMerge;
  bool m_dbRowsLoaded;
  std::vector<_uiKFDataNoFile> m_dbRows;
  bool m_uploaded;
  bool m_ok;
  int m_traceLevel;
  QxUpdateKind m_kind;
  bool m_scheduleDue;
  bool m_versionOnly;
  bool m_selected[kfComponentCount];
  std::string m_resultVersion[kfComponentCount];
  std::string m_home;
  std::string m_tempDir;
  std::string m_libDir;
  std::string m_binDir;
  std::string m_ziranTempDir;
  std::string m_sep;
  bool m_qxaseEngineUpToDate;
  bool m_qxasePatternUpToDate;
  bool m_qxasePatchUpToDate;

  static QxUpdate* _instance;
  static std::string _locale;
  static std::string _timeformat;
};

#pragma GCC visibility pop
