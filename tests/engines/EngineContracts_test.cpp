// The engines export, with C linkage, exactly the types the update object binds: checked when this
// file compiles. That every name is exported shows in the adapters' tests.
#include <cstddef>
#include <type_traits>

#include "OrvelEngines/EngineExports.h"
#include "QxUpdateEngineCalls.h"

namespace calls = QxEngineCalls;

// The records the engines fill are read by the library at fixed places.
static_assert(sizeof(::ZRPatternEntry) == sizeof(calls::ZRPatternEntry));
static_assert(offsetof(::ZRPatternEntry, szFileName) ==
              offsetof(calls::ZRPatternEntry, szFileName));
static_assert(offsetof(::ZRPatternEntry, iPatternNumber) == 16);
static_assert(offsetof(calls::ZRPatternEntry, iPatternNumber) == 16);
static_assert(sizeof(::ZREngineVersion) == sizeof(calls::ZREngineVersion));
static_assert(offsetof(::ZREngineVersion, iBuild) == offsetof(calls::ZREngineVersion, iBuild));
// Calls without records: the engine's declaration is the library's function type.
static_assert(std::is_same_v<decltype(&ZRInit), calls::ZRInitFn>);
static_assert(std::is_same_v<decltype(&ZRQuit), calls::ZRQuitFn>);
static_assert(
    std::is_same_v<decltype(&ZRGetPatternInternalVersion), calls::ZRGetPatternInternalVersionFn>);
static_assert(std::is_same_v<decltype(&ZRDeleteUnusedPattern), calls::ZRDeleteUnusedPatternFn>);
static_assert(std::is_same_v<decltype(&QX_UF_initEngEx), calls::QxUfInitFn>);
static_assert(std::is_same_v<decltype(&QX_UF_getEngineVersion), calls::QxUfGetVersionFn>);
static_assert(std::is_same_v<decltype(&QX_UF_uninitEngEx), calls::QxUfUninitFn>);
static_assert(std::is_same_v<decltype(&QX_AS_getEngineVersion), calls::QxAsGetEngineVersionFn>);
static_assert(std::is_same_v<decltype(&QX_AS_getRuleFileVerInDirEx), calls::QxAsGetRuleFileVerFn>);
static_assert(std::is_same_v<decltype(&QX_AS_initEngine), calls::QxAsInitFn>);
static_assert(std::is_same_v<decltype(&QX_AS_buildCache), calls::QxAsBuildCacheFn>);
static_assert(std::is_same_v<decltype(&QX_AS_uninitEngine), calls::QxAsUninitFn>);
static_assert(std::is_same_v<decltype(&QX_AS_purgeOldRuleFile), calls::QxAsPurgeFn>);
