// What every export of the reference engines shares: exceptions stay inside the engine, the
// version is compiled in, and a test build may name one export that refuses.
#pragma once

#include <cstring>

#include "OrvelEngines/EngineExports.h"
#include "OrvelEngines/EngineFiles.h"

#if !defined(ORVEL_ENGINE_MAJOR) || !defined(ORVEL_ENGINE_MINOR) || !defined(ORVEL_ENGINE_BUILD)
#error "an engine build names its version: ORVEL_ENGINE_MAJOR, _MINOR and _BUILD"
#endif

// Test builds define ORVEL_ENGINE_FAULT as the name of one export, which then reports a failure
// as a broken engine would, so that callers' handling of it can be tried against a real engine.
#ifndef ORVEL_ENGINE_FAULT
#define ORVEL_ENGINE_FAULT ""
#endif

namespace OrvelEngines {

template <typename Call>
int guarded(Call&& call) noexcept {
  try {
    return call();
  } catch (...) {
    return kEngineInternal;
  }
}

inline bool faultInjected(const char* exportName) {
  return std::strcmp(ORVEL_ENGINE_FAULT, exportName) == 0;
}

inline int refused(FileCheck check) { return -static_cast<int>(check); }

}  // namespace OrvelEngines
