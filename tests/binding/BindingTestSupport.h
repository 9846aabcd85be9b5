// Shared set-up of the binding tests: placing a double as "QxUpdate.dll" in a folder, the current
// folder changed for one scope, and a fixture that checks after every test that the client is
// unloaded and that every load was released.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "ClientProbe.h"
#include "OrvelKF/QxUpdateClientBinding.h"
#include "OrvelPlatform/DynamicLibrary.h"
#include "QxUpdateClientBindingInternal.h"
#include "TempDir.h"

namespace BindingTest {

namespace cb = ORVEL::clientbinding;
using Calls = std::vector<std::string>;

// The absolute, resolved form of an existing path, as the loader hands it to the client.
inline std::string resolved(const std::string& path) {
  std::error_code error;
  return std::filesystem::canonical(path, error).string();
}

inline std::string windowsStyle(std::string path) {
  std::replace(path.begin(), path.end(), '/', '\\');
  return path;
}

// The properties a load sets on the client.
inline Calls loadProperties(const std::string& library, const std::string& working) {
  return {"QxuSetProperty(KiteFeedLib_FromLoader," + library + ")",
          "QxuSetProperty(KiteFeedPath_FromLoader," + working + ")"};
}

class CurrentFolder {
 public:
  explicit CurrentFolder(const std::string& folder) : m_previous(std::filesystem::current_path()) {
    std::filesystem::current_path(folder);
  }
  ~CurrentFolder() { std::filesystem::current_path(m_previous); }

 private:
  std::filesystem::path m_previous;
};

class ClientBindingTest : public ::testing::Test {
 protected:
  void SetUp() override { OrvelProbe::reset(); }

  void TearDown() override {
    const std::string loads = std::to_string(OrvelProbe::record().loads);
    EXPECT_EQ("unloaded refs=0 entries=0 loads=" + loads + " unloads=" + loads, state());
    EXPECT_EQ(loadsSinceSetUp(), OrvelPlatform::libraryReleaseCount() - m_releases)
        << "a load was not released";
    // Leave a clean loader to the next test even after a failure.
    while (cb::referenceCount() > 0) releaseUpdateClient();
    unloadUpdateClient();
  }

  unsigned long loadsSinceSetUp() const { return OrvelPlatform::libraryLoadCount() - m_loads; }
  // What the loader holds, and how often a double came and went since the probe's last reset:
  // "loaded refs=1 entries=45 loads=1 unloads=0".
  static std::string state() {
    const OrvelProbe::Record seen = OrvelProbe::record();
    return std::string(cb::clientLoaded() ? "loaded" : "unloaded") +
           " refs=" + std::to_string(cb::referenceCount()) +
           " entries=" + std::to_string(cb::boundEntryCount()) +
           " loads=" + std::to_string(seen.loads) + " unloads=" + std::to_string(seen.unloads);
  }

  // A folder holding the double of that variant as "QxUpdate.dll" (none: an empty folder); its
  // resolved path.
  std::string clientFolder(const char* variant, const std::string& name = "bin") {
    std::filesystem::create_directories(m_dir / name);
    if (variant)
      std::filesystem::copy_file(
          std::string(ORVEL_CLIENT_DOUBLES_DIR) + "/" + variant + "/QxUpdate.dll",
          m_dir / name + "/QxUpdate.dll", std::filesystem::copy_options::overwrite_existing);
    return resolved(m_dir / name);
  }

  OrvelTest::TempDir m_dir;

 private:
  const unsigned long m_loads = OrvelPlatform::libraryLoadCount();
  const unsigned long m_releases = OrvelPlatform::libraryReleaseCount();
};

}  // namespace BindingTest
