// The system's last error number and its text, and the critical-error mode.
#pragma once

#include <string>

#pragma GCC visibility push(default)

namespace OrvelPlatform {

// The error number of the last failed system call on this thread (errno).
int lastError();
void setLastError(int error);

// The system's text for an error number.
std::string errorText(int error);

// Windows shows dialogs for some load failures unless told not to; Linux never
// does, so this only remembers the mode and returns the previous one. The
// call sites stay so that a Windows backend has its place.
unsigned setErrorMode(unsigned mode);

}  // namespace OrvelPlatform

#pragma GCC visibility pop
