// Loading, reference counting and releasing the update client, and every way a load fails.
#include <chrono>
#include <filesystem>
#include <future>
#include <string>
#include <vector>

#include "BindingTestSupport.h"
#include "OrvelPlatform/NamedMutex.h"

using namespace BindingTest;
using Calls = std::vector<std::string>;

namespace {

using LoaderTest = ClientBindingTest;

// Puts itself in front of the platform loader for one test and records every path the loader
// tries; the first `failures` attempts fail without touching the file.
class RecordingOpener {
 public:
  explicit RecordingOpener(int failures) {
    s_paths.clear();
    s_failures = failures;
    m_previous = cb::setLibraryOpener(&open);
  }
  ~RecordingOpener() { cb::setLibraryOpener(m_previous); }
  RecordingOpener(const RecordingOpener&) = delete;
  RecordingOpener& operator=(const RecordingOpener&) = delete;

  const std::vector<std::string>& paths() const { return s_paths; }

 private:
  static OrvelPlatform::LibraryHandle open(const char* path) {
    s_paths.emplace_back(path);
    if (s_failures > 0) {
      --s_failures;
      return nullptr;
    }
    return OrvelPlatform::loadLibrary(path);
  }

  static std::vector<std::string> s_paths;
  static int s_failures;
  cb::LibraryOpener m_previous = nullptr;
};

std::vector<std::string> RecordingOpener::s_paths;
int RecordingOpener::s_failures = 0;

}  // namespace

TEST_F(LoaderTest, LoadsBindsEveryEntryPointAndHandsTheClientItsFolders) {
  const std::string bin = clientFolder("full");
  std::filesystem::create_directories(m_dir / "work");
  RecordingOpener opener(0);

  ASSERT_EQ(kUpdateClientLoaded,
            loadUpdateClient((m_dir / "bin").c_str(), (m_dir / "work").c_str()));
  EXPECT_TRUE(cb::clientLoaded());
  EXPECT_EQ(1u, cb::referenceCount());
  EXPECT_EQ(45, cb::boundEntryCount());
  EXPECT_EQ(1, OrvelProbe::loads());
  EXPECT_EQ("full", OrvelProbe::lastVariant());
  // The library path is built the product's way, with "\" throughout.
  EXPECT_EQ(Calls{windowsStyle(bin) + "\\QxUpdate.dll"}, opener.paths());
  EXPECT_EQ((Calls{setProperty("KiteFeedLib_FromLoader", bin),
                   setProperty("KiteFeedPath_FromLoader", resolved(m_dir / "work"))}),
            OrvelProbe::calls());

  releaseUpdateClient();
  EXPECT_FALSE(cb::clientLoaded());
  EXPECT_EQ(0u, cb::referenceCount());
  EXPECT_EQ(0, cb::boundEntryCount());
  EXPECT_EQ(1, OrvelProbe::unloads());
}

TEST_F(LoaderTest, TakesWindowsStyleFoldersAndUsesTheLibraryFolderAsWorkingFolder) {
  const std::string bin = clientFolder("full");
  const std::string written = windowsStyle(m_dir / "bin") + "\\";
  for (const char* working : {static_cast<const char*>(nullptr), ""}) {
    ASSERT_EQ(kUpdateClientLoaded, loadUpdateClient(written.c_str(), working));
    EXPECT_EQ((Calls{setProperty("KiteFeedLib_FromLoader", bin),
                     setProperty("KiteFeedPath_FromLoader", bin)}),
              OrvelProbe::calls());
    releaseUpdateClient();
    OrvelProbe::reset();
  }
}

TEST_F(LoaderTest, EnsureUsesOneFolderForBoth) {
  const std::string bin = clientFolder("full");
  ASSERT_TRUE(ensureUpdateClient((m_dir / "bin").c_str()));
  EXPECT_EQ((Calls{setProperty("KiteFeedLib_FromLoader", bin),
                   setProperty("KiteFeedPath_FromLoader", bin)}),
            OrvelProbe::calls());
  releaseUpdateClient();
  EXPECT_FALSE(ensureUpdateClient((m_dir / "missing").c_str()));
  EXPECT_FALSE(cb::clientLoaded());
}

TEST_F(LoaderTest, CountsReferencesAndFreesTheClientAtTheLastRelease) {
  clientFolder("full");
  std::filesystem::create_directories(m_dir / "empty");
  ASSERT_EQ(kUpdateClientLoaded, loadUpdateClient((m_dir / "bin").c_str(), nullptr));
  const unsigned long loadsOfFirst = loadsSinceSetUp();

  // A second load only takes a reference: this folder holds no client at all.
  EXPECT_EQ(kUpdateClientLoaded, loadUpdateClient((m_dir / "empty").c_str(), nullptr));
  EXPECT_EQ(2u, cb::referenceCount());
  EXPECT_EQ(loadsOfFirst, loadsSinceSetUp());
  EXPECT_EQ(1, OrvelProbe::loads());
  EXPECT_EQ(2u, OrvelProbe::calls().size()) << "no property is set again";

  releaseUpdateClient();
  EXPECT_TRUE(cb::clientLoaded());
  EXPECT_EQ(1u, cb::referenceCount());
  EXPECT_EQ(45, cb::boundEntryCount());
  EXPECT_EQ(0, OrvelProbe::unloads());
  EXPECT_EQ(0ul, releasesSinceSetUp());

  releaseUpdateClient();
  EXPECT_FALSE(cb::clientLoaded());
  EXPECT_EQ(0u, cb::referenceCount());
  EXPECT_EQ(0, cb::boundEntryCount());
  EXPECT_EQ(1, OrvelProbe::unloads());
  EXPECT_EQ(loadsOfFirst, releasesSinceSetUp());
}

TEST_F(LoaderTest, AReleaseWithoutALoadTakesNothingAway) {
  clientFolder("full");
  releaseUpdateClient();
  EXPECT_EQ(0u, cb::referenceCount());

  ASSERT_EQ(kUpdateClientLoaded, loadUpdateClient((m_dir / "bin").c_str(), nullptr));
  releaseUpdateClient();
  releaseUpdateClient();  // one too many
  EXPECT_EQ(0u, cb::referenceCount());

  // The count did not wrap: the next holder's one release frees the client again.
  ASSERT_EQ(kUpdateClientLoaded, loadUpdateClient((m_dir / "bin").c_str(), nullptr));
  EXPECT_EQ(1u, cb::referenceCount());
  releaseUpdateClient();
  EXPECT_FALSE(cb::clientLoaded());
  EXPECT_EQ(2, OrvelProbe::unloads());
}

TEST_F(LoaderTest, UnloadFreesTheClientAtOnce) {
  clientFolder("full");
  ASSERT_EQ(kUpdateClientLoaded, loadUpdateClient((m_dir / "bin").c_str(), nullptr));
  ASSERT_EQ(kUpdateClientLoaded, loadUpdateClient((m_dir / "bin").c_str(), nullptr));
  unloadUpdateClient();
  EXPECT_FALSE(cb::clientLoaded());
  EXPECT_EQ(0, cb::boundEntryCount());
  EXPECT_EQ(1, OrvelProbe::unloads());
  EXPECT_EQ(2u, cb::referenceCount()) << "the count is left to the holders";
  releaseUpdateClient();
  releaseUpdateClient();
}

TEST_F(LoaderTest, ALoadWhileLoadedStillChecksItsFolders) {
  clientFolder("full");
  OrvelTest::writeFile(m_dir / "plain.txt", "not a folder");
  ASSERT_EQ(kUpdateClientLoaded, loadUpdateClient((m_dir / "bin").c_str(), nullptr));

  EXPECT_EQ(kUpdateClientBadLibraryFolder, loadUpdateClient((m_dir / "missing").c_str(), nullptr));
  EXPECT_EQ(kUpdateClientBadWorkingFolder,
            loadUpdateClient((m_dir / "bin").c_str(), (m_dir / "plain.txt").c_str()));
  EXPECT_EQ(1u, cb::referenceCount());
  releaseUpdateClient();
}

TEST_F(LoaderTest, FoldersThatDoNotExistOrAreFilesGive1Or2) {
  clientFolder("full");
  OrvelTest::writeFile(m_dir / "plain.txt", "not a folder");
  const std::string bin = m_dir / "bin";
  const std::string missing = m_dir / "missing";
  const std::string file = m_dir / "plain.txt";

  EXPECT_EQ(kUpdateClientBadLibraryFolder, loadUpdateClient(missing.c_str(), nullptr));
  EXPECT_EQ(kUpdateClientBadLibraryFolder, loadUpdateClient(file.c_str(), nullptr));
  EXPECT_EQ(kUpdateClientBadLibraryFolder, loadUpdateClient((file + "\\").c_str(), bin.c_str()));
  EXPECT_EQ(kUpdateClientBadLibraryFolder,
            loadUpdateClient((bin + "/QxUpdate.dll").c_str(), nullptr));
  EXPECT_EQ(kUpdateClientBadLibraryFolder, loadUpdateClient(missing.c_str(), missing.c_str()));
  EXPECT_EQ(kUpdateClientBadWorkingFolder, loadUpdateClient(bin.c_str(), missing.c_str()));
  EXPECT_EQ(kUpdateClientBadWorkingFolder, loadUpdateClient(bin.c_str(), file.c_str()));
  EXPECT_EQ(0ul, loadsSinceSetUp());
  EXPECT_EQ(0, OrvelProbe::loads());
}

TEST_F(LoaderTest, FolderFailuresDoNotWaitForTheLoaderLock) {
  clientFolder("full");
  char name[64];
  cb::loaderLockName(name, sizeof name);
  OrvelPlatform::NamedMutex held;
  ASSERT_TRUE(held.acquire(name));

  const std::string bin = m_dir / "bin";
  const std::string missing = m_dir / "missing";
  auto badLibrary =
      std::async(std::launch::async, [&] { return loadUpdateClient(missing.c_str(), nullptr); });
  auto badWorking = std::async(std::launch::async,
                               [&] { return loadUpdateClient(bin.c_str(), missing.c_str()); });
  const bool answered =
      badLibrary.wait_for(std::chrono::seconds(20)) == std::future_status::ready &&
      badWorking.wait_for(std::chrono::seconds(20)) == std::future_status::ready;
  held.release();
  ASSERT_TRUE(answered) << "a folder failure waited for the loader lock";
  EXPECT_EQ(kUpdateClientBadLibraryFolder, badLibrary.get());
  EXPECT_EQ(kUpdateClientBadWorkingFolder, badWorking.get());
}

TEST_F(LoaderTest, LoadsAndReleasesWaitForTheLoaderLock) {
  clientFolder("full");
  char name[64];
  cb::loaderLockName(name, sizeof name);
  OrvelPlatform::NamedMutex held;
  ASSERT_TRUE(held.acquire(name));

  const std::string bin = m_dir / "bin";
  auto load =
      std::async(std::launch::async, [&] { return loadUpdateClient(bin.c_str(), nullptr); });
  EXPECT_EQ(std::future_status::timeout, load.wait_for(std::chrono::milliseconds(100)));
  EXPECT_EQ(0, OrvelProbe::loads());
  held.release();
  EXPECT_EQ(kUpdateClientLoaded, load.get());

  ASSERT_TRUE(held.acquire(name));
  auto release = std::async(std::launch::async, [] { releaseUpdateClient(); });
  EXPECT_EQ(std::future_status::timeout, release.wait_for(std::chrono::milliseconds(100)));
  EXPECT_EQ(0, OrvelProbe::unloads());  // the state views take the lock themselves
  held.release();
  release.get();
  EXPECT_EQ(1, OrvelProbe::unloads());
}

TEST_F(LoaderTest, AFolderWithoutALoadableClientGives3) {
  std::filesystem::create_directories(m_dir / "empty");
  EXPECT_EQ(kUpdateClientNoLibrary, loadUpdateClient((m_dir / "empty").c_str(), nullptr));

  std::filesystem::create_directories(m_dir / "broken");
  OrvelTest::writeFile(m_dir / "broken/QxUpdate.dll", "not a shared object");
  EXPECT_EQ(kUpdateClientNoLibrary, loadUpdateClient((m_dir / "broken").c_str(), nullptr));
  EXPECT_FALSE(cb::clientLoaded());
  EXPECT_EQ(0ul, loadsSinceSetUp());
}

TEST_F(LoaderTest, RetriesOnceWithABackslashAppendedToTheFolder) {
  const std::string bin = clientFolder("full");
  const std::string path = windowsStyle(bin) + "\\QxUpdate.dll";
  {
    RecordingOpener opener(1);
    ASSERT_EQ(kUpdateClientLoaded, loadUpdateClient(bin.c_str(), nullptr));
    // The second path is the first one: the join adds no separator after the appended "\".
    EXPECT_EQ((Calls{path, path}), opener.paths());
    releaseUpdateClient();
  }
  std::filesystem::create_directories(m_dir / "empty");
  const std::string emptyPath = windowsStyle(resolved(m_dir / "empty")) + "\\QxUpdate.dll";
  RecordingOpener opener(0);
  EXPECT_EQ(kUpdateClientNoLibrary, loadUpdateClient((m_dir / "empty").c_str(), nullptr));
  EXPECT_EQ((Calls{emptyPath, emptyPath}), opener.paths()) << "exactly one more attempt";
}

TEST_F(LoaderTest, AMissingRequiredEntryPointGives4AndLeavesNothingLoaded) {
  clientFolder("without_get_last_error");
  EXPECT_EQ(kUpdateClientMissingEntryPoint, loadUpdateClient((m_dir / "bin").c_str(), nullptr));
  EXPECT_FALSE(cb::clientLoaded());
  EXPECT_EQ(0u, cb::referenceCount());
  EXPECT_EQ(0, cb::boundEntryCount());
  EXPECT_EQ(1, OrvelProbe::loads());
  EXPECT_EQ(1, OrvelProbe::unloads());
  EXPECT_TRUE(OrvelProbe::calls().empty()) << "no property is set on an incomplete client";

  // Nothing of the failed load stays behind.
  clientFolder("full", "good");
  ASSERT_EQ(kUpdateClientLoaded, loadUpdateClient((m_dir / "good").c_str(), nullptr));
  EXPECT_EQ(1u, cb::referenceCount());
  EXPECT_EQ("full", OrvelProbe::lastVariant());
  releaseUpdateClient();
}

TEST_F(LoaderTest, AClientWithoutQxuClearCacheExLoads) {
  clientFolder("without_clear_cache_ex");
  ASSERT_EQ(kUpdateClientLoaded, loadUpdateClient((m_dir / "bin").c_str(), nullptr));
  EXPECT_EQ(44, cb::boundEntryCount());
  EXPECT_FALSE(cb::entryBound("QxuClearCacheEx"));
  EXPECT_TRUE(cb::entryBound("QxuGetLastError"));
  EXPECT_TRUE(cb::entryBound("QxuUnpublished"));

  // Its forwarder answers like an unavailable client rather than call through a null pointer.
  const size_t callsBefore = OrvelProbe::calls().size();
  EXPECT_EQ(kUpdateClientUnavailable, ORVEL::QxuClearCacheEx("http://feed.example"));
  EXPECT_EQ(callsBefore, OrvelProbe::calls().size());
  EXPECT_EQ(1u, cb::referenceCount()) << "the forwarder gave its reference back";
  EXPECT_EQ(1045, ORVEL::QxuUnpublished());
  releaseUpdateClient();
}

TEST_F(LoaderTest, ARefusedPropertyGives5Or6AndLeavesNothingLoaded) {
  const std::string refusesLibrary = clientFolder("refuses_library", "lib");
  const std::string refusesPath = clientFolder("refuses_path", "path");
  std::filesystem::create_directories(m_dir / "work");
  const std::string work = resolved(m_dir / "work");

  EXPECT_EQ(kUpdateClientLibraryRefused, loadUpdateClient(refusesLibrary.c_str(), work.c_str()));
  EXPECT_FALSE(cb::clientLoaded());
  EXPECT_EQ(0, cb::boundEntryCount());
  EXPECT_EQ(Calls{setProperty("KiteFeedLib_FromLoader", refusesLibrary)}, OrvelProbe::calls());
  EXPECT_EQ(1, OrvelProbe::unloads());

  EXPECT_EQ(kUpdateClientPathRefused, loadUpdateClient(refusesPath.c_str(), work.c_str()));
  EXPECT_FALSE(cb::clientLoaded());
  EXPECT_EQ(0, cb::boundEntryCount());
  EXPECT_EQ((Calls{setProperty("KiteFeedLib_FromLoader", refusesLibrary),
                   setProperty("KiteFeedLib_FromLoader", refusesPath),
                   setProperty("KiteFeedPath_FromLoader", work)}),
            OrvelProbe::calls());
  EXPECT_EQ(2, OrvelProbe::unloads());
  EXPECT_EQ(0u, cb::referenceCount());
}
