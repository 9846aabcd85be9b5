// The binding of the update client library "QxUpdate.dll" (declared in QxUpdateClient.h).
//
// The client is loaded at run time from the product's "bin" folder; its 45 entry points are bound
// by name and the library keeps one reference count for the whole process:
//
//   loadUpdateClient / ensureUpdateClient   take a reference, loading the client at the first
//   releaseUpdateClient                     drops one, freeing the client at the last
//
// Loads and releases are serialised by a loader lock private to the process. QxUpdateInit
// (QxUpdateInit.h) holds a reference for a process's update work.
//
// The rest of the library reaches the client through the forwarders below, one per entry point,
// with the entry point's own name and arguments:
//
//   counted   takes a reference for the length of the call, loading the client from the current
//             working folder when nobody holds it; when it cannot load it returns
//             kUpdateClientUnavailable (QxuGetErrorString: 0) without calling the client.
//   direct    calls straight through without touching the count; meant for the time the caller
//             holds its own reference (a download). With the client not loaded it returns 0, a
//             null context or an empty version text.
//
// The forwarders live in namespace ORVEL with C++ linkage: the C names belong to the client, and
// a library exporting the same C names would capture the client's calls to its own entry points
// (ELF resolves them through the global scope first).
#pragma once

#include "OrvelKF/QxUpdateClient.h"

#pragma GCC visibility push(default)

// Results of loadUpdateClient.
constexpr int kUpdateClientLoaded = 0;             // loaded, or one more reference taken
constexpr int kUpdateClientBadLibraryFolder = 1;   // not resolvable, or not an existing folder
constexpr int kUpdateClientBadWorkingFolder = 2;   // given, but not resolvable or not a folder
constexpr int kUpdateClientNoLibrary = 3;          // "QxUpdate.dll" cannot be loaded
constexpr int kUpdateClientMissingEntryPoint = 4;  // a required entry point is not exported
constexpr int kUpdateClientLibraryRefused = 5;     // "KiteFeedLib_FromLoader" refused
constexpr int kUpdateClientPathRefused = 6;        // "KiteFeedPath_FromLoader" refused
constexpr int kUpdateClientNoLock = 7;             // the loader lock cannot be had

// What a counted forwarder returns when the client cannot be loaded (or, with a client that does
// not export QxuClearCacheEx, for that forwarder).
constexpr int kUpdateClientUnavailable = 53;

// Loads the client from libraryFolder (null or empty: "./"), or takes one more reference when it
// is loaded already (the folders are then only checked). workingFolder, when not empty, is handed
// to the client as its working folder; otherwise the library folder is. Every result 0 must be
// matched by one releaseUpdateClient.
int loadUpdateClient(const char* libraryFolder, const char* workingFolder);

// loadUpdateClient with folder as library and working folder; true on 0.
bool ensureUpdateClient(const char* folder);

// Drops one reference; the last one frees the client. Does nothing when no reference is held.
void releaseUpdateClient();

// Frees the client and clears every entry pointer at once, whatever the count says. The loader
// itself uses it when a load fails half-way; a caller holding references should not.
void unloadUpdateClient();

namespace ORVEL {

// Direct forwarders: QxuGetVersion, QxuSetProperty, QxuCreateContext, QxuReleaseContext,
// QxuSetPropertyEx, QxuGetPropertyEx. Every other forwarder is counted.
const char* QxuGetVersion();
int QxuUpdate(tag_ItemInfo* pItems, unsigned int uiCount, const SourceInfo* pSource,
              unsigned int uiOption, QxuProgressCallback pfnProgress, void* pUserData);
int QxuDuplicate(const char* pszSource, const char* pszDestFolder);
int QxuRollback(tag_ItemInfo* pItem);
int QxuIsRollbackable(const tag_ItemInfo* pItem);
int QxuGetErrorString(int iCode, char* pszBuffer, int iSize);
int QxuSetProperty(const char* pszName, const char* pszValue);
int QxuGetConfig(const char* pszKey, char* pszValue, int iSize);
int QxuSetConfig(const char* pszKey, const char* pszValue);
int QxuGetRollbackInfo(tag_ItemInfo* pItem);
int QxuGetServer(char* pszBuffer, int iSize);
int QxuMakeVersionString(unsigned int uiVersion, char* pszBuffer, int iSize);
int QxuMakeVersion(const char* pszVersion, unsigned int* puiVersion);
int QxuClearCache();
int QxuGetPatternVer(unsigned int uiItemId, unsigned int* puiVersion);
int QxuGetEngineVer(unsigned int uiItemId, QxuVersionBuild* pVersion);
int QxuGetPatternVerEx(unsigned int uiItemId, unsigned int uiPlatform, unsigned int* puiVersion,
                       QxuContext pContext);
int QxuGetEngineVerEx(unsigned int uiItemId, unsigned int uiPlatform, QxuVersionBuild* pVersion,
                      QxuContext pContext);
int CreateServerIni(const char* pszPath);
int QxuGetPatchInfo(tag_ItemInfo* pItem, char* pszBuffer, int iSize);
int SetImpersonateHandle(void* hToken);
QxuContext QxuCreateContext(unsigned int uiReserved);
int QxuReleaseContext(QxuContext pContext);
int QxuMakeVersionBuildString(unsigned int uiMajor, unsigned int uiMinor, unsigned int uiBuild,
                              char* pszBuffer, int iSize);
// Returns a zero version (0.0.0) when the client cannot be loaded.
QxuVersionBuild QxuMakeVersionBuild(const char* pszVersion);
int QxuUpdateEx(tag_ItemInfo* pItems, unsigned int uiCount, const SourceInfo* pSource,
                unsigned int uiOption, QxuProgressCallback pfnProgress, void* pUserData,
                QxuContext pContext);
int QxuGetRollbackInfoEx(tag_ItemInfo* pItem, QxuContext pContext);
int QxuRollbackEx(tag_ItemInfo* pItem, QxuContext pContext);
int QxuGetPatchInfoEx(tag_ItemInfo* pItem, char* pszBuffer, int iSize, QxuContext pContext);
int QxuSetPropertyEx(const char* pszName, const char* pszValue, QxuContext pContext);
int QxuGetPropertyEx(const char* pszName, char* pszBuffer, int iSize, QxuContext pContext);
int QxuAddTrusted(const char* pszKey);
int QxuDelTrusted(const char* pszKeyId);
int QxuEnumTrustedInfo(unsigned int uiIndex, char* pszKeyId, int iSize);
int QxuDmpTrusted(const char* pszFile);
int QxuClearCacheEx(const char* pszSource);
int QxuGetLastError(QxuErrorInfo* pError, QxuContext pContext);
int QxuDuplicateEx(const char* pszSource, const char* pszDestFolder, QxuContext pContext);
int QxuGetUpdateInfo(tag_ItemInfo* pItems, unsigned int uiCount, QxuContext pContext);
int QxuGetServerInfo(char* pszBuffer, int iSize, QxuContext pContext);
int QxuMakeZiranPtnVersion(const char* pszVersion, unsigned int* puiNumber);
int QxuMakeZiranPtnVersionString(unsigned int uiNumber, char* pszBuffer, int iSize);
int QxuReloadSetting(QxuContext pContext);
int QxuGetIncrementalInfo(const tag_ItemInfo* pItem, QxuContext pContext);
int QxuUnpublished();

}  // namespace ORVEL

#pragma GCC visibility pop
