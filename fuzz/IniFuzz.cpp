// The INI reader and writer on any file: pieces are the file, a section, a key and a value. A
// value the writer accepts is what any reader of the file finds afterwards, without its blanks.
#include "FuzzSupport.h"
#include "OrvelCommon/ConfigFileOnDisk.h"

namespace {

std::string trimmed(const std::string& text) {
  const char* blanks = " \t";
  const std::size_t first = text.find_first_not_of(blanks);
  if (first == std::string::npos) return {};
  return text.substr(first, text.find_last_not_of(blanks) - first + 1);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::vector<std::string> pieces = OrvelFuzz::pieces(data, size, 4);
  const std::string file = OrvelFuzz::scratch() + "/orvel.ini";
  OrvelFuzz::writeFile(file, pieces[0]);
  const std::string &section = pieces[1], &key = pieces[2], &value = pieces[3];
  ORVEL::ConfigFileOnDisk config(file.c_str());
  std::string found;
  config.getparam(section.c_str(), key.c_str(), found);
  if (config.setparam(section.c_str(), key.c_str(), value.c_str())) {
    ORVEL::ConfigFileOnDisk reader(file.c_str());
    OrvelFuzz::require(reader.getparam(section.c_str(), key.c_str(), found),
                       "a written key is found");
    OrvelFuzz::require(found == trimmed(value), "a written key has the written value");
  }
  return 0;
}
