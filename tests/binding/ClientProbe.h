// What the update client doubles report to the binding tests.
//
// The doubles are loaded and freed many times during a test; whatever they know is lost with
// them. They report instead to this small shared library, which the test executable links and
// which therefore stays: every load and unload of a double and every call with its arguments.
#pragma once

#ifdef __cplusplus
#include <string>
#include <vector>
extern "C" {
#endif

// The double side: plain C so that a double stays free of anything that would pin it in memory.
void orvelProbeLoaded(const char* variant);
void orvelProbeUnloaded(void);
void orvelProbeEnter(const char* call);

#ifdef __cplusplus
}  // extern "C"

namespace OrvelProbe {

struct Record {
  std::vector<std::string> calls;  // every call seen, in order, as "Name(arg,arg,...)"
  int loads = 0, unloads = 0;      // each load runs the double's constructor afresh
};

// A copy of what was recorded since the last reset.
Record record();
// Forgets everything recorded.
void reset();

}  // namespace OrvelProbe
#endif
