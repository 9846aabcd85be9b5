// What the fuzz targets share: cutting the input into pieces and a scratch folder of the process.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace OrvelFuzz {

// The input cut at its NUL bytes, and at least `atLeast` pieces (empty ones added).
std::vector<std::string> pieces(const std::uint8_t* data, std::size_t size, std::size_t atLeast);

// A folder of this process below the temporary folder ($TMPDIR, else /tmp), made at the first
// call and removed when the process ends.
const std::string& scratch();

// Writes bytes to the file, replacing it.
void writeFile(const std::string& path, const std::string& bytes);

// Ends the process (the fuzzer reports a crash) when a property of the code under test fails.
void require(bool holds, const char* what);

}  // namespace OrvelFuzz

// The entry point every target defines (libFuzzer's name).
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);
