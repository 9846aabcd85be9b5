// The records the engines fill are read by the update object at fixed places: checked when this
// file compiles. That every export is bound and called with the types the update object expects
// shows in the adapters' tests and the end-to-end runs.
#include <cstddef>

#include "OrvelEngines/EngineExports.h"
#include "QxUpdateEngineCalls.h"

namespace calls = QxEngineCalls;

static_assert(sizeof(::ZRPatternEntry) == sizeof(calls::ZRPatternEntry));
static_assert(offsetof(::ZRPatternEntry, szFileName) ==
              offsetof(calls::ZRPatternEntry, szFileName));
static_assert(offsetof(::ZRPatternEntry, iPatternNumber) == 16);
static_assert(offsetof(calls::ZRPatternEntry, iPatternNumber) == 16);
static_assert(sizeof(::ZREngineVersion) == sizeof(calls::ZREngineVersion));
static_assert(offsetof(::ZREngineVersion, iBuild) == offsetof(calls::ZREngineVersion, iBuild));
