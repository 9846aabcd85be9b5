// Faults injected into whole runs: several processes after the same component at once, a disk that
// fills up in the middle of a console update, a database server that stops during an upload. After
// each, what must hold: nothing lost, one current and one backup row, whole files under every
// final name, and a next run that succeeds.
#include <gtest/gtest.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <thread>

#include "../common/ChildProcess.h"
#include "EndToEnd.h"
#include "OrvelPlatform/Clock.h"

namespace fs = std::filesystem;
using namespace OrvelEndToEnd;

namespace {

// Runs each body in a process of its own, all released at once; their exit codes.
std::vector<int> atOnce(const std::vector<std::function<int()>>& bodies) {
  int gate[2];
  if (::pipe(gate) != 0) return {};
  std::vector<pid_t> children;
  for (const auto& body : bodies)
    children.push_back(OrvelTest::startChild([&] {
      ::close(gate[1]);
      char byte;
      return ::read(gate[0], &byte, 1) == 0 ? body() : 99;  // end of file: everyone goes
    }));
  ::close(gate[0]);
  ::close(gate[1]);
  std::vector<int> codes;
  for (pid_t child : children) codes.push_back(OrvelTest::waitChild(child));
  return codes;
}

// Runs body in a process whose files may not grow beyond 4 KiB, as on a full disk; its exit code.
int underFileSizeLimit(const std::function<int()>& body) {
  return OrvelTest::runInChild([&] {
    ::signal(SIGXFSZ, SIG_IGN);
    const rlimit limit{4096, 4096};
    ::setrlimit(RLIMIT_FSIZE, &limit);
    return body() & 0xff;
  });
}

// Runs body in a process of its own in which folder is a small file system holding what the folder
// held and room for `pages` more pages of 4 KiB, as a disk that fills up there; its exit code. What
// the folder holds at the end is copied to left. The file system goes with the process.
int withFullFolder(const std::string& folder, std::uintmax_t pages, const std::string& left,
                   const std::function<int()>& body) {
  return OrvelTest::runInChild([&] {
    const std::string held = left + ".held", filler = folder + "/filler";
    fs::remove_all(held);
    fs::copy(folder, held, fs::copy_options::recursive);
    pages += 1;  // the filler's: a file system of no pages would have no bound at all
    for (const auto& entry : fs::recursive_directory_iterator(held))
      if (entry.is_regular_file()) pages += (entry.file_size() + 4095) / 4096;
    const std::string options = "size=" + std::to_string(pages * 4096);
    if (::unshare(CLONE_NEWNS) != 0 ||
        ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
        ::mount("tmpfs", folder.c_str(), "tmpfs", 0, options.c_str()) != 0)
      return 97;  // no full disk to show: never a result the body could give
    fs::copy(held, folder, fs::copy_options::recursive);
    fs::create_directory(filler);
    std::ofstream(filler + "/page") << '.';
    const int code = body();
    fs::remove_all(filler);
    fs::copy(folder, left, fs::copy_options::recursive);
    return code & 0xff;
  });
}

}  // namespace

class Faults : public EndToEnd {
 protected:
  void SetUp() override {
    EndToEnd::SetUp();
    if (IsSkipped() || HasFatalFailure()) return;
    publishNewComponents();
  }
};

TEST_P(Faults, ProcessesAfterTheSameComponentAreSerialisedAndLoseNothing) {
  const Component& virus = component(VIRUS_PATTERN);
  const std::string ziran = *home / "lib/pattern/ziran";
  // Four console downloads of the virus pattern: the lock lets one through at a time, and those
  // after the first find it installed and stored.
  const auto update = [&] { return consoleUpdate(VIRUS_PATTERN, true); };
  for (int code : atOnce({update, update, update, update}))
    EXPECT_TRUE(code == SUCCESS || code == UP_TO_DATE) << code;
  EXPECT_EQ(virus.newVersion, centralVersion(VIRUS_PATTERN));
  EXPECT_EQ(virus.oldVersion, centralVersion(VIRUS_PATTERN + 100));
  EXPECT_EQ(virus.newVersion, scannerInfo("virus_pattern_version"));
  EXPECT_EQ(content(newFiles() + "/" + virus.files[0]), content(ziran + "/" + virus.files[0]));
  Lines virusFiles;
  for (const std::string& name : OrvelEngineTest::filesIn(ziran))
    if (name.rfind("ksv$pat", 0) == 0) virusFiles.push_back(name);
  EXPECT_EQ((Lines{"ksv$pat.763", "ksv$pat.764"}), virusFiles);

  // Eight uploads of newer versions at once: each is stored or refused as older than the stored
  // one, never lost half-way; the newest is current, an upload before it the backup. They wait
  // for each other's locks for real: a few milliseconds each.
  std::vector<std::function<int()>> uploads;
  for (int i = 0; i < 8; ++i)
    uploads.push_back([this, i] {
      OrvelPlatform::setClock(nullptr);
      OrvelTest::forgetProcessSettings();
      const OrvelErrC stored = home->upload(VIRUS_PATTERN, "5.8" + std::to_string(10 + i) + ".00",
                                            "upload " + std::to_string(i), "ksv$pat.8");
      return stored == ERRC_SUCCESS ? 0 : stored == ERRC_DB_UP_TO_DATE ? 1 : 2;
    });
  int stored = 0;
  for (int code : atOnce(uploads)) {
    EXPECT_TRUE(code == 0 || code == 1) << code;
    stored += code == 0;
  }
  EXPECT_GE(stored, 1);
  EXPECT_EQ("5.817.00", centralVersion(VIRUS_PATTERN));
  const std::string backup = centralVersion(VIRUS_PATTERN + 100);
  EXPECT_TRUE(stored == 1 ? backup == virus.newVersion : backup.rfind("5.81", 0) == 0) << backup;
  EXPECT_EQ(2, home->scalar("select count(*) as n from tb_kite_feed where type in (1, 101)"));
  _uiKFData row{};
  row.type = VIRUS_PATTERN;
  std::snprintf(row.file_path, sizeof row.file_path, "%s/", m_scratch.path().c_str());
  ASSERT_EQ(ERRC_SUCCESS, KFBlobManager::GetKFBlob(row));
  EXPECT_EQ("upload 7", content(row.file_path));
}

// A disk that fills up at one step of a console update: the update fails as a whole, and what the
// full folder holds afterwards is whole or gone, never cut short under a final name.
TEST_P(Faults, ADiskThatFillsUpAtAnyStepLeavesTheScannerAsItWas) {
  const std::string ziran = "lib/pattern/ziran", temp = "temp/kf/ziran";
  fs::create_directories(*home / temp);
  const struct {
    const char* step;
    QxUpdateType type;
    std::string folder;
    std::uintmax_t pages;  // what the folder may still take
  } steps[] = {
      {"staging of the installed pattern", VIRUS_PATTERN, temp, 0},
      {"download of the pattern", VIRUS_PATTERN, temp, 1},
      {"installation of the pattern", VIRUS_PATTERN, ziran, 0},
      {"download of the engine", SCAN_ENGINE, temp, 0},
      {"installation of the engine", SCAN_ENGINE, "bin", 0},
  };
  const std::string rows = home->componentRows();
  const std::string engine = content(*home / "bin/ziran32.dll");
  const auto installedFiles = [&] {
    std::map<std::string, std::string> files;
    for (const std::string& folder : {*home / ziran, *home / "bin"})
      for (const auto& entry : fs::directory_iterator(folder))
        files[entry.path()] = content(entry.path());
    return files;
  };
  const auto installed = installedFiles();
  for (const auto& step : steps) {
    SCOPED_TRACE(step.step);
    const std::string left = m_scratch / "left";
    fs::remove_all(left);
    EXPECT_EQ(FAIL, withFullFolder(*home / step.folder, step.pages, left,
                                   [&] { return consoleUpdate(step.type); }));
    // Under a name the scanner has or the feed gives, a file is one of those versions whole.
    for (const auto& entry : fs::recursive_directory_iterator(left)) {
      const std::string name = entry.path().filename(), now = content(entry.path());
      bool named = false, whole = false;
      for (const std::string& folder : {left + ".held", *home / ziran, *home / "bin", newFiles()})
        if (entry.is_regular_file() && fs::exists(folder + "/" + name)) {
          named = true;
          whole = whole || now == content(folder + "/" + name);
        }
      EXPECT_TRUE(!named || whole) << name << " is cut short";
    }
    EXPECT_EQ(rows, home->componentRows());
    EXPECT_EQ(installed, installedFiles());
  }

  // A file-size limit stands for a full disk wherever the next write goes, the database and the
  // log included; then a fetch from the central store, as another scanner takes a component.
  EXPECT_EQ(FAIL, underFileSizeLimit([&] { return consoleUpdate(SCAN_ENGINE); }));
  EXPECT_EQ(engine, content(*home / "bin/ziran32.dll"));
  const std::string taken = m_scratch / "taken";
  fs::create_directories(taken);
  EXPECT_EQ(ERRC_DB_FAILURE & 0xff, underFileSizeLimit([&] {
              _uiKFData row{};
              row.type = SCAN_ENGINE;
              std::snprintf(row.file_path, sizeof row.file_path, "%s/", taken.c_str());
              return static_cast<int>(KFBlobManager::GetKFBlob(row));
            }));
  EXPECT_TRUE(fs::is_empty(taken));

  // With room again, the next run of each succeeds.
  EXPECT_EQ(rows, home->componentRows());
  for (QxUpdateType type : {VIRUS_PATTERN, SCAN_ENGINE})
    EXPECT_EQ(SUCCESS, consoleUpdate(type)) << type;
  EXPECT_EQ(content(newFiles() + "/ziran32.dll"), content(*home / "bin/ziran32.dll"));
  EXPECT_EQ(engine, content(*home / "bin/ziran32.dll.bak"));
  EXPECT_EQ(content(newFiles() + "/ksv$pat.764"), content(*home / (ziran + "/ksv$pat.764")));
  EXPECT_EQ(component(SCAN_ENGINE).newVersion, centralVersion(SCAN_ENGINE));
  EXPECT_EQ(component(VIRUS_PATTERN).newVersion, centralVersion(VIRUS_PATTERN));
}

INSTANTIATE_TEST_SUITE_P(Backends, Faults, ORVEL_DB_BACKENDS);

// A PostgreSQL server of the test's own, which it stops and starts again.
class ServerStops : public Faults {
 protected:
  OrvelTest::Backend backend() const override { return OrvelTest::Backend::kPostgres; }
  void SetUp() override {
    fs::create_directories(m_state);
    std::istringstream exports(server("start"));
    std::string word;
    while (exports >> word) {
      const std::size_t eq = word.find('=');
      if (eq == std::string::npos) continue;
      m_environment.push_back(std::make_unique<OrvelTest::ScopedEnvironment>(
          word.substr(0, eq).c_str(), word.substr(eq + 1).c_str()));
    }
    ASSERT_EQ(4u, m_environment.size()) << "the server did not start";
    Faults::SetUp();
  }
  void TearDown() override {
    Faults::TearDown();
    server("stop");
  }
  // What the server script prints for the command.
  std::string server(const char* command) {
    return commandOutput(std::string(ORVEL_SOURCE_DIR) + "/scripts/servers/postgres " + command +
                         " '" + m_state + "'");
  }

  const std::string m_state = m_scratch / "postgres";
  std::vector<std::unique_ptr<OrvelTest::ScopedEnvironment>> m_environment;
};

TEST_F(ServerStops, AnUploadWhoseServerStopsFailsAndLeavesTheRowsAsTheyWere) {
  const std::string rows = home->componentRows();
  const std::int64_t objects = home->largeObjects();
  const pid_t uploader = OrvelTest::startChild([&] {
    OrvelTest::forgetProcessSettings();
    return home->upload(VIRUS_PATTERN, "5.900.00", std::string(64 << 20, 'p'));
  });
  // The upload has begun once another session of the database holds a transaction id.
  const std::string writing =
      "select count(*) as n from pg_stat_activity where datname = current_database() and "
      "backend_xid is not null and pid <> pg_backend_pid()";
  bool caught = false;
  for (int i = 0; i < 5000 && !caught; ++i) {
    caught = home->scalar(writing) > 0;
    if (!caught) std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  EXPECT_TRUE(caught) << "the upload was not seen under way";
  server("stop");
  EXPECT_EQ(ERRC_DB_FAILURE & 0xff, OrvelTest::waitChild(uploader));
  server("restart");
  EXPECT_EQ(rows, home->componentRows());
  EXPECT_EQ(objects, home->largeObjects());
  EXPECT_EQ(ERRC_SUCCESS, home->upload(VIRUS_PATTERN, "5.900.00", "whole"));
  EXPECT_EQ("5.900.00", centralVersion(VIRUS_PATTERN));
}
