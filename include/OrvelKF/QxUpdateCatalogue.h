// The component catalogue: every scan component is known by its number, and
// every table below is indexed by that number, 0 to 10. Callers reject a number
// outside that range (and 7 where it cannot stand alone) before a lookup.
//
// Families: the anti-spam family is 5, 6 and 7; every other number belongs to
// the virus family. A version query covers a whole family; a download of 6
// also brings 7, which never travels alone.
#pragma once

#pragma GCC visibility push(default)

// The three enumerations travel as 32-bit integers and callers may pass
// numbers outside them (an unknown component, a kind of their own), which the
// operations reject or store: the fixed type makes every int a valid value.
enum QxUpdateType : int {
  SCAN_ENGINE = 0,
  VIRUS_PATTERN = 1,
  SPYWARE_PATTERN = 2,
  LUREBOX_PATTERN = 3,
  LUREBOX_EXCEPTION = 4,
  QXASE_ENGINE = 5,
  QXASE_PATTERN = 6,
  QXASE_PATCH = 7,
  QXUFE_ENGINE = 8,
  DEXA_ENGINE = 9,
  CLOUDSIFT_AGENT_PATTERN = 10,
};

enum QxUpdateRet : int {
  UP_TO_DATE = 0,
  SUCCESS = 1,
  FAIL = 2,
  NOT_DUE = 3,
  ROLLBACK_UNAVAILABLE = 4,
  SOURCE_NOT_FOUND = 5,
};

enum QxUpdateKind : int {
  MANUAL_UPDATE = 0,
  SCHEDULED_UPDATE = 1,
  CONSOLE_UPDATE = 2,
};

constexpr int kfComponentCount = 11;

inline bool kfIsKnownType(int type) { return type >= SCAN_ENGINE && type <= CLOUDSIFT_AGENT_PATTERN; }

inline bool kfIsAntiSpamFamily(int type) {
  return type == QXASE_ENGINE || type == QXASE_PATTERN || type == QXASE_PATCH;
}

// Display names, used in log lines and messages.
inline constexpr const char* kfCpntDisplayName[kfComponentCount] = {
    "Virus Engine",    "Virus Pattern",        "Spyware Pattern",          "Lurebox Pattern",
    "Lurebox Exception", "Anti-spam Engine",   "Spam Pattern",             "Spam Incremental Pattern",
    "URL Filtering Engine", "Dexa Scan Engine", "Cloudsift Agent Pattern",
};

// Plain titles, shown when the resource bundle has no localized title.
inline constexpr const char* kfCpntPlainTitle[kfComponentCount] = {
    "ScanEngine",     "VirusPattern",          "SpywarePattern",     "LureboxPattern",
    "LureboxException", "AntispamEngine",      "SpamPattern",        "SpamIncrementalPattern",
    "URLFilteringEngine", "DEXAScanEngine",    "CloudsiftAgentPattern",
};

// Keys of section "update" of the scanner information file: installed version
// and time of installation.
inline constexpr const char* kfScannerInfoVersionKey[kfComponentCount] = {
    "virus_engine_version",      "virus_pattern_version",  "spyware_pattern_version",
    "lurebox_pattern_version",   "lurebox_exception_version", "spam_engine_version",
    "spam_pattern_version",      "spam_patch_version",     "url_filter_engine_version",
    "dexa_engine_version",       "cloudsift_agent_pattern_version",
};
inline constexpr const char* kfScannerInfoTimeKey[kfComponentCount] = {
    "virus_engine_timestamp",    "virus_pattern_timestamp", "spyware_pattern_timestamp",
    "lurebox_pattern_timestamp", "lurebox_exception_timestamp", "spam_engine_timestamp",
    "spam_pattern_timestamp",    "spam_patch_timestamp",   "url_filter_engine_timestamp",
    "dexa_engine_timestamp",     "cloudsift_agent_pattern_timestamp",
};

// Global-setting keys (section "Update", file "orvel.ini") of the version the
// whole installation has adopted.
inline constexpr const char* kfGlobalVersionKey[kfComponentCount] = {
    "VersionVirusEngine",    "VersionVirusPattern", "VersionSpywarePattern", "VersionLureboxPattern",
    "VersionLureboxException", "VersionQXASEEngine", "VersionQXASEPattern",  "VersionQXASEPatch",
    "VersionQXUFEEngine",    "VersionDEXAEngine",   "VersionCloudsiftAgentPattern",
};

// Resource keys of the localized component titles.
inline constexpr const char* kfCpntTitleKey[kfComponentCount] = {
    "KF_CPNT_TITLE_SCAN_ENGINE",     "KF_CPNT_TITLE_VIRUS_PATTERN",
    "KF_CPNT_TITLE_SPYWARE_PATTERN", "KF_CPNT_TITLE_LUREBOX_PATTERN",
    "KF_CPNT_TITLE_LUREBOX_EXCEPTION", "KF_CPNT_TITLE_QXASE_ENGINE",
    "KF_CPNT_TITLE_QXASE_PATTERN",   "KF_CPNT_TITLE_QXASE_PATCH",
    "KF_CPNT_TITLE_QXUFE_ENGINE",    "KF_CPNT_TITLE_DEXA_ENGINE",
    "KF_CPNT_TITLE_CLOUDSIFT_AGENT_PATTERN",
};

// Resource keys of the event messages: six blocks of eleven, indexed
// block * 11 + type. Blocks: manual success, manual failed, schedule success,
// schedule failed, rollback success, rollback failed.
enum KFEventBlock {
  KF_EVENT_MANUAL_SUCCESS = 0,
  KF_EVENT_MANUAL_FAILED = 1,
  KF_EVENT_SCHEDULE_SUCCESS = 2,
  KF_EVENT_SCHEDULE_FAILED = 3,
  KF_EVENT_ROLLBACK_SUCCESS = 4,
  KF_EVENT_ROLLBACK_FAILED = 5,
};
constexpr int kfEventBlockCount = 6;

#define KF_EVENT_KEYS(MODE, OUTCOME)                                                            \
  "KF_" MODE "_ZIRAN_ENGINE_" OUTCOME, "KF_" MODE "_ZIRAN_PATTERN_" OUTCOME,                    \
      "KF_" MODE "_SPYWARE_PATTERN_" OUTCOME, "KF_" MODE "_LUREBOX_PATTERN_" OUTCOME,           \
      "KF_" MODE "_LUREBOX_EXCEPTION_" OUTCOME, "KF_" MODE "_QXASE_ENGINE_" OUTCOME,            \
      "KF_" MODE "_QXASE_PATTERN_" OUTCOME, "KF_" MODE "_QXASE_PTN_PATCH_" OUTCOME,             \
      "KF_" MODE "_QXUFE_ENGINE_" OUTCOME, "KF_" MODE "_DEXA_ENGINE_" OUTCOME,                  \
      "KF_" MODE "_CLOUDSIFT_PATTERN_" OUTCOME
inline constexpr const char* kfEventKey[kfEventBlockCount * kfComponentCount] = {
    KF_EVENT_KEYS("MANUAL", "SUCCESS"),   KF_EVENT_KEYS("MANUAL", "FAILED"),
    KF_EVENT_KEYS("SCHEDULE", "SUCCESS"), KF_EVENT_KEYS("SCHEDULE", "FAILED"),
    KF_EVENT_KEYS("ROLLBACK", "SUCCESS"), KF_EVENT_KEYS("ROLLBACK", "FAILED"),
};
#undef KF_EVENT_KEYS

inline const char* kfEventKeyOf(KFEventBlock block, int type) {
  return kfEventKey[block * kfComponentCount + type];
}

// What is being fetched, for download log lines and messages.
inline constexpr const char* kfDownloadWhat[kfComponentCount] = {
    "scan engine",      "virus pattern",  "spyware pattern",          "lurebox pattern",
    "lurebox exceptions", "anti-spam engine", "spam pattern",          "spam incremental pattern",
    "URL filtering engine", "dexa engine", "Cloudsift agent pattern",
};
inline constexpr const char* kfUnknownDownloadWhat = "unknown download type";

#pragma GCC visibility pop
