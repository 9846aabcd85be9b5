#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "OrvelPlatform/DynamicLibrary.h"
#include "TempDir.h"

using namespace OrvelPlatform;

TEST(Platform, LoadsFindsAndReleasesALibraryByItsProductPathAndRefusesBrokenOnes) {
  const unsigned long loads = libraryLoadCount();
  {
    std::string path = ORVEL_TEST_PLUGIN_DIR "/orvel_test_plugin.dll";
    std::replace(path.begin(), path.end(), '/', '\\');  // the product's own path
    SharedLibrary plugin(path.c_str());
    ASSERT_TRUE(plugin.loaded()) << lastLoadError();
    auto answer = plugin.symbol<int (*)()>("orvel_test_answer");
    ASSERT_NE(nullptr, answer);
    EXPECT_EQ(42, answer());
    EXPECT_EQ(nullptr, plugin.symbol<int (*)()>("ZRInit"));
    EXPECT_NE(std::string::npos, lastLoadError().find("ZRInit"));
  }

  // Load failures keep the loader's text.
  OrvelTest::TempDir dir;
  OrvelTest::writeFile(dir / "ziran32.dll", "this is not a shared object");

  for (const char* name : {"ziran32.dll", "missing.dll"}) {
    EXPECT_EQ(nullptr, loadLibrary((dir / name).c_str()));
    EXPECT_NE(std::string::npos, lastLoadError().find(name)) << lastLoadError();
  }
  EXPECT_FALSE(loadLibrary(nullptr) || loadLibrary("") || freeLibrary(nullptr) ||
               findSymbol(nullptr, "x"));

  // A library cut short is refused before the loader maps it.
  const std::string whole = OrvelTest::readFile(ORVEL_TEST_PLUGIN_DIR "/orvel_test_plugin.dll");
  // Cut inside the program header table, and inside the loadable segments (past the first page).
  ASSERT_GT(whole.size(), 8192u);
  for (std::size_t size : {std::size_t{100}, std::size_t{4096}}) {
    OrvelTest::writeFile(dir / "QxUpdate.dll", whole.substr(0, size));
    EXPECT_EQ(nullptr, loadLibrary((dir / "QxUpdate.dll").c_str())) << size;
    EXPECT_EQ(dir / "QxUpdate.dll: file too short for the segments it describes", lastLoadError());
  }
  EXPECT_EQ(loads + 1, libraryLoadCount());
}
