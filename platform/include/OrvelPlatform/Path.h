// The one place where the product's Windows-style paths become Linux paths.
//
// Paths are assembled throughout the library with "\" as well as "/" and are
// shown that way in logs and messages. Every call into the operating system
// passes its path through toOsPath() first. File names that contain a real
// backslash are therefore not supported.
#pragma once

#include <string>

#pragma GCC visibility push(default)

namespace OrvelPlatform {

// Returns the path with every "\" turned into "/"; a null path gives "".
std::string toOsPath(const char* path);
std::string toOsPath(const std::string& path);

}  // namespace OrvelPlatform

#pragma GCC visibility pop
