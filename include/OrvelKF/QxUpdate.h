// QxUpdate: the one update object of a process.
//
// How an update travels through the library:
//
//   caller ──> QxUpdate::Instance(kind)            the object and its configuration
//                │                                  (src/QxKCUpdate/QxUpdateLifecycle.cpp)
//                ├─ schedule decision               is a scheduled update due now?
//                │                                  (src/QxKCUpdate/QxUpdateSchedule.cpp)
//                ├─ download driver                 lock file, item list, update client
//                │     └─ update client binding     "QxUpdate.dll" loaded at run time
//                ├─ component processing            verify with the engine, install locally,
//                │     ├─ engine adapters           upload to the central database
//                │     ├─ local installation
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

  // The version the last operation left for a component. FAIL for an
  // unknown type and for the spam incremental pattern, which has none of its
  // own (it is part of the spam pattern's version).
  QxUpdateRet getResultVersion(QxUpdateType type, std::string& version);

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
                            std::string& msg, QxUpdateVersion& version,
                            ORVEL::QxResbundle* bundle);
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

  bool _init();
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
