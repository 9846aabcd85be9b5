// Loading, reference counting and releasing the update client, every way a load fails, and the
// loader's path rules never cut a path.

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

TEST_F(LoaderTest, EveryFailedLoadGivesItsCodeAndLeavesNothingLoadedOrTheHeldClientAsItWas) {
  const std::string work = resolved(m_dir.path()), bin = clientFolder("full");
  const std::string file = m_dir / "plain.txt";
  OrvelTest::writeFile(file, "not a folder");
  const struct {
    std::string library, working;
    int result;
    std::size_t properties;  // how many of the two were set before the failure
    int loads;               // of a double, unloaded again
  } cases[] = {{m_dir / "missing", work, kUpdateClientBadLibraryFolder, 0, 0},
               {file + "\\", work, kUpdateClientBadLibraryFolder, 0, 0},
               {bin, file, kUpdateClientBadWorkingFolder, 0, 0},
               {clientFolder(nullptr, "empty"), work, kUpdateClientNoLibrary, 0, 0},
               {clientFolder("without_get_last_error", "incomplete"), work,
                kUpdateClientMissingEntryPoint, 0, 1},
               {clientFolder("refuses_library", "lib"), work, kUpdateClientLibraryRefused, 1, 1},
               {clientFolder("refuses_path", "path"), work, kUpdateClientPathRefused, 2, 1}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.library);
    OrvelProbe::reset();
    EXPECT_EQ(c.result, loadUpdateClient(c.library.c_str(), c.working.c_str()));
    Calls properties = loadProperties(c.library, work);
    properties.resize(c.properties);
    EXPECT_EQ(properties, OrvelProbe::record().calls);
    const std::string loads = std::to_string(c.loads);
    EXPECT_EQ("unloaded refs=0 entries=0 loads=" + loads + " unloads=" + loads, state());
  }
  // While a client is held, the folders are still checked and a failure takes no reference.
  OrvelProbe::reset();
  ASSERT_EQ(kUpdateClientLoaded, loadUpdateClient(bin.c_str(), nullptr));
  for (const auto& c : {cases[0], cases[1], cases[2]})
    EXPECT_EQ(c.result, loadUpdateClient(c.library.c_str(), c.working.c_str())) << c.library;
  EXPECT_EQ("loaded refs=1 entries=45 loads=1 unloads=0", state());
  releaseUpdateClient();
}

TEST(LoaderPaths, JoiningAndResolvingNeverCut) {
  char small[16];
  EXPECT_TRUE(cb::joinPath("/opt", "abcdef.dll", small, sizeof small));
  EXPECT_STREQ("\\opt\\abcdef.dll", small) << "16 bytes with the NUL";
  EXPECT_FALSE(cb::joinPath("/opt", "abcdefg.dll", small, sizeof small)) << "17 bytes with the NUL";
  EXPECT_STREQ("", small) << "nothing cut is left behind";
  OrvelTest::TempDir dir;
  const std::string folder = resolved(dir.path());
  char out[cb::kPathCapacity];
  EXPECT_FALSE(cb::resolveFolder(folder.c_str(), out, folder.size())) << "no room for the NUL";
  EXPECT_TRUE(cb::resolveFolder(folder.c_str(), out, folder.size() + 1));
  EXPECT_EQ(folder, out);
}
