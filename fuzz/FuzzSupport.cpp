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

const std::string& scratch() {
  static const std::string folder = [] {
    std::string pattern = std::filesystem::temp_directory_path() / "orvel-fuzz-XXXXXX";
    if (!::mkdtemp(pattern.data())) std::abort();
    return pattern;
  }();
  // Registered once the folder is made, so that it runs before the folder's text is destroyed.
  static const int removal = std::atexit([] { std::filesystem::remove_all(folder); });
  (void)removal;
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
