#include "OrvelPlatform/SystemError.h"

#include <atomic>
#include <cerrno>
#include <cstring>

namespace OrvelPlatform {

namespace {
std::atomic<unsigned> g_errorMode{0};
}

int lastError() { return errno; }

void setLastError(int error) { errno = error; }

std::string errorText(int error) {
  char buffer[256];
  // GNU strerror_r may return a static text instead of filling the buffer.
  const char* text = strerror_r(error, buffer, sizeof buffer);
  return text ? text : "";
}

unsigned setErrorMode(unsigned mode) { return g_errorMode.exchange(mode); }

}  // namespace OrvelPlatform
