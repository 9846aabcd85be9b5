#include "OrvelCommon/BoundedCopy.h"

#include <cstring>

namespace ORVEL {

std::size_t boundedCopy(char* dst, std::size_t capacity, const char* src) {
  if (!dst || capacity == 0) return 0;
  std::size_t n = src ? strnlen(src, capacity - 1) : 0;
  if (n) std::memcpy(dst, src, n);
  dst[n] = '\0';
  return n;
}

std::size_t boundedAppend(char* dst, std::size_t capacity, const char* src) {
  if (!dst || capacity == 0) return 0;
  std::size_t used = strnlen(dst, capacity - 1);
  return boundedCopy(dst + used, capacity - used, src);
}

}  // namespace ORVEL
