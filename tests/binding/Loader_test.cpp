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

  const Calls& paths() const { return s_paths; }

 private:
  static OrvelPlatform::LibraryHandle open(const char* path) {
    s_paths.emplace_back(path);
    if (s_failures-- > 0) return nullptr;
    return OrvelPlatform::loadLibrary(path);
  }

  static Calls s_paths;
  static int s_failures;
  cb::LibraryOpener m_previous = nullptr;
};

Calls RecordingOpener::s_paths;
int RecordingOpener::s_failures = 0;

// The properties a load sets on the client.
Calls loadProperties(const std::string& library, const std::string& working) {
  return {setProperty("KiteFeedLib_FromLoader", library),
          setProperty("KiteFeedPath_FromLoader", working)};
}

}  // namespace

TEST_F(LoaderTest, LoadsBindsEveryEntryPointAndHandsTheClientItsFolders) {
  const std::string bin = clientFolder("full");
  std::filesystem::create_directories(m_dir / "work");
  RecordingOpener opener(0);
  ASSERT_EQ(kUpdateClientLoaded,
            loadUpdateClient((m_dir / "bin").c_str(), (m_dir / "work").c_str()));
  EXPECT_EQ(1u, cb::referenceCount());
  EXPECT_EQ(45, cb::boundEntryCount());
  EXPECT_EQ("full", OrvelProbe::lastVariant());
  // The library path is built the product's way, with "\" throughout.
  EXPECT_EQ(Calls{windowsStyle(bin) + "\\QxUpdate.dll"}, opener.paths());
  EXPECT_EQ(loadProperties(bin, resolved(m_dir / "work")), OrvelProbe::calls());
  releaseUpdateClient();
  EXPECT_EQ(1, OrvelProbe::unloads());

  // Without a working folder, or through ensureUpdateClient, the library folder serves for both.
  const std::string written = windowsStyle(m_dir / "bin") + "\\";
  for (const char* working : {static_cast<const char*>(nullptr), ""}) {
    OrvelProbe::reset();
    ASSERT_EQ(kUpdateClientLoaded, loadUpdateClient(written.c_str(), working));
    EXPECT_EQ(loadProperties(bin, bin), OrvelProbe::calls());
    releaseUpdateClient();
  }
  OrvelProbe::reset();
  ASSERT_TRUE(ensureUpdateClient((m_dir / "bin").c_str()));
  EXPECT_EQ(loadProperties(bin, bin), OrvelProbe::calls());
  releaseUpdateClient();
  EXPECT_FALSE(ensureUpdateClient((m_dir / "missing").c_str()));
}

TEST_F(LoaderTest, CountsReferencesAndFreesTheClientAtTheLastReleaseOrAtUnload) {
  clientFolder("full");
  std::filesystem::create_directories(m_dir / "empty");
  releaseUpdateClient();  // without a load: takes nothing away
  ASSERT_EQ(kUpdateClientLoaded, loadUpdateClient((m_dir / "bin").c_str(), nullptr));
  // A second load only takes a reference: this folder holds no client at all.
  EXPECT_EQ(kUpdateClientLoaded, loadUpdateClient((m_dir / "empty").c_str(), nullptr));
  EXPECT_EQ(2u, cb::referenceCount());
  EXPECT_EQ(1ul, loadsSinceSetUp());
  EXPECT_EQ(2u, OrvelProbe::calls().size()) << "no property is set again";
  releaseUpdateClient();
  EXPECT_TRUE(cb::clientLoaded());
  EXPECT_EQ(1u, cb::referenceCount());
  EXPECT_EQ(45, cb::boundEntryCount());
  EXPECT_EQ(0ul, releasesSinceSetUp());
  releaseUpdateClient();
  EXPECT_FALSE(cb::clientLoaded());
  EXPECT_EQ(0, cb::boundEntryCount());
  EXPECT_EQ(1, OrvelProbe::unloads());
  releaseUpdateClient();  // one too many: the count does not wrap
  EXPECT_EQ(0u, cb::referenceCount());

  ASSERT_EQ(kUpdateClientLoaded, loadUpdateClient((m_dir / "bin").c_str(), nullptr));
  ASSERT_EQ(kUpdateClientLoaded, loadUpdateClient((m_dir / "bin").c_str(), nullptr));
  unloadUpdateClient();
  EXPECT_FALSE(cb::clientLoaded());
  EXPECT_EQ(0, cb::boundEntryCount());
  EXPECT_EQ(2, OrvelProbe::unloads());
  EXPECT_EQ(2u, cb::referenceCount()) << "the count is left to the holders";
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
               {file, "", kUpdateClientBadLibraryFolder},
               {file + "\\", bin, kUpdateClientBadLibraryFolder},
               {bin + "/QxUpdate.dll", "", kUpdateClientBadLibraryFolder},
               {missing, missing, kUpdateClientBadLibraryFolder},
               {bin, missing, kUpdateClientBadWorkingFolder},
               {bin, file, kUpdateClientBadWorkingFolder}};
  for (bool loaded : {false, true}) {
    for (const auto& c : cases)
      EXPECT_EQ(c.result, loadUpdateClient(c.library.c_str(), c.working.c_str())) << c.library;
    EXPECT_EQ(loaded ? 1u : 0u, cb::referenceCount());
    EXPECT_EQ(loaded ? 1 : 0, OrvelProbe::loads());
    if (!loaded) {
      ASSERT_EQ(kUpdateClientLoaded, loadUpdateClient(bin.c_str(), nullptr));
    }
  }
  releaseUpdateClient();
}

TEST_F(LoaderTest, LoadsAndReleasesWaitForTheLoaderLockFolderFailuresDoNot) {
  clientFolder("full");
  char name[64];
  cb::loaderLockName(name, sizeof name);
  OrvelPlatform::NamedMutex held;
  ASSERT_TRUE(held.acquire(name));
  const std::string bin = m_dir / "bin", missing = m_dir / "missing";
  auto badLibrary =
      std::async(std::launch::async, [&] { return loadUpdateClient(missing.c_str(), nullptr); });
  auto badWorking = std::async(std::launch::async,
                               [&] { return loadUpdateClient(bin.c_str(), missing.c_str()); });
  EXPECT_EQ(std::future_status::ready, badLibrary.wait_for(std::chrono::seconds(20)));
  EXPECT_EQ(std::future_status::ready, badWorking.wait_for(std::chrono::seconds(20)));
  auto load =
      std::async(std::launch::async, [&] { return loadUpdateClient(bin.c_str(), nullptr); });
  EXPECT_EQ(std::future_status::timeout, load.wait_for(std::chrono::milliseconds(100)));
  EXPECT_EQ(0, OrvelProbe::loads());
  held.release();
  EXPECT_EQ(kUpdateClientBadLibraryFolder, badLibrary.get());
  EXPECT_EQ(kUpdateClientBadWorkingFolder, badWorking.get());
  EXPECT_EQ(kUpdateClientLoaded, load.get());

  ASSERT_TRUE(held.acquire(name));
  auto release = std::async(std::launch::async, [] { releaseUpdateClient(); });
  EXPECT_EQ(std::future_status::timeout, release.wait_for(std::chrono::milliseconds(100)));
  EXPECT_EQ(0, OrvelProbe::unloads());  // the state views take the lock themselves
  held.release();
  release.get();
  EXPECT_EQ(1, OrvelProbe::unloads());
}

TEST_F(LoaderTest, AFolderWithoutALoadableClientGives3AfterExactlyOneRetry) {
  const std::string bin = clientFolder("full");
  const std::string path = windowsStyle(bin) + "\\QxUpdate.dll";
  {
    RecordingOpener opener(1);
    ASSERT_EQ(kUpdateClientLoaded, loadUpdateClient(bin.c_str(), nullptr));
    // The retry appends "\" to the folder: the join adds no separator after it.
    EXPECT_EQ((Calls{path, path}), opener.paths());
    releaseUpdateClient();
  }
  std::filesystem::create_directories(m_dir / "empty");
  std::filesystem::create_directories(m_dir / "broken");
  OrvelTest::writeFile(m_dir / "broken/QxUpdate.dll", "not a shared object");
  const std::string emptyPath = windowsStyle(resolved(m_dir / "empty")) + "\\QxUpdate.dll";
  RecordingOpener opener(0);
  EXPECT_EQ(kUpdateClientNoLibrary, loadUpdateClient((m_dir / "empty").c_str(), nullptr));
  EXPECT_EQ((Calls{emptyPath, emptyPath}), opener.paths());
  EXPECT_EQ(kUpdateClientNoLibrary, loadUpdateClient((m_dir / "broken").c_str(), nullptr));
  EXPECT_FALSE(cb::clientLoaded());
  EXPECT_EQ(1ul, loadsSinceSetUp());
}

TEST_F(LoaderTest, AMissingRequiredEntryPointOrARefusedPropertyLeavesNothingLoaded) {
  clientFolder("without_get_last_error");
  const std::string refusesLibrary = clientFolder("refuses_library", "lib");
  const std::string refusesPath = clientFolder("refuses_path", "path");
  const std::string work = resolved(m_dir.path());
  EXPECT_EQ(kUpdateClientMissingEntryPoint, loadUpdateClient((m_dir / "bin").c_str(), nullptr));
  EXPECT_TRUE(OrvelProbe::calls().empty()) << "no property is set on an incomplete client";
  EXPECT_EQ(kUpdateClientLibraryRefused, loadUpdateClient(refusesLibrary.c_str(), work.c_str()));
  EXPECT_EQ(Calls{setProperty("KiteFeedLib_FromLoader", refusesLibrary)}, OrvelProbe::calls());
  OrvelProbe::reset();
  EXPECT_EQ(kUpdateClientPathRefused, loadUpdateClient(refusesPath.c_str(), work.c_str()));
  EXPECT_EQ(loadProperties(refusesPath, work), OrvelProbe::calls());
  EXPECT_EQ(1, OrvelProbe::unloads());
  EXPECT_FALSE(cb::clientLoaded());
  EXPECT_EQ(0, cb::boundEntryCount());
  EXPECT_EQ(0u, cb::referenceCount());

  // Nothing of the failed loads stays behind.
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
  const std::size_t callsBefore = OrvelProbe::calls().size();
  EXPECT_EQ(kUpdateClientUnavailable, ORVEL::QxuClearCacheEx("http://feed.example"));
  EXPECT_EQ(callsBefore, OrvelProbe::calls().size());
  EXPECT_EQ(1u, cb::referenceCount()) << "the forwarder gave its reference back";
  EXPECT_EQ(1045, ORVEL::QxuUnpublished());
  releaseUpdateClient();
}
