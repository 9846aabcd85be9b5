#include "OrvelKF/QxUpdateClientBinding.h"

#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "OrvelCommon/BoundedCopy.h"
#include "OrvelKF/QxUpdateInit.h"
#include "OrvelPlatform/DynamicLibrary.h"
#include "OrvelPlatform/NamedMutex.h"
#include "OrvelPlatform/Path.h"
#include "QxUpdateClientBindingInternal.h"
#include "QxUpdateClientEntryPoints.h"

namespace ORVEL {
namespace clientbinding {

namespace {

enum EntryIndex : int {
#define ORVEL_QXU_INDEX(name, required) k##name,
  ORVEL_QXU_ENTRY_POINTS(ORVEL_QXU_INDEX)
#undef ORVEL_QXU_INDEX
      kEntryPointCount
};

struct EntryPoint {
  const char* name;
  bool required;
};

constexpr EntryPoint kEntryPoints[kEntryPointCount] = {
#define ORVEL_QXU_ROW(name, required) {#name, required},
    ORVEL_QXU_ENTRY_POINTS(ORVEL_QXU_ROW)
#undef ORVEL_QXU_ROW
};
static_assert(kEntryPointCount == 45, "the update client has 45 entry points");

// Process-wide loader state. The handle and the count change only under the loader lock. The
// pointers are atomic because direct forwarders read them without the lock; while a caller holds
// a reference they do not change.
struct LoaderState {
  OrvelPlatform::LibraryHandle module = nullptr;
  std::atomic<void*> entries[kEntryPointCount] = {};
  std::uint32_t references = 0;
};
LoaderState g_loader;

bool isSeparator(char c) { return c == '\\' || c == '/'; }

bool beginsWith(const char* text, const char* prefix) {
  return std::strncmp(text, prefix, std::strlen(prefix)) == 0;
}

// Holds the loader lock for one scope.
class LoaderLock {
 public:
  bool acquire() {
    char name[64];
    loaderLockName(name, sizeof name);
    return m_mutex.acquire(name);
  }

 private:
  OrvelPlatform::NamedMutex m_mutex;
};

// Opens the library file of folder. The second attempt with "\" appended goes to the same file
// when the join adds the separator itself; a folder with no room for it gets no second attempt.
OrvelPlatform::LibraryHandle openClientFile(const char* folder) {
  char path[kPathCapacity];
  OrvelPlatform::LibraryHandle module = nullptr;
  if (joinPath(folder, kClientFileName, path, sizeof path))
    module = OrvelPlatform::loadLibrary(path);
  if (module || std::strlen(folder) + 1 >= kPathCapacity) return module;
  char retryFolder[kPathCapacity];
  ORVEL::boundedCopy(retryFolder, sizeof retryFolder, folder);
  ORVEL::boundedAppend(retryFolder, sizeof retryFolder, "\\");
  if (!joinPath(retryFolder, kClientFileName, path, sizeof path)) return nullptr;
  return OrvelPlatform::loadLibrary(path);
}

// Frees the library and clears every pointer; the caller holds the loader lock.
void unloadLocked() {
  for (auto& entry : g_loader.entries) entry.store(nullptr);
  OrvelPlatform::LibraryHandle module = g_loader.module;
  g_loader.module = nullptr;
  if (module) OrvelPlatform::freeLibrary(module);
}

// Looks up every entry point in table order; false when a required one is missing.
bool bindEntryPoints() {
  bool complete = true;
  for (int i = 0; i < kEntryPointCount; ++i) {
    void* symbol = OrvelPlatform::findSymbol(g_loader.module, kEntryPoints[i].name);
    g_loader.entries[i].store(symbol);
    if (!symbol && kEntryPoints[i].required) complete = false;
  }
  return complete;
}

template <typename Function>
Function entryPointer(EntryIndex index) {
  return reinterpret_cast<Function>(g_loader.entries[index].load());
}

// Gives back the reference of a counted call on every path.
struct ReleaseOnExit {
  ~ReleaseOnExit() { releaseUpdateClient(); }
};

// The reference held for the call keeps the client, and with it the pointer, in place until the
// call returns. An optional entry point the client lacks answers like an unavailable client.
template <typename Function, typename Result, typename... Args>
Result callCounted(EntryIndex index, Result fallback, Args... args) {
  if (loadUpdateClient(nullptr, nullptr) != kUpdateClientLoaded) return fallback;
  ReleaseOnExit release;
  Function entry = entryPointer<Function>(index);
  return entry ? entry(args...) : fallback;
}

template <typename Function, typename Result, typename... Args>
Result callDirect(EntryIndex index, Result fallback, Args... args) {
  Function entry = entryPointer<Function>(index);
  return entry ? entry(args...) : fallback;
}

}  // namespace

bool resolveFolder(const char* folder, char* out, std::size_t capacity) {
  if (!out || capacity == 0) return false;
  out[0] = '\0';
  if (!folder || !*folder) return false;
  std::unique_ptr<char, decltype(&std::free)> absolute(
      realpath(OrvelPlatform::toOsPath(folder).c_str(), nullptr), &std::free);
  if (!absolute || std::strlen(absolute.get()) >= capacity) return false;
  std::string tested = absolute.get();
  if (tested.size() > 1 && isSeparator(tested.back())) tested.pop_back();
  struct stat status;
  if (stat(OrvelPlatform::toOsPath(tested).c_str(), &status) != 0 || !S_ISDIR(status.st_mode))
    return false;
  ORVEL::boundedCopy(out, capacity, absolute.get());
  return true;
}

bool joinPath(const char* folder, const char* name, char* out, std::size_t capacity) {
  if (!out || capacity == 0) return false;
  out[0] = '\0';
  if (!folder || !name) return false;
  const bool remote = beginsWith(folder, "http://") || beginsWith(folder, "https://") ||
                      beginsWith(folder, "ftp://");
  const char separator = remote ? '/' : '\\';
  std::string joined = folder;
  if (!joined.empty() && !isSeparator(joined.back())) joined += separator;
  joined += name;
  for (char& c : joined)
    if (isSeparator(c)) c = separator;
  if (joined.size() >= capacity) return false;
  ORVEL::boundedCopy(out, capacity, joined.c_str());
  return true;
}

void loaderLockName(char* out, std::size_t capacity) {
  std::snprintf(out, capacity, "QX_KF_%s_%x", "///LOADER", static_cast<unsigned>(getpid()));
  for (char* c = out; *c; ++c)
    if (*c == '\\') *c = '/';
}

unsigned referenceCount() {
  LoaderLock lock;
  lock.acquire();
  return g_loader.references;
}

bool clientLoaded() {
  LoaderLock lock;
  lock.acquire();
  return g_loader.module != nullptr;
}

int boundEntryCount() {
  int bound = 0;
  for (const auto& entry : g_loader.entries)
    if (entry.load()) ++bound;
  return bound;
}

bool entryBound(const char* name) {
  for (int i = 0; i < kEntryPointCount; ++i)
    if (std::strcmp(kEntryPoints[i].name, name) == 0) return g_loader.entries[i].load() != nullptr;
  return false;
}

}  // namespace clientbinding
}  // namespace ORVEL

namespace cb = ORVEL::clientbinding;

int loadUpdateClient(const char* libraryFolder, const char* workingFolder) {
  const char* folder = libraryFolder && *libraryFolder ? libraryFolder : "./";
  char absoluteFolder[cb::kPathCapacity];
  if (!cb::resolveFolder(folder, absoluteFolder, sizeof absoluteFolder))
    return kUpdateClientBadLibraryFolder;
  char absoluteWorking[cb::kPathCapacity] = "";
  const bool workingGiven = workingFolder && *workingFolder;
  if (workingGiven && !cb::resolveFolder(workingFolder, absoluteWorking, sizeof absoluteWorking))
    return kUpdateClientBadWorkingFolder;

  cb::LoaderLock lock;
  if (!lock.acquire()) return kUpdateClientNoLock;
  if (cb::g_loader.module) {
    ++cb::g_loader.references;
    return kUpdateClientLoaded;
  }
  cb::g_loader.module = cb::openClientFile(absoluteFolder);
  if (!cb::g_loader.module) return kUpdateClientNoLibrary;
  if (!cb::bindEntryPoints()) {
    cb::unloadLocked();
    return kUpdateClientMissingEntryPoint;
  }
  auto setProperty = cb::entryPointer<decltype(&::QxuSetProperty)>(cb::kQxuSetProperty);
  if (setProperty("KiteFeedLib_FromLoader", absoluteFolder) == 0) {
    cb::unloadLocked();
    return kUpdateClientLibraryRefused;
  }
  if (setProperty("KiteFeedPath_FromLoader", workingGiven ? absoluteWorking : absoluteFolder) ==
      0) {
    cb::unloadLocked();
    return kUpdateClientPathRefused;
  }
  cb::g_loader.references = 1;
  return kUpdateClientLoaded;
}

bool ensureUpdateClient(const char* folder) {
  return loadUpdateClient(folder, folder) == kUpdateClientLoaded;
}

void releaseUpdateClient() {
  cb::LoaderLock lock;
  if (!lock.acquire()) return;
  // A release without a load would wrap the count and keep the library for good.
  if (cb::g_loader.references == 0) return;
  if (cb::g_loader.references-- == 1) cb::unloadLocked();
}

void unloadUpdateClient() {
  cb::LoaderLock lock;
  if (!lock.acquire()) return;
  cb::unloadLocked();
}
namespace ORVEL {

const char* QxuGetVersion() {
  return cb::callDirect<decltype(&::QxuGetVersion)>(cb::kQxuGetVersion,
                                                    static_cast<const char*>(""));
}

int QxuUpdate(tag_ItemInfo* pItems, unsigned int uiCount, const SourceInfo* pSource,
              unsigned int uiOption, QxuProgressCallback pfnProgress, void* pUserData) {
  return cb::callCounted<decltype(&::QxuUpdate)>(cb::kQxuUpdate, kUpdateClientUnavailable, pItems,
                                                 uiCount, pSource, uiOption, pfnProgress,
                                                 pUserData);
}

int QxuDuplicate(const char* pszSource, const char* pszDestFolder) {
  return cb::callCounted<decltype(&::QxuDuplicate)>(cb::kQxuDuplicate, kUpdateClientUnavailable,
                                                    pszSource, pszDestFolder);
}

int QxuRollback(tag_ItemInfo* pItem) {
  return cb::callCounted<decltype(&::QxuRollback)>(cb::kQxuRollback, kUpdateClientUnavailable,
                                                   pItem);
}

int QxuIsRollbackable(const tag_ItemInfo* pItem) {
  return cb::callCounted<decltype(&::QxuIsRollbackable)>(cb::kQxuIsRollbackable,
                                                         kUpdateClientUnavailable, pItem);
}

int QxuGetErrorString(int iCode, char* pszBuffer, int iSize) {
  return cb::callCounted<decltype(&::QxuGetErrorString)>(cb::kQxuGetErrorString, 0, iCode,
                                                         pszBuffer, iSize);
}

int QxuSetProperty(const char* pszName, const char* pszValue) {
  return cb::callDirect<decltype(&::QxuSetProperty)>(cb::kQxuSetProperty, 0, pszName, pszValue);
}

int QxuGetConfig(const char* pszKey, char* pszValue, int iSize) {
  return cb::callCounted<decltype(&::QxuGetConfig)>(cb::kQxuGetConfig, kUpdateClientUnavailable,
                                                    pszKey, pszValue, iSize);
}

int QxuSetConfig(const char* pszKey, const char* pszValue) {
  return cb::callCounted<decltype(&::QxuSetConfig)>(cb::kQxuSetConfig, kUpdateClientUnavailable,
                                                    pszKey, pszValue);
}

int QxuGetRollbackInfo(tag_ItemInfo* pItem) {
  return cb::callCounted<decltype(&::QxuGetRollbackInfo)>(cb::kQxuGetRollbackInfo,
                                                          kUpdateClientUnavailable, pItem);
}

int QxuGetServer(char* pszBuffer, int iSize) {
  return cb::callCounted<decltype(&::QxuGetServer)>(cb::kQxuGetServer, kUpdateClientUnavailable,
                                                    pszBuffer, iSize);
}

int QxuMakeVersionString(unsigned int uiVersion, char* pszBuffer, int iSize) {
  return cb::callCounted<decltype(&::QxuMakeVersionString)>(
      cb::kQxuMakeVersionString, kUpdateClientUnavailable, uiVersion, pszBuffer, iSize);
}

int QxuMakeVersion(const char* pszVersion, unsigned int* puiVersion) {
  return cb::callCounted<decltype(&::QxuMakeVersion)>(cb::kQxuMakeVersion, kUpdateClientUnavailable,
                                                      pszVersion, puiVersion);
}

int QxuClearCache() {
  return cb::callCounted<decltype(&::QxuClearCache)>(cb::kQxuClearCache, kUpdateClientUnavailable);
}

int QxuGetPatternVer(unsigned int uiItemId, unsigned int* puiVersion) {
  return cb::callCounted<decltype(&::QxuGetPatternVer)>(
      cb::kQxuGetPatternVer, kUpdateClientUnavailable, uiItemId, puiVersion);
}

int QxuGetEngineVer(unsigned int uiItemId, QxuVersionBuild* pVersion) {
  return cb::callCounted<decltype(&::QxuGetEngineVer)>(
      cb::kQxuGetEngineVer, kUpdateClientUnavailable, uiItemId, pVersion);
}

int QxuGetPatternVerEx(unsigned int uiItemId, unsigned int uiPlatform, unsigned int* puiVersion,
                       QxuContext pContext) {
  return cb::callCounted<decltype(&::QxuGetPatternVerEx)>(cb::kQxuGetPatternVerEx,
                                                          kUpdateClientUnavailable, uiItemId,
                                                          uiPlatform, puiVersion, pContext);
}

int QxuGetEngineVerEx(unsigned int uiItemId, unsigned int uiPlatform, QxuVersionBuild* pVersion,
                      QxuContext pContext) {
  return cb::callCounted<decltype(&::QxuGetEngineVerEx)>(
      cb::kQxuGetEngineVerEx, kUpdateClientUnavailable, uiItemId, uiPlatform, pVersion, pContext);
}

int CreateServerIni(const char* pszPath) {
  return cb::callCounted<decltype(&::CreateServerIni)>(cb::kCreateServerIni,
                                                       kUpdateClientUnavailable, pszPath);
}

int QxuGetPatchInfo(tag_ItemInfo* pItem, char* pszBuffer, int iSize) {
  return cb::callCounted<decltype(&::QxuGetPatchInfo)>(
      cb::kQxuGetPatchInfo, kUpdateClientUnavailable, pItem, pszBuffer, iSize);
}

int SetImpersonateHandle(void* hToken) {
  return cb::callCounted<decltype(&::SetImpersonateHandle)>(cb::kSetImpersonateHandle,
                                                            kUpdateClientUnavailable, hToken);
}

QxuContext QxuCreateContext(unsigned int uiReserved) {
  return cb::callDirect<decltype(&::QxuCreateContext)>(
      cb::kQxuCreateContext, static_cast<QxuContext>(nullptr), uiReserved);
}

int QxuReleaseContext(QxuContext pContext) {
  return cb::callDirect<decltype(&::QxuReleaseContext)>(cb::kQxuReleaseContext, 0, pContext);
}

int QxuMakeVersionBuildString(unsigned int uiMajor, unsigned int uiMinor, unsigned int uiBuild,
                              char* pszBuffer, int iSize) {
  return cb::callCounted<decltype(&::QxuMakeVersionBuildString)>(
      cb::kQxuMakeVersionBuildString, kUpdateClientUnavailable, uiMajor, uiMinor, uiBuild,
      pszBuffer, iSize);
}

QxuVersionBuild QxuMakeVersionBuild(const char* pszVersion) {
  return cb::callCounted<decltype(&::QxuMakeVersionBuild)>(cb::kQxuMakeVersionBuild,
                                                           QxuVersionBuild{}, pszVersion);
}

int QxuUpdateEx(tag_ItemInfo* pItems, unsigned int uiCount, const SourceInfo* pSource,
                unsigned int uiOption, QxuProgressCallback pfnProgress, void* pUserData,
                QxuContext pContext) {
  return cb::callCounted<decltype(&::QxuUpdateEx)>(cb::kQxuUpdateEx, kUpdateClientUnavailable,
                                                   pItems, uiCount, pSource, uiOption, pfnProgress,
                                                   pUserData, pContext);
}

int QxuGetRollbackInfoEx(tag_ItemInfo* pItem, QxuContext pContext) {
  return cb::callCounted<decltype(&::QxuGetRollbackInfoEx)>(
      cb::kQxuGetRollbackInfoEx, kUpdateClientUnavailable, pItem, pContext);
}

int QxuRollbackEx(tag_ItemInfo* pItem, QxuContext pContext) {
  return cb::callCounted<decltype(&::QxuRollbackEx)>(cb::kQxuRollbackEx, kUpdateClientUnavailable,
                                                     pItem, pContext);
}

int QxuGetPatchInfoEx(tag_ItemInfo* pItem, char* pszBuffer, int iSize, QxuContext pContext) {
  return cb::callCounted<decltype(&::QxuGetPatchInfoEx)>(
      cb::kQxuGetPatchInfoEx, kUpdateClientUnavailable, pItem, pszBuffer, iSize, pContext);
}

int QxuSetPropertyEx(const char* pszName, const char* pszValue, QxuContext pContext) {
  return cb::callDirect<decltype(&::QxuSetPropertyEx)>(cb::kQxuSetPropertyEx, 0, pszName, pszValue,
                                                       pContext);
}

int QxuGetPropertyEx(const char* pszName, char* pszBuffer, int iSize, QxuContext pContext) {
  return cb::callDirect<decltype(&::QxuGetPropertyEx)>(cb::kQxuGetPropertyEx, 0, pszName, pszBuffer,
                                                       iSize, pContext);
}

int QxuAddTrusted(const char* pszKey) {
  return cb::callCounted<decltype(&::QxuAddTrusted)>(cb::kQxuAddTrusted, kUpdateClientUnavailable,
                                                     pszKey);
}

int QxuDelTrusted(const char* pszKeyId) {
  return cb::callCounted<decltype(&::QxuDelTrusted)>(cb::kQxuDelTrusted, kUpdateClientUnavailable,
                                                     pszKeyId);
}

int QxuEnumTrustedInfo(unsigned int uiIndex, char* pszKeyId, int iSize) {
  return cb::callCounted<decltype(&::QxuEnumTrustedInfo)>(
      cb::kQxuEnumTrustedInfo, kUpdateClientUnavailable, uiIndex, pszKeyId, iSize);
}

int QxuDmpTrusted(const char* pszFile) {
  return cb::callCounted<decltype(&::QxuDmpTrusted)>(cb::kQxuDmpTrusted, kUpdateClientUnavailable,
                                                     pszFile);
}

int QxuClearCacheEx(const char* pszSource) {
  return cb::callCounted<decltype(&::QxuClearCacheEx)>(cb::kQxuClearCacheEx,
                                                       kUpdateClientUnavailable, pszSource);
}

int QxuGetLastError(QxuErrorInfo* pError, QxuContext pContext) {
  return cb::callCounted<decltype(&::QxuGetLastError)>(cb::kQxuGetLastError,
                                                       kUpdateClientUnavailable, pError, pContext);
}

int QxuDuplicateEx(const char* pszSource, const char* pszDestFolder, QxuContext pContext) {
  return cb::callCounted<decltype(&::QxuDuplicateEx)>(cb::kQxuDuplicateEx, kUpdateClientUnavailable,
                                                      pszSource, pszDestFolder, pContext);
}

int QxuGetUpdateInfo(tag_ItemInfo* pItems, unsigned int uiCount, QxuContext pContext) {
  return cb::callCounted<decltype(&::QxuGetUpdateInfo)>(
      cb::kQxuGetUpdateInfo, kUpdateClientUnavailable, pItems, uiCount, pContext);
}

int QxuGetServerInfo(char* pszBuffer, int iSize, QxuContext pContext) {
  return cb::callCounted<decltype(&::QxuGetServerInfo)>(
      cb::kQxuGetServerInfo, kUpdateClientUnavailable, pszBuffer, iSize, pContext);
}

int QxuMakeZiranPtnVersion(const char* pszVersion, unsigned int* puiNumber) {
  return cb::callCounted<decltype(&::QxuMakeZiranPtnVersion)>(
      cb::kQxuMakeZiranPtnVersion, kUpdateClientUnavailable, pszVersion, puiNumber);
}

int QxuMakeZiranPtnVersionString(unsigned int uiNumber, char* pszBuffer, int iSize) {
  return cb::callCounted<decltype(&::QxuMakeZiranPtnVersionString)>(
      cb::kQxuMakeZiranPtnVersionString, kUpdateClientUnavailable, uiNumber, pszBuffer, iSize);
}

int QxuReloadSetting(QxuContext pContext) {
  return cb::callCounted<decltype(&::QxuReloadSetting)>(cb::kQxuReloadSetting,
                                                        kUpdateClientUnavailable, pContext);
}

int QxuGetIncrementalInfo(const tag_ItemInfo* pItem, QxuContext pContext) {
  return cb::callCounted<decltype(&::QxuGetIncrementalInfo)>(
      cb::kQxuGetIncrementalInfo, kUpdateClientUnavailable, pItem, pContext);
}

int QxuUnpublished() {
  return cb::callCounted<decltype(&::QxuUnpublished)>(cb::kQxuUnpublished,
                                                      kUpdateClientUnavailable);
}

}  // namespace ORVEL

namespace {

void writeToConsole(const char* text) {
  std::fputs(text, stdout);
  std::fflush(stdout);
}

}  // namespace

QxUpdateInit::QxUpdateInit() : m_ok(true), m_sep("\\"), m_references(0) {
  // An empty value is as good as none: "\bin" would name a folder of the system.
  const char* home = std::getenv("ORVEL_HOME");
  if (!home || !*home) {
    writeToConsole("Unable to get ORVEL_HOME");
    m_ok = false;
    return;
  }
  if (!_load(home)) {
    writeToConsole("Load KF failed\n");
    m_ok = false;
  }
}

QxUpdateInit::~QxUpdateInit() {
  for (; m_references > 0; --m_references) releaseUpdateClient();
}

bool QxUpdateInit::Init(const std::string& home) {
  m_sep = "\\";
  if (_load(home)) return true;
  writeToConsole("Load KF Library failed\n");
  m_ok = false;
  return false;
}

bool QxUpdateInit::_load(const std::string& home) {
  if (!ensureUpdateClient((home + m_sep + "bin").c_str())) return false;
  ++m_references;
  return true;
}
