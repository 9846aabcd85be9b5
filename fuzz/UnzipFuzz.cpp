// Extraction of any archive bytes: whatever it holds, nothing is written outside the destination.
#include <filesystem>
#include <string>

#include "FuzzSupport.h"
#include "OrvelKF/QxZip.h"

namespace fs = std::filesystem;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string& scratch = OrvelFuzz::scratch();
  std::string archive = scratch + "/component.zip", destination = scratch + "/out/deeper";
  OrvelFuzz::writeFile(archive, std::string(reinterpret_cast<const char*>(data), size));
  fs::create_directories(destination);
  ORVEL::_unzip(archive.data(), destination.data());
  std::size_t outside = 0;
  for (const auto& entry : fs::recursive_directory_iterator(scratch)) {
    const std::string path = entry.path().string();
    outside += path != archive && path != scratch + "/out" && path != destination &&
               path.rfind(destination + "/", 0) != 0;
  }
  OrvelFuzz::require(outside == 0, "nothing is written outside the destination");
  fs::remove_all(scratch + "/out");
  return 0;
}
