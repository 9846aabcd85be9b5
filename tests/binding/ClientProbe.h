// What the update client doubles report to the binding tests.
//
// The doubles are loaded and freed many times during a test; whatever they know is lost with
// them. They report instead to this small shared library, which the test executable links and
// which therefore stays: every load and unload of a double, every call with its arguments, and
// the calls still running when a double goes away (which must never happen).
#pragma once

#ifdef __cplusplus
#include <string>
#include <vector>
#endif

#ifdef __cplusplus
extern "C" {
#endif

// The double side: plain C so that a double stays free of anything that would pin it in memory.
void orvelProbeLoaded(const char* variant);
void orvelProbeUnloaded(void);
void orvelProbeEnter(const char* call);
void orvelProbeLeave(void);
unsigned orvelProbeCallDelayMicroseconds(void);

#ifdef __cplusplus
}  // extern "C"

namespace OrvelProbe {

// Forgets everything recorded and the call delay.
void reset();
// Every call seen, in order, as "Name(arg,arg,...)".
std::vector<std::string> calls();
// Loads and unloads of doubles (each load runs the double's constructor afresh).
int loads();
int unloads();
// The variant name of the double loaded last.
std::string lastVariant();
// Unloads that happened while a call of a double was still running.
int unloadsDuringCall();
// The most calls seen running at the same time.
int mostCallsAtOnce();
// How long each call of a double takes; lets calls of several threads overlap.
void setCallDelayMicroseconds(unsigned microseconds);

}  // namespace OrvelProbe
#endif
