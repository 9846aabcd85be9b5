#include "FuzzSupport.h"

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>

namespace OrvelFuzz {

std::string Pieces::next() {
  if (atEnd()) return {};
  const std::size_t end = std::min(m_text.find('\0', m_at), m_text.size());
  std::string piece = m_text.substr(m_at, end - m_at);
  m_at = end + 1;
  return piece;
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
