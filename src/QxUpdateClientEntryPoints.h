// The entry points of the update client library "QxUpdate.dll", the one list of them: the binding
// builds its pointer table from it, and the tests build their stand-in client from it. Plain
// preprocessor text, so that C and C++ can both include it.
//
// X(name, required): in binding order, which is the index into the pointer table; required says
// whether a library without the entry point is refused.
#pragma once

// clang-format off
#define ORVEL_QXU_ENTRY_POINTS(X) \
  X(QxuGetVersion, true) \
  X(QxuUpdate, true) \
  X(QxuDuplicate, true) \
  X(QxuRollback, true) \
  X(QxuIsRollbackable, true) \
  X(QxuGetErrorString, true) \
  X(QxuSetProperty, true) \
  X(QxuGetConfig, true) \
  X(QxuSetConfig, true) \
  X(QxuGetRollbackInfo, true) \
  X(QxuGetServer, true) \
  X(QxuMakeVersionString, true) \
  X(QxuMakeVersion, true) \
  X(QxuClearCache, true) \
  X(QxuGetPatternVer, true) \
  X(QxuGetEngineVer, true) \
  X(QxuGetPatternVerEx, true) \
  X(QxuGetEngineVerEx, true) \
  X(CreateServerIni, true) \
  X(QxuGetPatchInfo, true) \
  X(SetImpersonateHandle, true) \
  X(QxuCreateContext, true) \
  X(QxuReleaseContext, true) \
  X(QxuMakeVersionBuildString, true) \
  X(QxuMakeVersionBuild, true) \
  X(QxuUpdateEx, true) \
  X(QxuGetRollbackInfoEx, true) \
  X(QxuRollbackEx, true) \
  X(QxuGetPatchInfoEx, true) \
  X(QxuSetPropertyEx, true) \
  X(QxuGetPropertyEx, true) \
  X(QxuAddTrusted, true) \
  X(QxuDelTrusted, true) \
  X(QxuEnumTrustedInfo, true) \
  X(QxuDmpTrusted, true) \
  X(QxuClearCacheEx, false) \
  X(QxuGetLastError, true) \
  X(QxuDuplicateEx, true) \
  X(QxuGetUpdateInfo, true) \
  X(QxuGetServerInfo, true) \
  X(QxuMakeZiranPtnVersion, true) \
  X(QxuMakeZiranPtnVersionString, true) \
  X(QxuReloadSetting, true) \
  X(QxuGetIncrementalInfo, true) \
  X(QxuUnpublished, true)
// clang-format on
