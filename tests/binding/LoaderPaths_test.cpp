// The loader's path rules: joining, resolving, and folders near the 1024-byte limit.
#include <filesystem>
#include <string>
#include <vector>

#include "BindingTestSupport.h"

using namespace BindingTest;

namespace {

// Makes a folder below base whose resolved path is exactly `length` bytes long.
std::string folderOfLength(const std::string& base, std::size_t length) {
  std::string path = resolved(base);
  while (path.size() < length) {
    const std::size_t remaining = length - path.size();
    // Each step adds "/" and a name of 1 to 200 bytes; never leave a single byte over.
    std::size_t name = remaining <= 201 ? remaining - 1 : (remaining == 202 ? 199 : 200);
    path += "/" + std::string(name, 'd');
    std::filesystem::create_directory(path);
  }
  EXPECT_EQ(length, path.size());
  return path;
}

// Counts the loader's attempts to open a library file.
int g_attempts = 0;
OrvelPlatform::LibraryHandle countingOpener(const char* path) {
  ++g_attempts;
  return OrvelPlatform::loadLibrary(path);
}

class AttemptCounter {
 public:
  AttemptCounter() : m_previous(cb::setLibraryOpener(&countingOpener)) { g_attempts = 0; }
  ~AttemptCounter() { cb::setLibraryOpener(m_previous); }
  AttemptCounter(const AttemptCounter&) = delete;
  AttemptCounter& operator=(const AttemptCounter&) = delete;
  int attempts() const { return g_attempts; }

 private:
  cb::LibraryOpener m_previous;
};

using LongFolderTest = ClientBindingTest;

}  // namespace

TEST(LoaderPaths, JoinsWithOneSeparatorChosenByTheFolderAndNeverCuts) {
  const char* const joins[][3] = {
      {"C:\\Orvel\\bin", "QxUpdate.dll", "C:\\Orvel\\bin\\QxUpdate.dll"},
      {"C:\\Orvel\\bin\\", "QxUpdate.dll", "C:\\Orvel\\bin\\QxUpdate.dll"},
      {"C:/Orvel/bin/", "QxUpdate.dll", "C:\\Orvel\\bin\\QxUpdate.dll"},
      {"/", "QxUpdate.dll", "\\QxUpdate.dll"},
      {"\\\\server\\share/bin", "QxUpdate.dll", "\\\\server\\share\\bin\\QxUpdate.dll"},
      {"/opt", "a/b.dll", "\\opt\\a\\b.dll"},  // the name's separators follow the folder's
      {"http://feed.example/bin", "QxUpdate.dll", "http://feed.example/bin/QxUpdate.dll"},
      {"https://feed.example\\bin\\", "QxUpdate.dll", "https://feed.example/bin/QxUpdate.dll"},
      {"ftp://feed.example/", "QxUpdate.dll", "ftp://feed.example/QxUpdate.dll"},
      {"file:///feed", "QxUpdate.dll",
       "file:\\\\\\feed\\QxUpdate.dll"}};  // only those three choose "/"
  for (const auto& join : joins) {
    char out[cb::kPathCapacity];
    EXPECT_TRUE(cb::joinPath(join[0], join[1], out, sizeof out)) << join[0];
    EXPECT_STREQ(join[2], out);
  }
  char out[16] = "previous";
  EXPECT_FALSE(cb::joinPath("/opt/orvel", "QxUpdate.dll", out, sizeof out));
  EXPECT_STREQ("", out);
  EXPECT_TRUE(cb::joinPath("/opt", "abcdef.dll", out, sizeof out));
  EXPECT_STREQ("\\opt\\abcdef.dll", out) << "16 bytes with the NUL";
  EXPECT_FALSE(cb::joinPath("/opt", "abcdefg.dll", out, sizeof out)) << "17 bytes with the NUL";
  EXPECT_FALSE(cb::joinPath(nullptr, "x", out, sizeof out));
}

TEST(LoaderPaths, ResolvesExistingFoldersOnly) {
  OrvelTest::TempDir dir;
  std::filesystem::create_directories(dir / "a/b");
  OrvelTest::writeFile(dir / "a/file", "x");
  const std::string expected = resolved(dir / "a/b");
  char out[cb::kPathCapacity];

  ASSERT_TRUE(cb::resolveFolder((dir / "a/b").c_str(), out, sizeof out));
  EXPECT_EQ(expected, out);
  ASSERT_TRUE(cb::resolveFolder((windowsStyle(dir / "a/b") + "\\").c_str(), out, sizeof out));
  EXPECT_EQ(expected, out);
  EXPECT_FALSE(cb::resolveFolder((dir / "a/x/../b/").c_str(), out, sizeof out))
      << "a part that does not exist";
  ASSERT_TRUE(cb::resolveFolder((dir / "a/b/../b").c_str(), out, sizeof out));
  EXPECT_EQ(expected, out);
  ASSERT_TRUE(cb::resolveFolder("/", out, sizeof out));
  EXPECT_STREQ("/", out);

  EXPECT_FALSE(cb::resolveFolder((dir / "a/file").c_str(), out, sizeof out));
  EXPECT_FALSE(cb::resolveFolder((dir / "a/none").c_str(), out, sizeof out));
  EXPECT_FALSE(cb::resolveFolder("", out, sizeof out));
  EXPECT_FALSE(cb::resolveFolder(nullptr, out, sizeof out));
  char tiny[4];
  EXPECT_FALSE(cb::resolveFolder((dir / "a/b").c_str(), tiny, sizeof tiny));
}

TEST_F(LongFolderTest, AFolderWhoseLibraryPathJustFitsLoads) {
  // 1010 bytes, "\" and "QxUpdate.dll": 1023 bytes and the NUL.
  const std::string folder = folderOfLength(m_dir.path(), 1010);
  installDouble("full", folder);
  AttemptCounter counter;
  ASSERT_EQ(kUpdateClientLoaded, loadUpdateClient(folder.c_str(), nullptr));
  EXPECT_EQ(1, counter.attempts());
  releaseUpdateClient();
}

TEST_F(LongFolderTest, ALibraryPathThatWouldBeCutIsNeverOpened) {
  // One byte more and the path no longer fits; cut, it would name "QxUpdate.dl".
  const std::string folder = folderOfLength(m_dir.path(), 1011);
  installDouble("full", folder);
  std::filesystem::copy_file(folder + "/QxUpdate.dll", folder + "/QxUpdate.dl");
  AttemptCounter counter;
  EXPECT_EQ(kUpdateClientNoLibrary, loadUpdateClient(folder.c_str(), nullptr));
  EXPECT_EQ(0, counter.attempts());
  EXPECT_EQ(0, OrvelProbe::loads());
}

TEST_F(LongFolderTest, AFolderFillingTheBufferIsNeverOpenedAndALongerOneIsRefused) {
  const std::string longest = folderOfLength(m_dir.path(), 1023);
  AttemptCounter counter;
  EXPECT_EQ(kUpdateClientNoLibrary, loadUpdateClient(longest.c_str(), nullptr));
  EXPECT_EQ(0, counter.attempts());

  const std::string tooLong = folderOfLength(longest, 1025);
  EXPECT_EQ(kUpdateClientBadLibraryFolder, loadUpdateClient(tooLong.c_str(), nullptr));
  EXPECT_EQ(kUpdateClientBadWorkingFolder, loadUpdateClient(m_dir.path().c_str(), tooLong.c_str()));
  EXPECT_EQ(0, counter.attempts());
}
