// What the fuzz targets share: cutting the input into pieces and a scratch folder of the process.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace OrvelFuzz {

// Reads the input piece by piece: each piece ends at the next NUL byte or at the end.
class Pieces {
 public:
  Pieces(const std::uint8_t* data, std::size_t size)
      : m_text(reinterpret_cast<const char*>(data), size) {}
  std::string next();
  bool atEnd() const { return m_at >= m_text.size(); }

 private:
  std::string m_text;
  std::size_t m_at = 0;
};

// A folder of this process below $TMPDIR (else /tmp), made at the first call and removed when
// the process ends.
const std::string& scratch();

// Writes bytes to the file, replacing it.
void writeFile(const std::string& path, const std::string& bytes);

// Ends the process (the fuzzer reports a crash) when a property of the code under test fails.
void require(bool holds, const char* what);

}  // namespace OrvelFuzz

// The entry point every target defines (libFuzzer's name).
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);
