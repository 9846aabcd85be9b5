// Loading, reference counting and releasing the update client, every way a load fails, and the
// loader's path rules: joining and resolving.

#include "BindingTestSupport.h"

using namespace BindingTest;

using LoaderTest = ClientBindingTest;

TEST_F(LoaderTest, LoadsBindsCountsReferencesAndFreesTheClientAtTheLastReleaseOrAtUnload) {
  const std::string bin = clientFolder("full"), work = clientFolder(nullptr, "work");
  clientFolder(nullptr, "empty");
  releaseUpdateClient();  // without a load: takes nothing away
  ASSERT_EQ(kUpdateClientLoaded,
            loadUpdateClient((m_dir / "bin").c_str(), (m_dir / "work").c_str()));
  EXPECT_EQ("loaded refs=1 entries=45 loads=1 unloads=0", state());
  EXPECT_EQ(loadProperties(bin, work), OrvelProbe::record().calls);
  // A second load only takes a reference: this folder holds no client at all.
  EXPECT_EQ(kUpdateClientLoaded, loadUpdateClient((m_dir / "empty").c_str(), nullptr));
  EXPECT_EQ("loaded refs=2 entries=45 loads=1 unloads=0", state());
  EXPECT_EQ(1ul, loadsSinceSetUp());
  EXPECT_EQ(2u, OrvelProbe::record().calls.size()) << "no property is set again";
  releaseUpdateClient();
  EXPECT_EQ("loaded refs=1 entries=45 loads=1 unloads=0", state());
  releaseUpdateClient();
  releaseUpdateClient();  // one too many: the count does not wrap
  EXPECT_EQ("unloaded refs=0 entries=0 loads=1 unloads=1", state());

  ASSERT_EQ(kUpdateClientLoaded,
            loadUpdateClient((windowsStyle(m_dir / "bin") + "\\").c_str(), nullptr));
  ASSERT_EQ(kUpdateClientLoaded, loadUpdateClient((m_dir / "bin").c_str(), nullptr));
  unloadUpdateClient();
  // The count is left to the holders.
  EXPECT_EQ("unloaded refs=2 entries=0 loads=2 unloads=2", state());
  releaseUpdateClient();
  releaseUpdateClient();
}

TEST_F(LoaderTest, FoldersThatDoNotExistOrAreFilesGive1Or2LoadedOrNot) {
  clientFolder("full");
  OrvelTest::writeFile(m_dir / "plain.txt", "not a folder");
  const std::string bin = m_dir / "bin", missing = m_dir / "missing", file = m_dir / "plain.txt";
  const struct {
    std::string library, working;
    int result;
  } cases[] = {{missing, "", kUpdateClientBadLibraryFolder},
               {file + "\\", bin, kUpdateClientBadLibraryFolder},
               {bin, file, kUpdateClientBadWorkingFolder}};
  for (bool loaded : {false, true}) {
    for (const auto& c : cases)
      EXPECT_EQ(c.result, loadUpdateClient(c.library.c_str(), c.working.c_str())) << c.library;
    EXPECT_EQ(loaded ? "loaded refs=1 entries=45 loads=1 unloads=0"
                     : "unloaded refs=0 entries=0 loads=0 unloads=0",
              state());
    if (!loaded) {
      ASSERT_EQ(kUpdateClientLoaded, loadUpdateClient(bin.c_str(), nullptr));
    }
  }
  releaseUpdateClient();
}

TEST_F(LoaderTest, AClientThatCannotBeOpenedBoundOrGivenItsFoldersLeavesNothingLoaded) {
  const std::string work = resolved(m_dir.path());
  const struct {
    const char* variant;  // the double in the folder, if any
    const char* folder;
    int result;
    std::size_t properties;  // how many of the two were set before the failure
  } cases[] = {{nullptr, "empty", kUpdateClientNoLibrary, 0},
               {"without_get_last_error", "incomplete", kUpdateClientMissingEntryPoint, 0},
               {"refuses_library", "lib", kUpdateClientLibraryRefused, 1},
               {"refuses_path", "path", kUpdateClientPathRefused, 2}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.folder);
    const std::string folder = clientFolder(c.variant, c.folder);
    OrvelProbe::reset();
    EXPECT_EQ(c.result, loadUpdateClient(folder.c_str(), work.c_str()));
    Calls properties = loadProperties(folder, work);
    properties.resize(c.properties);
    EXPECT_EQ(properties, OrvelProbe::record().calls);
    EXPECT_EQ(c.variant ? "unloaded refs=0 entries=0 loads=1 unloads=1"
                        : "unloaded refs=0 entries=0 loads=0 unloads=0",
              state());
  }
}

TEST(LoaderPaths, JoinsWithOneSeparatorChosenByTheFolderResolvesExistingFoldersAndNeverCuts) {
  const char* const joins[][3] = {
      {"C:\\Orvel\\bin", "QxUpdate.dll", "C:\\Orvel\\bin\\QxUpdate.dll"},
      {"/opt", "a/b.dll", "\\opt\\a\\b.dll"}};  // the name's separators follow the folder's
  char out[cb::kPathCapacity];
  for (const auto& join : joins) {
    EXPECT_TRUE(cb::joinPath(join[0], join[1], out, sizeof out)) << join[0];
    EXPECT_STREQ(join[2], out);
  }
  char small[16];
  EXPECT_TRUE(cb::joinPath("/opt", "abcdef.dll", small, sizeof small));
  EXPECT_STREQ("\\opt\\abcdef.dll", small) << "16 bytes with the NUL";
  EXPECT_FALSE(cb::joinPath("/opt", "abcdefg.dll", small, sizeof small)) << "17 bytes with the NUL";
  EXPECT_STREQ("", small) << "nothing cut is left behind";

  OrvelTest::TempDir dir;
  std::filesystem::create_directories(dir / "a/b");
  const std::string b = resolved(dir / "a/b");
  EXPECT_TRUE(cb::resolveFolder((windowsStyle(dir / "a/b/../b") + "\\").c_str(), out, sizeof out));
  EXPECT_EQ(b, out);
  EXPECT_FALSE(cb::resolveFolder(b.c_str(), out, b.size())) << "no room for the NUL";
  EXPECT_TRUE(cb::resolveFolder(b.c_str(), out, b.size() + 1));
}
