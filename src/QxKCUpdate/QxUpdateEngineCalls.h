// The scan engines as the update object calls them: the records and function types of the exports
// it binds by name, and the one way an engine library is loaded. The engines are not ours to
// link against; only these call contracts are relied on.
#pragma once

#include <cstdint>
#include <string>

#include "OrvelPlatform/DynamicLibrary.h"

namespace QxEngineCalls {

// Filled by the virus-scan engine: the file name starts the record, the pattern number sits in
// bytes 16 to 19; the rest is the engine's.
struct ZRPatternEntry {
  char szFileName[16];
  std::int32_t iPatternNumber;
  unsigned char reserved[4];
};
static_assert(sizeof(ZRPatternEntry) == 24, "the engine fills 24-byte records");

struct ZREngineVersion {
  std::int32_t iMajor;
  std::int32_t iMinor;
  std::int32_t iUnused;
  std::int32_t iBuild;
};

using ZRInitFn = int (*)(int, const char*, int, void**);
using ZRQuitFn = int (*)(void*);
using ZRGetLastPatternFn = int (*)(const char*, const char*, ZRPatternEntry*, int);
using ZRGetVersionFn = int (*)(ZREngineVersion*);
using ZRGetPatternInternalVersionFn = int (*)(const char*, std::uint32_t*, std::uint16_t*);
using ZRGetPatternListFn = int (*)(const char*, const char*, ZRPatternEntry*, int*, int);
using ZRDeleteUnusedPatternFn = int (*)(const char*, const char*, int);

using QxUfInitFn = int (*)(const char*, const char*, int);
using QxUfGetVersionFn = int (*)(unsigned*, unsigned*, unsigned*, unsigned*);
using QxUfUninitFn = int (*)();

using QxAsGetEngineVersionFn = int (*)(int*, int*, int*, int*);
using QxAsGetRuleFileVerFn = int (*)(const char*, int*, int*, unsigned*, unsigned*, char*, int,
                                     int*);
using QxAsInitFn = int (*)();
using QxAsBuildCacheFn = int (*)(const char*, const char*, int*);
using QxAsUninitFn = int (*)();
using QxAsPurgeFn = int (*)(const char*, int);

// The caller name the virus-scan engine is initialised with.
constexpr const char* kZRCaller = "Gatewell";

// Loads an engine library with the platform's critical-error dialogs suppressed. When it cannot
// be loaded, the thread's last error tells why (the file is missing, or it is not a library that
// the platform's loader takes, which also refuses one cut short), as the system's own loader would
// leave it.
OrvelPlatform::SharedLibrary loadEngine(const char* path);

// Releases the engine without losing the last error its failure left for the caller's message.
void releaseKeepingError(OrvelPlatform::SharedLibrary& engine);

// Sets the last error to what the system's loader reports for a missing export.
void noteMissingExport();

// Binds an export by name; null when the engine lacks it, with the last error set to say so.
template <typename Function>
Function bindExport(const OrvelPlatform::SharedLibrary& engine, const char* name) {
  Function function = engine.symbol<Function>(name);
  if (!function) noteMissingExport();
  return function;
}

}  // namespace QxEngineCalls
