// Uploads and fetches one large component through KFBlobManager on SQLite and
// on PostgreSQL, beside `cp` of the same file, and reports the peak resident
// memory of each run. Content is streamed in chunks, so the peak must stay far
// below the component's size.
//
//   build/plain/bin/bench_blobstore [MiB]          (default 256)
//
// PostgreSQL: the server named by ORVEL_TEST_PG_HOST/_PORT/_USER/_PASSWORD, or
// else one started from scripts/servers/postgres for the run.
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "OrvelCommon/CentralDatabase.h"
#include "OrvelCommon/OrvelConfigFileManager.h"
#include "OrvelCommon/PasswordCipher.h"
#include "OrvelCommon/QxDBConnection.h"
#include "OrvelCommon/QxDBScript.h"
#include "OrvelKF/KFBlobManager.h"

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

double secondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

std::string env(const char* name) {
  const char* value = std::getenv(name);
  return value ? value : "";
}

void makeComponent(const std::string& path, std::size_t mib) {
  std::ofstream out(path, std::ios::binary);
  std::vector<char> block(1 << 20);
  unsigned seed = 12345;
  for (std::size_t i = 0; i < mib; ++i) {
    for (char& c : block) c = static_cast<char>((seed = seed * 1103515245u + 12345u) >> 16);
    out.write(block.data(), static_cast<std::streamsize>(block.size()));
  }
}

bool startPostgres(const std::string& state) {
  fs::create_directories(state);
  const std::string command = std::string(ORVEL_SOURCE_DIR) + "/scripts/servers/postgres start '" + state + "'";
  FILE* out = popen(command.c_str(), "r");
  if (!out) return false;
  char line[1024];
  std::string exports;
  while (std::fgets(line, sizeof line, out)) exports += line;
  if (pclose(out) != 0) return false;
  // "export A=1 B=2"
  std::size_t at = exports.find("export ");
  if (at == std::string::npos) return false;
  std::string rest = exports.substr(at + 7);
  std::size_t start = 0;
  while (start < rest.size()) {
    std::size_t end = rest.find_first_of(" \n", start);
    if (end == std::string::npos) end = rest.size();
    std::string pair = rest.substr(start, end - start);
    std::size_t eq = pair.find('=');
    if (eq != std::string::npos) ::setenv(pair.substr(0, eq).c_str(), pair.substr(eq + 1).c_str(), 1);
    start = end + 1;
  }
  return !env("ORVEL_TEST_PG_HOST").empty();
}

// A product home whose central database is empty; false when it cannot be made.
bool layOutHome(const std::string& home, bool postgres) {
  fs::create_directories(home + "/config");
  fs::create_directories(home + "/lib");
  fs::create_directories(home + "/log");
  fs::copy(std::string(ORVEL_SOURCE_DIR) + "/sql", home + "/sql", fs::copy_options::recursive);
  ::setenv("ORVEL_HOME", home.c_str(), 1);
  std::string ini = "[AdminDB]\n";
  if (!postgres) {
    ini += "backend = sqlite\n";
  } else {
    const std::string database = "orvel_bench_" + std::to_string(::getpid());
    ORVEL::QxDBConnection maintenance;
    if (maintenance.connect(("postgresql:host=" + env("ORVEL_TEST_PG_HOST") + " port=" + env("ORVEL_TEST_PG_PORT")).c_str(),
                            env("ORVEL_TEST_PG_USER").c_str(), env("ORVEL_TEST_PG_PASSWORD").c_str(), "postgres",
                            10, 1, 0) != 0 ||
        maintenance.executeScript(("CREATE DATABASE " + database).c_str()) != 0)
      return false;
    std::string password;
    if (!ORVEL::NewEncryptStr(env("ORVEL_TEST_PG_PASSWORD").c_str(), password)) return false;
    ini += "backend = postgresql\nhost = " + env("ORVEL_TEST_PG_HOST") + "\nport = " + env("ORVEL_TEST_PG_PORT") +
           "\ndatabase = " + database + "\nuser = " + env("ORVEL_TEST_PG_USER") + "\npassword = " + password + "\n";
  }
  std::ofstream(home + "/config/orvel.ini") << ini;
  AdminDBSetting setting;
  std::string error;
  if (!OrvelConfigFileManager::getAdminDBSetting(home.c_str(), setting) ||
      ORVEL::createCentralDatabase(setting, home.c_str(), error) != 0) {
    std::fprintf(stderr, "cannot create the central database: %s\n", error.c_str());
    return false;
  }
  return ORVEL::QxDBScript::init((home + "/sql/mssql/dbscript.conf").c_str());
}

// Runs in a child of its own so that its peak memory is its own.
int uploadAndFetch(const std::string& root, const std::string& component, bool postgres) {
  const std::string home = root + (postgres ? "/home-pg" : "/home-sqlite");
  if (!layOutHome(home, postgres)) return 2;
  const double mib = static_cast<double>(fs::file_size(component)) / (1 << 20);

  _uiKFData data{};
  data.type = DEXA_ENGINE;
  std::snprintf(data.version, sizeof data.version, "1.200.0003");
  std::snprintf(data.file_name, sizeof data.file_name, "dexa32.dll");
  std::snprintf(data.file_path, sizeof data.file_path, "%s", component.c_str());
  data.file_size = static_cast<int>(fs::file_size(component));

  auto start = Clock::now();
  if (KFBlobManager::AddKFBlob(data) != ERRC_SUCCESS) return 3;
  const double upload = secondsSince(start);

  _uiKFData fetch{};
  fetch.type = DEXA_ENGINE;
  std::snprintf(fetch.file_path, sizeof fetch.file_path, "%s/fetched", home.c_str());
  start = Clock::now();
  if (KFBlobManager::GetKFBlob(fetch) != ERRC_SUCCESS) return 4;
  const double download = secondsSince(start);
  if (std::system(("cmp -s '" + component + "' '" + home + "/fetched'").c_str()) != 0) return 5;

  std::printf("%-10s upload %8.1f MiB/s   fetch %8.1f MiB/s\n", postgres ? "PostgreSQL" : "SQLite",
              mib / upload, mib / download);
  std::fflush(stdout);
  return 0;
}

void runBackend(const std::string& root, const std::string& component, bool postgres) {
  std::fflush(stdout);
  pid_t child = fork();
  if (child == 0) _exit(uploadAndFetch(root, component, postgres));
  int status = 0;
  struct rusage usage {};
  wait4(child, &status, 0, &usage);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    std::printf("%-10s FAILED (status %d)\n", postgres ? "PostgreSQL" : "SQLite", WEXITSTATUS(status));
    return;
  }
  std::printf("%-10s peak RSS %6.1f MiB (goal: below 32 MiB)\n", postgres ? "PostgreSQL" : "SQLite",
              usage.ru_maxrss / 1024.0);
}

}  // namespace

int main(int argc, char** argv) {
  const std::size_t mib = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 256;
  char pattern[] = "/tmp/orvelkf-bench-XXXXXX";
  const std::string root = mkdtemp(pattern);
  const std::string component = root + "/component";
  makeComponent(component, mib);

  auto start = Clock::now();
  if (std::system(("cp '" + component + "' '" + root + "/copy'").c_str()) != 0) return 1;
  const double cpSeconds = secondsSince(start);
  std::printf("component  %zu MiB\ncp         %8.1f MiB/s\n", mib, mib / cpSeconds);

  runBackend(root, component, false);
  bool ownServer = false;
  if (env("ORVEL_TEST_PG_HOST").empty()) ownServer = startPostgres(root + "/pg");
  if (!env("ORVEL_TEST_PG_HOST").empty()) {
    runBackend(root, component, true);
  } else {
    std::printf("PostgreSQL not measured: no server\n");
  }
  if (ownServer)
    std::system((std::string(ORVEL_SOURCE_DIR) + "/scripts/servers/postgres stop '" + root + "/pg' >/dev/null").c_str());
  fs::remove_all(root);
  return 0;
}
