// bench_blobstore: what the central component store costs, beside the databases' own clients
// moving the same file in the same run.
//
//   build/plain/bin/bench_blobstore [--mib N] [--scanners N] [--scanner-mib N]
//
// --mib: the component uploaded and fetched on each backend (default 256); --scanners and
// --scanner-mib: how many scanners fetch one component at once from PostgreSQL, and its size
// (defaults 16 and 64).
//
// SQLite: KFBlobManager::AddKFBlob and GetKFBlob of the component in a product home whose central
// database is SQLite, beside the sqlite3 shell inserting the file with readfile() into a database
// of the same schema and journal mode and writing it out with writefile(). PostgreSQL: the same
// two calls on a central database there, beside psql's \lo_import and \lo_export. Every step runs
// in a child process of its own, so that its peak resident memory is its own: the store streams
// the content in chunks, so its peak should stay far below the component's size. Then several
// scanners fetch one component from PostgreSQL at once, each into a file of its own, beside as
// many psql \lo_export of its large object at once.
//
// GetKFBlob reports a fetch only once the file is on the disk, so every peer's written file is
// synced too (coreutils sync FILE), inside its measured time: the figures compare equal work.
//
// Every fetched or exported file is compared with the component byte for byte, and every stored
// content has the component's length; a file that is not whole ends the run with a failure.
//
// PostgreSQL: the server named by ORVEL_TEST_PG_HOST/_PORT/_USER/_PASSWORD, or else one started
// from scripts/servers/postgres for the run and stopped at its end. The run works in a database of
// its own, dropped at the end, and in a temporary folder that it removes (after a failure the
// folder stays, for a look).
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "BenchSupport.h"
#include "OrvelCommon/BoundedCopy.h"
#include "OrvelCommon/CentralDatabase.h"
#include "OrvelCommon/OrvelConfigFileManager.h"
#include "OrvelCommon/PasswordCipher.h"
#include "OrvelCommon/QxDBConnection.h"
#include "OrvelCommon/QxDBScript.h"
#include "OrvelKF/KFBlobManager.h"

namespace fs = std::filesystem;

namespace {

using namespace OrvelBench;

constexpr const char* kUsage = "usage: bench_blobstore [--mib N] [--scanners N] [--scanner-mib N]";
// The mode of a large object opened for reading (INV_READ of libpq).
constexpr long kLargeObjectRead = 0x40000;

struct Options {
  long mib = 256;
  long scanners = 16;
  long scannerMib = 64;
};

// A file as the store keeps it: the row's type, version and name, and where it lies here.
struct Component {
  int type;
  std::string version;
  std::string name;
  std::string path;
  long mib;
};

// What one step of ours and the same step of the peer took.
struct Pair {
  ChildRun ours;
  ChildRun peer;
};

std::string env(const char* name) {
  const char* value = std::getenv(name);
  return value ? value : "";
}

std::string shellQuoted(const std::string& text) {
  std::string out = "'";
  for (char c : text) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return out + "'";
}

// The command, and then its file written through to the disk.
std::string durably(const std::string& command, const std::string& file) {
  return command + " && sync " + shellQuoted(file);
}

// What a command wrote to its standard output, without the line end; the command must succeed.
std::string outputOf(const std::string& command) {
  FILE* pipe = ::popen(command.c_str(), "r");
  if (!pipe) die("cannot run " + command);
  std::string text;
  char buffer[256];
  for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;) text.append(buffer, n);
  if (::pclose(pipe) != 0) die("failed: " + command);
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
  return text;
}

// Random bytes: a component does not compress, so no layer below gets it cheaper than it is.
void writeComponent(const Component& component) {
  std::ofstream out(component.path, std::ios::binary);
  std::mt19937_64 engine(static_cast<std::uint64_t>(component.type) + 1);
  std::vector<std::uint64_t> block((1 << 20) / sizeof(std::uint64_t));
  for (long i = 0; i < component.mib; ++i) {
    for (std::uint64_t& word : block) word = engine();
    out.write(reinterpret_cast<const char*>(block.data()), 1 << 20);
  }
  if (!out.flush()) die("cannot write " + component.path);
}

void checkWhole(const std::string& copy, const Component& component, const std::string& step) {
  if (shell("cmp -s " + shellQuoted(component.path) + " " + shellQuoted(copy)) != 0)
    die(step + ": " + copy + " is not whole (it differs from " + component.path + ")");
}

void checkStoredLength(const std::string& length, const Component& component,
                       const std::string& step) {
  const std::string expected = std::to_string(fs::file_size(component.path));
  if (length != expected)
    die(step + ": the database holds " + length + " bytes of " + component.name + ", not " +
        expected);
}

void checkRun(const ChildRun& run, const std::string& step) {
  if (run.status != 0) die(step + " failed (exit status " + std::to_string(run.status) + ")");
}

// ---- the store, each call in a child of its own ----

int uploadComponent(const Component& component) {
  _uiKFData data{};
  data.type = component.type;
  ORVEL::boundedCopy(data.version, sizeof data.version, component.version.c_str());
  ORVEL::boundedCopy(data.file_name, sizeof data.file_name, component.name.c_str());
  ORVEL::boundedCopy(data.file_path, sizeof data.file_path, component.path.c_str());
  data.file_size = static_cast<int>(fs::file_size(component.path));
  return KFBlobManager::AddKFBlob(data) == ERRC_SUCCESS ? 0 : 1;
}

// file_size 0: the size the row holds, as a scanner that only knows the type asks.
int fetchComponent(int type, const std::string& destination) {
  _uiKFData data{};
  data.type = type;
  ORVEL::boundedCopy(data.file_path, sizeof data.file_path, destination.c_str());
  return KFBlobManager::GetKFBlob(data) == ERRC_SUCCESS ? 0 : 1;
}

// ---- PostgreSQL server and database of the run ----

// The server this run started and the database it made go when the program ends, after a
// failure too (die() ends through exit()), and only from the process that owns them, never from
// a child that ends.
struct PostgresRun {
  pid_t owner = 0;
  std::string state;     // of the server started for the run; empty for a server of the caller
  std::string database;  // empty until made
};

PostgresRun& postgresRun() {
  static PostgresRun run;
  return run;
}

// psql as the test role; the password comes from PGPASSWORD.
std::string psql(const std::string& database) {
  return "psql -X -v ON_ERROR_STOP=1 -h " + shellQuoted(env("ORVEL_TEST_PG_HOST")) + " -p " +
         shellQuoted(env("ORVEL_TEST_PG_PORT")) + " -U " + shellQuoted(env("ORVEL_TEST_PG_USER")) +
         " -d " + shellQuoted(database);
}

void endPostgresRun() {
  PostgresRun& run = postgresRun();
  if (run.owner != ::getpid()) return;
  run.owner = 0;
  // A server of the run goes whole with its data; on the caller's server the database goes.
  if (!run.state.empty())
    shell(std::string(ORVEL_SOURCE_DIR) + "/scripts/servers/postgres stop " +
          shellQuoted(run.state) + " >/dev/null 2>&1");
  else if (!run.database.empty())
    shell(psql("postgres") + " -q -c " +
          shellQuoted("DROP DATABASE IF EXISTS " + run.database + " WITH (FORCE)") +
          " >/dev/null 2>&1");
}

// Takes the variables of "export A=1 B=2", the one line the script prints.
void takeExports(const std::string& line) {
  const std::string prefix = "export ";
  if (line.rfind(prefix, 0) != 0) die("the PostgreSQL script printed no export line");
  std::size_t start = prefix.size();
  while (start < line.size()) {
    std::size_t end = line.find(' ', start);
    if (end == std::string::npos) end = line.size();
    const std::string pair = line.substr(start, end - start);
    const std::size_t equals = pair.find('=');
    if (equals != std::string::npos)
      ::setenv(pair.substr(0, equals).c_str(), pair.substr(equals + 1).c_str(), 1);
    start = end + 1;
  }
}

void usePostgresServer(const std::string& work) {
  PostgresRun& run = postgresRun();
  run.owner = ::getpid();
  std::atexit(endPostgresRun);
  if (env("ORVEL_TEST_PG_HOST").empty()) {
    run.state = work + "/pg";
    fs::create_directories(run.state);
    takeExports(outputOf(std::string(ORVEL_SOURCE_DIR) + "/scripts/servers/postgres start " +
                         shellQuoted(run.state)));
    if (env("ORVEL_TEST_PG_HOST").empty()) die("the PostgreSQL server did not start");
  }
  ::setenv("PGPASSWORD", env("ORVEL_TEST_PG_PASSWORD").c_str(), 1);
}

// ---- product homes ----

bool connectionSettings(const std::string& home, bool postgres) {
  std::string ini = "[AdminDB]\n";
  if (!postgres) {
    ini += "backend = sqlite\n";
  } else {
    std::string password;
    if (!ORVEL::NewEncryptStr(env("ORVEL_TEST_PG_PASSWORD").c_str(), password)) return false;
    ini += "backend = postgresql\nhost = " + env("ORVEL_TEST_PG_HOST") +
           "\nport = " + env("ORVEL_TEST_PG_PORT") + "\ndatabase = " + postgresRun().database +
           "\nuser = " + env("ORVEL_TEST_PG_USER") + "\npassword = " + password + "\n";
  }
  std::ofstream settings(home + "/config/orvel.ini");
  return static_cast<bool>(settings << ini);
}

int createPostgresDatabase() {
  ORVEL::QxDBConnection maintenance;
  const std::string dsn =
      "postgresql:host=" + env("ORVEL_TEST_PG_HOST") + " port=" + env("ORVEL_TEST_PG_PORT");
  if (maintenance.connect(dsn.c_str(), env("ORVEL_TEST_PG_USER").c_str(),
                          env("ORVEL_TEST_PG_PASSWORD").c_str(), "postgres", 10, 1, 0) != 0 ||
      maintenance.executeScript(("CREATE DATABASE " + postgresRun().database).c_str()) != 0)
    return 1;
  return 0;
}

// A product home whose central database is empty, made in the child that runs this (the
// libraries' connections and caches stay out of the measured children). ORVEL_HOME names it
// already.
int layOutHome(const std::string& home, bool postgres) {
  for (const char* folder : {"/config", "/lib", "/log"}) fs::create_directories(home + folder);
  fs::copy(std::string(ORVEL_SOURCE_DIR) + "/sql", home + "/sql", fs::copy_options::recursive);
  if (postgres && createPostgresDatabase() != 0) return 1;
  if (!connectionSettings(home, postgres)) return 1;
  AdminDBSetting setting;
  std::string error;
  if (!OrvelConfigFileManager::getAdminDBSetting(home.c_str(), setting) ||
      ORVEL::createCentralDatabase(setting, home.c_str(), error) != 0) {
    std::fprintf(stderr, "cannot create the central database: %s\n", error.c_str());
    return 1;
  }
  return ORVEL::QxDBScript::init((home + "/sql/mssql/dbscript.conf").c_str()) ? 0 : 1;
}

void useHome(const std::string& home, bool postgres) {
  ::setenv("ORVEL_HOME", home.c_str(), 1);
  checkRun(measured([&] { return layOutHome(home, postgres); }), "laying out " + home);
}

// ---- the measurements ----

double mibPerSecond(long mib, const ChildRun& run) {
  return static_cast<double>(mib) / run.seconds;
}

void printStep(const char* step, const char* ours, const char* peer, const Pair& pair) {
  std::printf("  %-6s %-10s %7.2f s, peak RSS %7.1f MiB | %-26s %7.2f s, peak RSS %7.1f MiB\n",
              step, ours, pair.ours.seconds, pair.ours.peakMiB, peer, pair.peer.seconds,
              pair.peer.peakMiB);
}

void printFigures(const std::string& backend, long mib, const Pair& upload, const Pair& fetch) {
  figure("blob store upload, " + backend, mibPerSecond(mib, upload.ours),
         mibPerSecond(mib, upload.peer), "MiB/s");
  figure("blob store fetch, " + backend, mibPerSecond(mib, fetch.ours),
         mibPerSecond(mib, fetch.peer), "MiB/s");
  figure("blob store upload peak RSS, " + backend, upload.ours.peakMiB, upload.peer.peakMiB, "MiB");
  figure("blob store fetch peak RSS, " + backend, fetch.ours.peakMiB, fetch.peer.peakMiB, "MiB");
  std::printf("\n");
}

// The store's upload into the home laid out already, checked by the length the database holds
// (the fetch that follows compares the content byte for byte).
Pair storeUpload(const Component& component, const std::function<std::string()>& storedLength) {
  Pair upload{};
  upload.ours = measured([&] { return uploadComponent(component); });
  checkRun(upload.ours, "AddKFBlob of " + component.name);
  checkStoredLength(storedLength(), component, "AddKFBlob");
  return upload;
}

// The store's fetch, compared with the component; the copy goes once checked.
ChildRun storeFetch(const Component& component, const std::string& destination) {
  const ChildRun fetch = measured([&] { return fetchComponent(component.type, destination); });
  checkRun(fetch, "GetKFBlob of " + component.name);
  checkWhole(destination, component, "GetKFBlob");
  fs::remove(destination);
  return fetch;
}

void sqliteStore(const std::string& work, const Component& component) {
  const std::string home = work + "/home-sqlite";
  useHome(home, false);
  const std::string database = home + "/lib/orveladmin.db";
  const std::string lengthQuery =
      "select length(content) from tb_kite_feed where type = " + std::to_string(component.type);
  Pair upload = storeUpload(component, [&] {
    return outputOf("sqlite3 " + shellQuoted(database) + " " + shellQuoted(lengthQuery));
  });
  Pair fetch{};
  fetch.ours = storeFetch(component, work + "/fetched");

  // The peer's database: the same schema and journal mode, made before the clock starts.
  const std::string peerDatabase = work + "/peer.db";
  if (shell("sqlite3 " + shellQuoted(peerDatabase) + " 'PRAGMA journal_mode=WAL' >/dev/null") !=
          0 ||
      shell("sqlite3 " + shellQuoted(peerDatabase) + " < " +
            shellQuoted(std::string(ORVEL_SOURCE_DIR) + "/sql/sqlite/schema.sql")) != 0)
    die("cannot create " + peerDatabase);
  const std::string insert =
      "insert into tb_kite_feed (type, version, file_size, file_name, content) values (" +
      std::to_string(component.type) + ", '" + component.version + "', " +
      std::to_string(fs::file_size(component.path)) + ", '" + component.name + "', readfile('" +
      component.path + "'))";
  upload.peer = measured("sqlite3 " + shellQuoted(peerDatabase) + " " + shellQuoted(insert));
  checkRun(upload.peer, "sqlite3 readfile()");
  checkStoredLength(
      outputOf("sqlite3 " + shellQuoted(peerDatabase) + " " + shellQuoted(lengthQuery)), component,
      "sqlite3 readfile()");
  const std::string exported = work + "/exported";
  fetch.peer = measured(durably("sqlite3 " + shellQuoted(peerDatabase) + " " +
                                    shellQuoted("select writefile('" + exported +
                                                "', content) from tb_kite_feed where type = " +
                                                std::to_string(component.type)) +
                                    " >/dev/null",
                                exported));
  checkRun(fetch.peer, "sqlite3 writefile()");
  checkWhole(exported, component, "sqlite3 writefile()");
  fs::remove(exported);

  std::printf("SQLite central database, a %ld MiB component\n", component.mib);
  printStep("upload", "AddKFBlob", "sqlite3 readfile()", upload);
  printStep("fetch", "GetKFBlob", "sqlite3 writefile()", fetch);
  printFigures("SQLite", component.mib, upload, fetch);
  fs::remove_all(home);
  fs::remove(peerDatabase);
}

std::string storedObjectLength(const Component& component) {
  return outputOf(
      psql(postgresRun().database) + " -At -c " +
      shellQuoted("select lo_lseek64(lo_open(content, " + std::to_string(kLargeObjectRead) +
                  "), 0, 2) from tb_kite_feed where type = " + std::to_string(component.type)));
}

// psql prints "lo_import <oid>" for the object it made; the object's length must be the file's.
std::string importedObject(const std::string& output, const Component& component) {
  const std::string prefix = "lo_import ";
  if (output.rfind(prefix, 0) != 0) die("psql \\lo_import printed no object id: " + output);
  const std::string oid = output.substr(prefix.size());
  checkStoredLength(outputOf(psql(postgresRun().database) + " -At -c " +
                             shellQuoted("select lo_lseek64(lo_open(" + oid + ", " +
                                         std::to_string(kLargeObjectRead) + "), 0, 2)")),
                    component, "psql \\lo_import");
  return oid;
}

std::string exportCommand(const std::string& oid, const std::string& file) {
  return durably(psql(postgresRun().database) + " -q -c \"\\lo_export " + oid + " '" + file + "'\"",
                 file);
}

void postgresStore(const std::string& work, const Component& component) {
  Pair upload = storeUpload(component, [&] { return storedObjectLength(component); });
  Pair fetch{};
  fetch.ours = storeFetch(component, work + "/fetched");

  const std::string importOutput = work + "/lo_import.out";
  upload.peer = measured(psql(postgresRun().database) + " -c \"\\lo_import '" + component.path +
                         "'\" > " + shellQuoted(importOutput));
  checkRun(upload.peer, "psql \\lo_import");
  const std::string oid = importedObject(outputOf("cat " + shellQuoted(importOutput)), component);
  const std::string exported = work + "/exported";
  fetch.peer = measured(exportCommand(oid, exported));
  checkRun(fetch.peer, "psql \\lo_export");
  checkWhole(exported, component, "psql \\lo_export");
  fs::remove(exported);
  shell(psql(postgresRun().database) + " -q -c " + shellQuoted("select lo_unlink(" + oid + ")") +
        " >/dev/null");

  std::printf("PostgreSQL central database, a %ld MiB component\n", component.mib);
  printStep("upload", "AddKFBlob", "psql \\lo_import", upload);
  printStep("fetch", "GetKFBlob", "psql \\lo_export", fetch);
  printFigures("PostgreSQL", component.mib, upload, fetch);
}

// How a crowd of children started at once went: the wall time from their start to the end of
// the last, and the largest peak resident memory of one of them.
struct CrowdRun {
  double seconds = 0;
  double largestPeakMiB = 0;
};

// Starts count children that wait at one gate, opens it once all are there, and waits for all;
// child i runs work(i), whose return value is its exit status. Every child must succeed.
CrowdRun atOnce(long count, const std::function<int(long)>& work, const std::string& step) {
  int gate[2];
  if (::pipe(gate) != 0) die("no pipe for " + step);
  std::fflush(stdout);
  std::vector<pid_t> children;
  for (long i = 0; i < count; ++i) {
    const pid_t child = ::fork();
    if (child < 0) die("cannot start the children of " + step);
    if (child == 0) {
      ::close(gate[1]);
      char ignored;
      while (::read(gate[0], &ignored, 1) > 0) {
      }
      ::close(gate[0]);
      ::_exit(work(i));
    }
    children.push_back(child);
  }
  ::close(gate[0]);
  const auto start = Clock::now();
  ::close(gate[1]);  // the children read the end of the file: all start
  CrowdRun run;
  int failed = 0;
  for (pid_t child : children) {
    int status = 0;
    rusage usage{};
    if (::wait4(child, &status, 0, &usage) != child) die("lost a child of " + step);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) ++failed;
    run.largestPeakMiB = std::max(run.largestPeakMiB, static_cast<double>(usage.ru_maxrss) / 1024);
  }
  run.seconds = secondsSince(start);
  if (failed > 0) die(step + ": " + std::to_string(failed) + " of the children failed");
  return run;
}

void checkEveryCopy(const std::string& prefix, long count, const Component& component,
                    const std::string& step) {
  for (long i = 0; i < count; ++i) {
    const std::string copy = prefix + std::to_string(i);
    checkWhole(copy, component, step);
    fs::remove(copy);
  }
}

void scannersAtOnce(const std::string& work, const Options& o) {
  const Component component{VIRUS_PATTERN, "5.764.00", "ksv$pat.764", work + "/ksv$pat.764",
                            o.scannerMib};
  writeComponent(component);
  storeUpload(component, [&] { return storedObjectLength(component); });
  const std::string oid = outputOf(psql(postgresRun().database) + " -At -c " +
                                   shellQuoted("select content from tb_kite_feed where type = " +
                                               std::to_string(component.type)));
  fs::create_directories(work + "/scanners");

  const std::string ourPrefix = work + "/scanners/fetched-";
  const CrowdRun ours = atOnce(
      o.scanners,
      [&](long i) { return fetchComponent(component.type, ourPrefix + std::to_string(i)); },
      "GetKFBlob by every scanner");
  checkEveryCopy(ourPrefix, o.scanners, component, "GetKFBlob by a scanner");

  const std::string peerPrefix = work + "/scanners/exported-";
  const CrowdRun peer = atOnce(
      o.scanners,
      [&](long i) {
        const std::string command = exportCommand(oid, peerPrefix + std::to_string(i));
        ::execl("/bin/sh", "sh", "-c", command.c_str(), static_cast<char*>(nullptr));
        return 127;
      },
      "psql \\lo_export by every scanner");
  checkEveryCopy(peerPrefix, o.scanners, component, "psql \\lo_export by a scanner");

  const double total = static_cast<double>(o.scanners * o.scannerMib);
  std::printf(
      "%ld scanners fetching one %ld MiB component at once from PostgreSQL, every copy whole\n",
      o.scanners, o.scannerMib);
  std::printf("  GetKFBlob         %7.2f s, largest peak RSS of one %7.1f MiB\n", ours.seconds,
              ours.largestPeakMiB);
  std::printf("  psql \\lo_export   %7.2f s, largest peak RSS of one %7.1f MiB\n", peer.seconds,
              peer.largestPeakMiB);
  figure(std::to_string(o.scanners) + (o.scanners == 1 ? " scanner" : " scanners") +
             " fetching at once, PostgreSQL",
         total / ours.seconds, total / peer.seconds, "MiB/s");
  fs::remove(component.path);
}

void postgresStores(const std::string& work, const Component& component, const Options& o) {
  usePostgresServer(work);
  postgresRun().database = "orvel_bench_" + std::to_string(::getpid());
  useHome(work + "/home-pg", true);
  postgresStore(work, component);
  scannersAtOnce(work, o);
}

Options parseOptions(int argc, char** argv) {
  Options o;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--mib")
      o.mib = positiveNumberAfter(argc, argv, i);
    else if (arg == "--scanners")
      o.scanners = positiveNumberAfter(argc, argv, i);
    else if (arg == "--scanner-mib")
      o.scannerMib = positiveNumberAfter(argc, argv, i);
    else
      die(kUsage);
  }
  // The store's rows hold the size as an int.
  if (o.mib > INT_MAX >> 20 || o.scannerMib > INT_MAX >> 20)
    die("a component must stay below 2 GiB");
  return o;
}

}  // namespace

int main(int argc, char** argv) {
  const Options o = parseOptions(argc, argv);
  printLoad();
  char pattern[] = "/tmp/bench-blobstore-XXXXXX";
  if (!::mkdtemp(pattern)) die("no temporary folder");
  const std::string work = pattern;
  const Component component{DEXA_ENGINE, "1.200.0003", "dexa32.dll", work + "/dexa32.dll", o.mib};
  writeComponent(component);
  std::printf("work folder %s; components of random bytes\n\n", work.c_str());

  sqliteStore(work, component);
  postgresStores(work, component, o);
  endPostgresRun();
  fs::remove_all(work);
  return 0;
}
