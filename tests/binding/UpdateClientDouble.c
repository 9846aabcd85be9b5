// A stand-in for the update client at the platform boundary: a shared object named
// "QxUpdate.dll" exporting the entry points with C linkage. The definitions are generated from
// the binding's entry-point list and the public prototypes (make_client_double.py); each reports
// its call with its arguments to the probe and answers 1000 + its binding number, so that a test
// sees which entry point a forwarder reached and with what.
//
// Built in several variants (compile definitions):
//   ORVEL_DOUBLE_VARIANT          its name, reported at load
//   ORVEL_DOUBLE_WITHOUT_<name>   leaves that entry point out
//   ORVEL_DOUBLE_REFUSE           a text that, as the first text argument, gets the answer 0
//                                 (QxuSetProperty refusing a property)
//
// Written in C: a C++ object could end up pinned in memory by the loader, and the tests rely on
// every release really unloading the double.
#include <stdarg.h>
#include <stdio.h>
#include <string.h>

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

// Reports the call with its arguments.
static void enter(const char* format, ...) __attribute__((format(printf, 1, 2)));
static void enter(const char* format, ...) {
  char call[1200];
  va_list args;
  va_start(args, format);
  vsnprintf(call, sizeof call, format, args);
  va_end(args);
  orvelProbeEnter(call);
}

static int answerNumber(int number, const char* firstText) {
#ifdef ORVEL_DOUBLE_REFUSE
  if (firstText && strcmp(firstText, ORVEL_DOUBLE_REFUSE) == 0) return 0;
#endif
  (void)firstText;
  return 1000 + number;
}

static const char* answerText(void) { return "double " ORVEL_DOUBLE_VARIANT; }

static QxuContext answerContext(void) { return &g_context; }

static QxuVersionBuild answerVersion(const char* version) {
  QxuVersionBuild parts = {0, 0, 0};
  if (version) sscanf(version, "%u.%u.%u", &parts.uiMajor, &parts.uiMinor, &parts.uiBuild);
  return parts;
}

#include "ClientDoubleEntries.inc"
