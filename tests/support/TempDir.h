// A scratch folder below $TMPDIR (or /tmp) for one test, removed with all its
// content when the object goes.
#pragma once

#include <string>

namespace OrvelTest {

class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& path() const { return m_path; }
  // path() + "/" + relative
  std::string operator/(const std::string& relative) const;

 private:
  std::string m_path;
};

// Small file helpers for test set-up; they abort the test run on failure.
void writeFile(const std::string& path, const std::string& content);
std::string readFile(const std::string& path);
bool fileExists(const std::string& path);

// Sets (or, with null, removes) an environment variable for one scope.
class ScopedEnvironment {
 public:
  ScopedEnvironment(const char* name, const char* value);
  ~ScopedEnvironment();
  ScopedEnvironment(const ScopedEnvironment&) = delete;
  ScopedEnvironment& operator=(const ScopedEnvironment&) = delete;

 private:
  std::string m_name;
  std::string m_previous;
  bool m_had;
};

}  // namespace OrvelTest
