// The URL filtering engine ("qxufeng.dll"): it reports its version to a caller that initialised it.
#include <atomic>

#include "EngineGuard.h"

using namespace OrvelEngines;

namespace {
std::atomic<int> g_initialised{0};
}

int QX_UF_initEngEx(const char* product, const char* prefix, int) {
  return guarded([&] {
    if (!product || !*product || !prefix) return refused(FileCheck::kBadArgument);
    if (faultInjected("QX_UF_initEngEx")) return kEngineInternal;
    ++g_initialised;
    return 1;
  });
}

int QX_UF_getEngineVersion(unsigned* major, unsigned* minor, unsigned* build, unsigned* format) {
  return guarded([&] {
    if (!major || !minor || !build || !format) return refused(FileCheck::kBadArgument);
    if (g_initialised <= 0) return kEngineNotReady;
    if (faultInjected("QX_UF_getEngineVersion")) return kEngineInternal;
    *major = ORVEL_ENGINE_MAJOR;
    *minor = ORVEL_ENGINE_MINOR;
    *build = ORVEL_ENGINE_BUILD;
    *format = kFormatVersion;
    return 1;
  });
}

int QX_UF_uninitEngEx(void) {
  return guarded([&] {
    if (g_initialised <= 0) return kEngineNotReady;
    --g_initialised;
    return faultInjected("QX_UF_uninitEngEx") ? kEngineInternal : 1;
  });
}
