// The enter and leave lines every operation of the update object writes, with
// the source file and line, at the object's trace level.
#pragma once

#include <cstring>

#include "OrvelCommon/Log.h"

inline const char* kfSourceName(const char* path) {
  const char* slash = std::strrchr(path, '/');
  return slash ? slash + 1 : path;
}

#define KF_TRACE_LEVEL(level) static_cast<ORVEL::OrvelLogLevel>(level)

// In members: traces at m_traceLevel.
#define KF_ENTER(name)                                                                            \
  ORVEL::Log::LogByLevel(KF_TRACE_LEVEL(m_traceLevel), "QxUpdate [%s][%d]: enter function " name, \
                         kfSourceName(__FILE__), __LINE__)
#define KF_LEAVE(name)                                                                            \
  ORVEL::Log::LogByLevel(KF_TRACE_LEVEL(m_traceLevel), "QxUpdate [%s][%d]: leave function " name, \
                         kfSourceName(__FILE__), __LINE__)
// A line of the object's own with its file and line in front.
#define KF_LOG_AT(level, format, ...)                                         \
  ORVEL::Log::LogByLevel(KF_TRACE_LEVEL(level), "QxUpdate [%s][%d]: " format, \
                         kfSourceName(__FILE__), __LINE__, ##__VA_ARGS__)

// Enter and leave lines of a member whose name is known only at run time (members that share
// one implementation).
#define KF_ENTER_AS(name)                                                                      \
  ORVEL::Log::LogByLevel(KF_TRACE_LEVEL(m_traceLevel), "QxUpdate [%s][%d]: enter function %s", \
                         kfSourceName(__FILE__), __LINE__, name)
#define KF_LEAVE_AS(name)                                                                      \
  ORVEL::Log::LogByLevel(KF_TRACE_LEVEL(m_traceLevel), "QxUpdate [%s][%d]: leave function %s", \
                         kfSourceName(__FILE__), __LINE__, name)
