#include "FuzzSupport.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>

namespace OrvelFuzz {

std::vector<std::string> pieces(const std::uint8_t* data, std::size_t size, std::size_t atLeast) {
  std::vector<std::string> found(1);
  for (std::size_t i = 0; i < size; ++i) {
    if (data[i] == 0)
      found.emplace_back();
    else
      found.back() += static_cast<char>(data[i]);
  }
  if (found.size() < atLeast) found.resize(atLeast);
  return found;
}

namespace {

void removeScratch() { std::filesystem::remove_all(scratch()); }

}  // namespace

const std::string& scratch() {
  static const std::string folder = [] {
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/orvel-fuzz-XXXXXX";
    if (!::mkdtemp(pattern.data())) std::abort();
    return pattern;
  }();
  static const bool registered = std::atexit(removeScratch) == 0;
  (void)registered;
  return folder;
}

void writeFile(const std::string& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

void require(bool holds, const char* what) {
  if (holds) return;
  std::fprintf(stderr, "property failed: %s\n", what);
  std::abort();
}

}  // namespace OrvelFuzz
