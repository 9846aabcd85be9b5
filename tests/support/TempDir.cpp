#include "TempDir.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace fs = std::filesystem;

namespace OrvelTest {

TempDir::TempDir() {
  const char* base = std::getenv("TMPDIR");
  m_path = std::string(base && *base ? base : "/tmp") + "/orvelkf-test-XXXXXX";
  if (!mkdtemp(m_path.data())) throw std::runtime_error("mkdtemp failed for " + m_path);
}

TempDir::~TempDir() {
  std::error_code ec;
  // Tests may leave read-only folders behind; make them writable first.
  for (auto it = fs::recursive_directory_iterator(m_path, ec); !ec && it != fs::end(it);
       it.increment(ec))
    fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, ec);
  fs::remove_all(m_path, ec);
}

std::string TempDir::operator/(const std::string& relative) const {
  return m_path + "/" + relative;
}

void writeFile(const std::string& path, const std::string& content) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << content;
  if (!out) throw std::runtime_error("cannot write " + path);
}

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("cannot read " + path);
  std::ostringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

bool fileExists(const std::string& path) {
  std::error_code ec;
  return fs::exists(path, ec);
}

ScopedEnvironment::ScopedEnvironment(const char* name, const char* value)
    : m_name(name), m_had(std::getenv(name) != nullptr) {
  if (m_had) m_previous = std::getenv(name);
  if (value)
    ::setenv(name, value, 1);
  else
    ::unsetenv(name);
}

ScopedEnvironment::~ScopedEnvironment() {
  if (m_had)
    ::setenv(m_name.c_str(), m_previous.c_str(), 1);
  else
    ::unsetenv(m_name.c_str());
}

}  // namespace OrvelTest
