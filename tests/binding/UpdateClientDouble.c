/*
 * A stand-in for the update client at the platform boundary: a shared object named
 * "QxUpdate.dll" that exports the entry points with C linkage, reports every call with its
 * arguments to the probe and answers 1000 + the entry point's binding number, so that a test sees
 * which entry point a forwarder reached and with what.
 *
 * Built in several variants (compile definitions):
 *   ORVEL_DOUBLE_VARIANT                 its name, reported at load
 *   ORVEL_DOUBLE_WITHOUT_CLEAR_CACHE_EX  leaves out the one optional entry point
 *   ORVEL_DOUBLE_WITHOUT_GET_LAST_ERROR  leaves out a required one
 *   ORVEL_DOUBLE_REFUSE                  the property name QxuSetProperty refuses
 *
 * Written in C: a C++ object could end up pinned in memory by the loader, and the tests rely on
 * every release really unloading the double.
 */
#include <stdarg.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include "ClientProbe.h"
#include "OrvelKF/QxUpdateClient.h"

#ifndef ORVEL_DOUBLE_VARIANT
#error "ORVEL_DOUBLE_VARIANT names the variant"
#endif

static int g_context;

__attribute__((constructor)) static void doubleLoaded(void) {
  orvelProbeLoaded(ORVEL_DOUBLE_VARIANT);
}

__attribute__((destructor)) static void doubleUnloaded(void) { orvelProbeUnloaded(); }

static const char* text(const char* s) { return s ? s : "<null>"; }

/* Reports the call and stays in it for the probe's delay, so that calls of several threads
 * overlap. Every entry must be matched by leave(). */
static void enter(const char* format, ...) {
  char call[1200];
  va_list args;
  va_start(args, format);
  vsnprintf(call, sizeof call, format, args);
  va_end(args);
  orvelProbeEnter(call);
  unsigned delay = orvelProbeCallDelayMicroseconds();
  if (delay > 0) usleep(delay);
}

static int leave(int result) {
  orvelProbeLeave();
  return result;
}

static void* fn(QxuProgressCallback callback) { return (void*)callback; }

const char* QxuGetVersion(void) {
  enter("QxuGetVersion()");
  leave(0);
  return "double " ORVEL_DOUBLE_VARIANT;
}

int QxuUpdate(tag_ItemInfo* pItems, unsigned int uiCount, const SourceInfo* pSource,
              unsigned int uiOption, QxuProgressCallback pfnProgress, void* pUserData) {
  enter("QxuUpdate(%p,%u,%p,%u,%p,%p)", (void*)pItems, uiCount, (const void*)pSource, uiOption,
        fn(pfnProgress), pUserData);
  return leave(1002);
}

int QxuDuplicate(const char* pszSource, const char* pszDestFolder) {
  enter("QxuDuplicate(%s,%s)", text(pszSource), text(pszDestFolder));
  return leave(1003);
}

int QxuRollback(tag_ItemInfo* pItem) {
  enter("QxuRollback(%p)", (void*)pItem);
  return leave(1004);
}

int QxuIsRollbackable(const tag_ItemInfo* pItem) {
  enter("QxuIsRollbackable(%p)", (const void*)pItem);
  return leave(1005);
}

int QxuGetErrorString(int iCode, char* pszBuffer, int iSize) {
  enter("QxuGetErrorString(%d,%p,%d)", iCode, (void*)pszBuffer, iSize);
  if (pszBuffer && iSize > 0) snprintf(pszBuffer, (size_t)iSize, "double text of %d", iCode);
  return leave(1006);
}

int QxuSetProperty(const char* pszName, const char* pszValue) {
  enter("QxuSetProperty(%s,%s)", text(pszName), text(pszValue));
#ifdef ORVEL_DOUBLE_REFUSE
  if (pszName && strcmp(pszName, ORVEL_DOUBLE_REFUSE) == 0) return leave(0);
#endif
  return leave(1007);
}

int QxuGetConfig(const char* pszKey, char* pszValue, int iSize) {
  enter("QxuGetConfig(%s,%p,%d)", text(pszKey), (void*)pszValue, iSize);
  return leave(1008);
}

int QxuSetConfig(const char* pszKey, const char* pszValue) {
  enter("QxuSetConfig(%s,%s)", text(pszKey), text(pszValue));
  return leave(1009);
}

int QxuGetRollbackInfo(tag_ItemInfo* pItem) {
  enter("QxuGetRollbackInfo(%p)", (void*)pItem);
  return leave(1010);
}

int QxuGetServer(char* pszBuffer, int iSize) {
  enter("QxuGetServer(%p,%d)", (void*)pszBuffer, iSize);
  return leave(1011);
}

int QxuMakeVersionString(unsigned int uiVersion, char* pszBuffer, int iSize) {
  enter("QxuMakeVersionString(%u,%p,%d)", uiVersion, (void*)pszBuffer, iSize);
  return leave(1012);
}

int QxuMakeVersion(const char* pszVersion, unsigned int* puiVersion) {
  enter("QxuMakeVersion(%s,%p)", text(pszVersion), (void*)puiVersion);
  return leave(1013);
}

int QxuClearCache(void) {
  enter("QxuClearCache()");
  return leave(1014);
}

int QxuGetPatternVer(unsigned int uiItemId, unsigned int* puiVersion) {
  enter("QxuGetPatternVer(%u,%p)", uiItemId, (void*)puiVersion);
  return leave(1015);
}

int QxuGetEngineVer(unsigned int uiItemId, QxuVersionBuild* pVersion) {
  enter("QxuGetEngineVer(%u,%p)", uiItemId, (void*)pVersion);
  return leave(1016);
}

int QxuGetPatternVerEx(unsigned int uiItemId, unsigned int uiPlatform, unsigned int* puiVersion,
                       QxuContext pContext) {
  enter("QxuGetPatternVerEx(%u,%u,%p,%p)", uiItemId, uiPlatform, (void*)puiVersion, pContext);
  return leave(1017);
}

int QxuGetEngineVerEx(unsigned int uiItemId, unsigned int uiPlatform, QxuVersionBuild* pVersion,
                      QxuContext pContext) {
  enter("QxuGetEngineVerEx(%u,%u,%p,%p)", uiItemId, uiPlatform, (void*)pVersion, pContext);
  return leave(1018);
}

int CreateServerIni(const char* pszPath) {
  enter("CreateServerIni(%s)", text(pszPath));
  return leave(1019);
}

int QxuGetPatchInfo(tag_ItemInfo* pItem, char* pszBuffer, int iSize) {
  enter("QxuGetPatchInfo(%p,%p,%d)", (void*)pItem, (void*)pszBuffer, iSize);
  return leave(1020);
}

int SetImpersonateHandle(void* hToken) {
  enter("SetImpersonateHandle(%p)", hToken);
  return leave(1021);
}

QxuContext QxuCreateContext(unsigned int uiReserved) {
  enter("QxuCreateContext(%u)", uiReserved);
  leave(0);
  return &g_context;
}

int QxuReleaseContext(QxuContext pContext) {
  enter("QxuReleaseContext(%p)", pContext);
  return leave(1023);
}

int QxuMakeVersionBuildString(unsigned int uiMajor, unsigned int uiMinor, unsigned int uiBuild,
                              char* pszBuffer, int iSize) {
  enter("QxuMakeVersionBuildString(%u,%u,%u,%p,%d)", uiMajor, uiMinor, uiBuild, (void*)pszBuffer,
        iSize);
  return leave(1024);
}

QxuVersionBuild QxuMakeVersionBuild(const char* pszVersion) {
  QxuVersionBuild version = {0, 0, 0};
  enter("QxuMakeVersionBuild(%s)", text(pszVersion));
  if (pszVersion)
    sscanf(pszVersion, "%u.%u.%u", &version.uiMajor, &version.uiMinor, &version.uiBuild);
  leave(0);
  return version;
}

int QxuUpdateEx(tag_ItemInfo* pItems, unsigned int uiCount, const SourceInfo* pSource,
                unsigned int uiOption, QxuProgressCallback pfnProgress, void* pUserData,
                QxuContext pContext) {
  enter("QxuUpdateEx(%p,%u,%p,%u,%p,%p,%p)", (void*)pItems, uiCount, (const void*)pSource, uiOption,
        fn(pfnProgress), pUserData, pContext);
  return leave(1026);
}

int QxuGetRollbackInfoEx(tag_ItemInfo* pItem, QxuContext pContext) {
  enter("QxuGetRollbackInfoEx(%p,%p)", (void*)pItem, pContext);
  return leave(1027);
}

int QxuRollbackEx(tag_ItemInfo* pItem, QxuContext pContext) {
  enter("QxuRollbackEx(%p,%p)", (void*)pItem, pContext);
  return leave(1028);
}

int QxuGetPatchInfoEx(tag_ItemInfo* pItem, char* pszBuffer, int iSize, QxuContext pContext) {
  enter("QxuGetPatchInfoEx(%p,%p,%d,%p)", (void*)pItem, (void*)pszBuffer, iSize, pContext);
  return leave(1029);
}

int QxuSetPropertyEx(const char* pszName, const char* pszValue, QxuContext pContext) {
  enter("QxuSetPropertyEx(%s,%s,%p)", text(pszName), text(pszValue), pContext);
  return leave(1030);
}

int QxuGetPropertyEx(const char* pszName, char* pszBuffer, int iSize, QxuContext pContext) {
  enter("QxuGetPropertyEx(%s,%p,%d,%p)", text(pszName), (void*)pszBuffer, iSize, pContext);
  return leave(1031);
}

int QxuAddTrusted(const char* pszKey) {
  enter("QxuAddTrusted(%s)", text(pszKey));
  return leave(1032);
}

int QxuDelTrusted(const char* pszKeyId) {
  enter("QxuDelTrusted(%s)", text(pszKeyId));
  return leave(1033);
}

int QxuEnumTrustedInfo(unsigned int uiIndex, char* pszKeyId, int iSize) {
  enter("QxuEnumTrustedInfo(%u,%p,%d)", uiIndex, (void*)pszKeyId, iSize);
  return leave(1034);
}

int QxuDmpTrusted(const char* pszFile) {
  enter("QxuDmpTrusted(%s)", text(pszFile));
  return leave(1035);
}

#ifndef ORVEL_DOUBLE_WITHOUT_CLEAR_CACHE_EX
int QxuClearCacheEx(const char* pszSource) {
  enter("QxuClearCacheEx(%s)", text(pszSource));
  return leave(1036);
}
#endif

#ifndef ORVEL_DOUBLE_WITHOUT_GET_LAST_ERROR
int QxuGetLastError(QxuErrorInfo* pError, QxuContext pContext) {
  enter("QxuGetLastError(%p,%p)", (void*)pError, pContext);
  return leave(1037);
}
#endif

int QxuDuplicateEx(const char* pszSource, const char* pszDestFolder, QxuContext pContext) {
  enter("QxuDuplicateEx(%s,%s,%p)", text(pszSource), text(pszDestFolder), pContext);
  return leave(1038);
}

int QxuGetUpdateInfo(tag_ItemInfo* pItems, unsigned int uiCount, QxuContext pContext) {
  enter("QxuGetUpdateInfo(%p,%u,%p)", (void*)pItems, uiCount, pContext);
  return leave(1039);
}

int QxuGetServerInfo(char* pszBuffer, int iSize, QxuContext pContext) {
  enter("QxuGetServerInfo(%p,%d,%p)", (void*)pszBuffer, iSize, pContext);
  return leave(1040);
}

int QxuMakeZiranPtnVersion(const char* pszVersion, unsigned int* puiNumber) {
  enter("QxuMakeZiranPtnVersion(%s,%p)", text(pszVersion), (void*)puiNumber);
  return leave(1041);
}

int QxuMakeZiranPtnVersionString(unsigned int uiNumber, char* pszBuffer, int iSize) {
  enter("QxuMakeZiranPtnVersionString(%u,%p,%d)", uiNumber, (void*)pszBuffer, iSize);
  return leave(1042);
}

int QxuReloadSetting(QxuContext pContext) {
  enter("QxuReloadSetting(%p)", pContext);
  return leave(1043);
}

int QxuGetIncrementalInfo(const tag_ItemInfo* pItem, QxuContext pContext) {
  enter("QxuGetIncrementalInfo(%p,%p)", (const void*)pItem, pContext);
  return leave(1044);
}

int QxuUnpublished(void) {
  enter("QxuUnpublished()");
  return leave(1045);
}
