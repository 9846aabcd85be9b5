#include "OrvelPlatform/Path.h"

#include <algorithm>

namespace OrvelPlatform {

std::string toOsPath(const char* path) {
  return path ? toOsPath(std::string(path)) : std::string();
}

std::string toOsPath(const std::string& path) {
  std::string os = path;
  std::replace(os.begin(), os.end(), '\\', '/');
  return os;
}

}  // namespace OrvelPlatform
