// The 45 entry points of "QxUpdate.dll". Each one checks its arguments, does
// its work inside an exception barrier and answers with a code; nothing is
// thrown across the C interface.
#include <new>
#include <string>

#include "ClientError.h"
#include "OrvelKF/QxUpdateClient.h"
#include "OrvelPlatform/Path.h"
#include "Settings.h"
#include "UpdateSession.h"
#include "WorkFolder.h"
#include "feed/FeedCrypto.h"
#include "feed/FeedFiles.h"

using namespace QxuClient;

namespace {

constexpr const char* kClientVersion = "1.0.0";

template <typename Work>
int guarded(Work&& work) {
  try {
    return work();
  } catch (const ClientError& e) {
    return e.result();
  } catch (...) {
    return QXU_E_INTERNAL;
  }
}

// Copies text into a caller's buffer, cutting at a UTF-8 character boundary.
// Returns the bytes copied; *cut tells whether the text had to be shortened.
int copyText(const std::string& text, char* buffer, int size, bool* cut = nullptr) {
  if (!buffer || size < 1) return 0;
  std::size_t n = text.size();
  const bool shortened = n > static_cast<std::size_t>(size - 1);
  if (shortened) {
    n = static_cast<std::size_t>(size - 1);
    while (n > 0 && (static_cast<unsigned char>(text[n]) & 0xC0) == 0x80) --n;
  }
  text.copy(buffer, n);
  buffer[n] = '\0';
  if (cut) *cut = shortened;
  return static_cast<int>(n);
}

int textResult(const std::string& text, char* buffer, int size) {
  if (!buffer || size < 1) return QXU_E_INVALID_ARGUMENT;
  bool cut = false;
  copyText(text, buffer, size, &cut);
  return cut ? QXU_E_BUFFER_TOO_SMALL : QXU_OK;
}

std::string versionBuildText(unsigned major, unsigned minor, unsigned build) {
  return std::to_string(major) + "." + std::to_string(minor) + "." + std::to_string(build);
}

// Leading decimal digits of a text; a text without digits counts as 0.
unsigned leadingNumber(const char*& p) {
  unsigned long long n = 0;
  while (*p >= '0' && *p <= '9') {
    n = n * 10 + static_cast<unsigned>(*p - '0');
    if (n > 0xFFFFFFFFULL) n = 0xFFFFFFFFULL;
    ++p;
  }
  return static_cast<unsigned>(n);
}

void recordFailure(Context* context, int result, unsigned detail, const std::string& text) {
  if (!context) return;
  context->lastError = QxuErrorInfo{};
  context->lastError.uiResult = static_cast<unsigned>(result);
  context->lastError.uiDetail = detail;
  copyText(text, context->lastError.szText, sizeof context->lastError.szText);
}

int runUpdate(tag_ItemInfo* items, unsigned count, const SourceInfo* source, unsigned option,
              QxuProgressCallback progress, void* userData, Context* context) {
  context->lastError = QxuErrorInfo{};
  context->lastBytesFetched = 0;
  std::unique_ptr<UpdateSession> session;
  try {
    if (!source || !source->source)
      fail(QXU_E_INVALID_ARGUMENT, "QxuUpdateEx needs a source record with a URL.");
    ProcessState::instance().setLastServer(normalizedSource(source->source));
    session =
        std::make_unique<UpdateSession>(context->settings, *source, option, progress, userData);
    const int result = session->run(items, count);
    context->lastBytesFetched = session->bytesFetched();
    return result;
  } catch (const ClientError& e) {
    if (session) context->lastBytesFetched = session->bytesFetched();
    recordFailure(context, e.result(), e.detail(), e.text());
    return e.result();
  } catch (const std::bad_alloc&) {
    recordFailure(context, QXU_E_INTERNAL, QXU_DETAIL(QXU_E_INTERNAL, 0), "Out of memory.");
    return QXU_E_INTERNAL;
  } catch (const std::exception& e) {
    recordFailure(context, QXU_E_INTERNAL, QXU_DETAIL(QXU_E_INTERNAL, 0), e.what());
    return QXU_E_INTERNAL;
  }
}

}  // namespace

extern "C" {

const char* QxuGetVersion(void) { return kClientVersion; }

int QxuUpdate(tag_ItemInfo*, unsigned int, const SourceInfo*, unsigned int, QxuProgressCallback,
              void*) {
  return QXU_E_NOT_SUPPORTED;
}

int QxuDuplicate(const char*, const char*) { return QXU_E_NOT_SUPPORTED; }
int QxuRollback(tag_ItemInfo*) { return QXU_E_NOT_SUPPORTED; }
int QxuIsRollbackable(const tag_ItemInfo*) { return QXU_E_NOT_SUPPORTED; }

int QxuGetErrorString(int iCode, char* pszBuffer, int iSize) {
  try {
    return copyText(resultText(iCode, japaneseMessages()), pszBuffer, iSize);
  } catch (...) {
    return 0;
  }
}

int QxuSetProperty(const char* pszName, const char* pszValue) {
  try {
    if (!pszName || !pszValue) return 0;
    return ProcessState::instance().setProperty(pszName, pszValue) ? 1 : 0;
  } catch (...) {
    return 0;
  }
}

int QxuGetConfig(const char*, char*, int) { return QXU_E_NOT_SUPPORTED; }
int QxuSetConfig(const char*, const char*) { return QXU_E_NOT_SUPPORTED; }
int QxuGetRollbackInfo(tag_ItemInfo*) { return QXU_E_NOT_SUPPORTED; }

int QxuGetServer(char* pszBuffer, int iSize) {
  return guarded(
      [&] { return textResult(ProcessState::instance().lastServer(), pszBuffer, iSize); });
}

int QxuMakeVersionString(unsigned int uiVersion, char* pszBuffer, int iSize) {
  return guarded([&] {
    return textResult(std::to_string(uiVersion >> 16) + "." + std::to_string(uiVersion & 0xFFFF),
                      pszBuffer, iSize);
  });
}

int QxuMakeVersion(const char* pszVersion, unsigned int* puiVersion) {
  return guarded([&] {
    if (!pszVersion || !puiVersion) return QXU_E_INVALID_ARGUMENT;
    const char* p = pszVersion;
    const char* start = p;
    const unsigned major = leadingNumber(p);
    if (p == start || *p != '.') return QXU_E_INVALID_ARGUMENT;
    start = ++p;
    const unsigned minor = leadingNumber(p);
    if (p == start || *p != '\0' || major > 0xFFFF || minor > 0xFFFF) return QXU_E_INVALID_ARGUMENT;
    *puiVersion = (major << 16) | minor;
    return QXU_OK;
  });
}

int QxuClearCache(void) {
  return guarded([] {
    WorkFolder::current().clearCache();
    return QXU_OK;
  });
}

int QxuGetPatternVer(unsigned int, unsigned int*) { return QXU_E_NOT_SUPPORTED; }
int QxuGetEngineVer(unsigned int, QxuVersionBuild*) { return QXU_E_NOT_SUPPORTED; }
int QxuGetPatternVerEx(unsigned int, unsigned int, unsigned int*, QxuContext) {
  return QXU_E_NOT_SUPPORTED;
}
int QxuGetEngineVerEx(unsigned int, unsigned int, QxuVersionBuild*, QxuContext) {
  return QXU_E_NOT_SUPPORTED;
}
int CreateServerIni(const char*) { return QXU_E_NOT_SUPPORTED; }
int QxuGetPatchInfo(tag_ItemInfo*, char*, int) { return QXU_E_NOT_SUPPORTED; }
int SetImpersonateHandle(void*) { return QXU_E_NOT_SUPPORTED; }

QxuContext QxuCreateContext(unsigned int) {
  try {
    return ProcessState::instance().createContext();
  } catch (...) {
    return nullptr;
  }
}

int QxuReleaseContext(QxuContext pContext) {
  return guarded([&] {
    return ProcessState::instance().releaseContext(pContext) ? QXU_OK : QXU_E_INVALID_CONTEXT;
  });
}

int QxuMakeVersionBuildString(unsigned int uiMajor, unsigned int uiMinor, unsigned int uiBuild,
                              char* pszBuffer, int iSize) {
  return guarded(
      [&] { return textResult(versionBuildText(uiMajor, uiMinor, uiBuild), pszBuffer, iSize); });
}

QxuVersionBuild QxuMakeVersionBuild(const char* pszVersion) {
  QxuVersionBuild v{0, 0, 0};
  if (!pszVersion) return v;
  unsigned* words[3] = {&v.uiMajor, &v.uiMinor, &v.uiBuild};
  const char* p = pszVersion;
  for (unsigned* word : words) {
    *word = leadingNumber(p);
    while (*p && *p != '.' && *p != '-') ++p;  // skip what is not a number
    if (!*p) break;
    ++p;
  }
  return v;
}

int QxuUpdateEx(tag_ItemInfo* pItems, unsigned int uiCount, const SourceInfo* pSource,
                unsigned int uiOption, QxuProgressCallback pfnProgress, void* pUserData,
                QxuContext pContext) {
  try {
    Context* context = ProcessState::instance().findContext(pContext);
    if (!context) return QXU_E_INVALID_CONTEXT;
    return runUpdate(pItems, uiCount, pSource, uiOption, pfnProgress, pUserData, context);
  } catch (...) {
    return QXU_E_INTERNAL;
  }
}

int QxuGetRollbackInfoEx(tag_ItemInfo*, QxuContext) { return QXU_E_NOT_SUPPORTED; }
int QxuRollbackEx(tag_ItemInfo*, QxuContext) { return QXU_E_NOT_SUPPORTED; }
int QxuGetPatchInfoEx(tag_ItemInfo*, char*, int, QxuContext) { return QXU_E_NOT_SUPPORTED; }

int QxuSetPropertyEx(const char* pszName, const char* pszValue, QxuContext pContext) {
  try {
    Context* context = ProcessState::instance().findContext(pContext);
    if (!context || !pszName || !pszValue) return 0;
    return applyProperty(&context->settings, pszName, pszValue) ? 1 : 0;
  } catch (...) {
    return 0;
  }
}

int QxuGetPropertyEx(const char* pszName, char* pszBuffer, int iSize, QxuContext pContext) {
  try {
    Context* context = ProcessState::instance().findContext(pContext);
    if (!context || !pszName || !pszBuffer || iSize < 1) return 0;
    std::string value;
    if (std::string(pszName) == "LastBytesFetched")
      value = std::to_string(context->lastBytesFetched);
    else if (!readProperty(context->settings, pszName, &value))
      return 0;
    if (value.size() >= static_cast<std::size_t>(iSize)) return 0;
    copyText(value, pszBuffer, iSize);
    return 1;
  } catch (...) {
    return 0;
  }
}

int QxuAddTrusted(const char* pszKey) {
  return guarded([&] {
    if (!pszKey) return QXU_E_INVALID_ARGUMENT;
    WorkFolder::current().addTrusted(pszKey);
    return QXU_OK;
  });
}

int QxuDelTrusted(const char* pszKeyId) {
  return guarded([&] {
    if (!pszKeyId) return QXU_E_INVALID_ARGUMENT;
    WorkFolder::current().removeTrusted(pszKeyId);
    return QXU_OK;
  });
}

int QxuEnumTrustedInfo(unsigned int uiIndex, char* pszKeyId, int iSize) {
  return guarded([&] {
    if (!pszKeyId || iSize < 1) return QXU_E_INVALID_ARGUMENT;
    const auto ids = WorkFolder::current().trustedIds();
    if (uiIndex >= ids.size()) return QXU_E_KEY_NOT_FOUND;
    return textResult(ids[uiIndex], pszKeyId, iSize);
  });
}

int QxuDmpTrusted(const char* pszFile) {
  return guarded([&] {
    if (!pszFile || !*pszFile) return QXU_E_INVALID_ARGUMENT;
    const WorkFolder work = WorkFolder::current();
    std::string lines;
    for (const std::string& id : work.trustedIds()) {
      std::string raw;
      if (work.trustedKey(id, &raw))
        lines += id + " " + KiteFeed::toHex(raw.data(), raw.size()) + "\n";
    }
    if (!KiteFeed::replaceFile(OrvelPlatform::toOsPath(pszFile), lines))
      fail(QXU_E_WRITE, std::string("Cannot write ") + pszFile);
    return QXU_OK;
  });
}

int QxuClearCacheEx(const char* pszSource) {
  return guarded([&] {
    if (!pszSource || !*pszSource) return QXU_E_INVALID_ARGUMENT;
    WorkFolder::current().clearCache(pszSource);
    return QXU_OK;
  });
}

int QxuGetLastError(QxuErrorInfo* pError, QxuContext pContext) {
  return guarded([&] {
    if (!pError) return QXU_E_INVALID_ARGUMENT;
    Context* context = ProcessState::instance().findContext(pContext);
    if (!context) return QXU_E_INVALID_CONTEXT;
    *pError = context->lastError;
    return QXU_OK;
  });
}

int QxuDuplicateEx(const char*, const char*, QxuContext) { return QXU_E_NOT_SUPPORTED; }
int QxuGetUpdateInfo(tag_ItemInfo*, unsigned int, QxuContext) { return QXU_E_NOT_SUPPORTED; }
int QxuGetServerInfo(char*, int, QxuContext) { return QXU_E_NOT_SUPPORTED; }
int QxuMakeZiranPtnVersion(const char*, unsigned int*) { return QXU_E_NOT_SUPPORTED; }
int QxuMakeZiranPtnVersionString(unsigned int, char*, int) { return QXU_E_NOT_SUPPORTED; }
int QxuReloadSetting(QxuContext) { return QXU_E_NOT_SUPPORTED; }
int QxuGetIncrementalInfo(const tag_ItemInfo*, QxuContext) { return QXU_E_NOT_SUPPORTED; }
int QxuUnpublished(void) { return QXU_E_NOT_SUPPORTED; }

}  // extern "C"
