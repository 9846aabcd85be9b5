// kfctl: the administrator's front end of the component updates of one scanner's product home.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>

#include "Cli.h"
#include "Commands.h"
#include "OrvelKF/QxUpdateInit.h"
#include "Status.h"

namespace fs = std::filesystem;
using namespace Kfctl;

namespace {

const char* const kUsage =
    "usage: kfctl [--home DIR] [--json] [-v] COMMAND [ARGUMENTS]\n"
    "\n"
    "  init [--pg-host H [--pg-port N] [--pg-database D] [--pg-user U]]\n"
    "                     make a product home; with --pg-host its central database is an\n"
    "                     existing PostgreSQL database (password read from standard input),\n"
    "                     else an embedded SQLite file\n"
    "  status [--check [--server URL [--port N]]] [--prometheus FILE|-]\n"
    "                     installed, adopted, central and backup version of each component;\n"
    "                     --check also asks the update source what is available;\n"
    "                     --prometheus writes the age and currency of each installed component\n"
    "                     in the Prometheus text format (for node_exporter's textfile collector)\n"
    "  health [--warn AGE] [--crit AGE]\n"
    "                     one line for Nagios or Icinga: OK, WARNING (a component older than\n"
    "                     --warn, default 2d, or not the central current version) or CRITICAL\n"
    "                     (older than --crit, default 7d), exit 0, 1 or 2 (3: unknown); AGE is\n"
    "                     seconds or a number with s, m, h or d\n"
    "  update COMPONENT... [--server URL [--port N]] [--no-wait] [--scanner-id N]\n"
    "                     download through the configured server, verify, upload and record;\n"
    "                     with --server a console update that also installs here; waits for\n"
    "                     another download to end unless --no-wait\n"
    "  check COMPONENT... [--server URL [--port N]]\n"
    "                     the versions the update source offers\n"
    "  scheduled [--scanner-id N]\n"
    "                     one scheduled run: updates what the schedule makes due\n"
    "  rollback COMPONENT [--scanner-id N]\n"
    "                     make the previous upload of a component current again\n"
    "  apply COMPONENT    install the central store's current version of a component here (a\n"
    "                     scanner that does not download takes its components so)\n"
    "  events             the recorded events\n"
    "  setting get SECTION KEY | setting set SECTION KEY VALUE\n"
    "                     the settings every scanner of the installation shares\n"
    "  encrypt            print the enciphered form of a secret read from standard input\n"
    "  trust PUBLIC_KEY   trust the feeds signed with this key (64 hex digits)\n"
    "  service restart|start|stop NAME\n"
    "\n"
    "Components: virus-engine, virus-pattern, spyware-pattern, lurebox-pattern,\n"
    "lurebox-exception, antispam-engine, spam-pattern, spam-incremental-pattern (update and\n"
    "check only), url-filter-engine, dexa-engine, cloudsift-pattern, their numbers 0 to 10, or\n"
    "all. The home is --home, else $ORVEL_HOME.\n"
    "\n"
    "Exit codes: 0 success or up to date, 1 failure, 2 usage error, 3 not due, 4 rollback\n"
    "unavailable, 5 not found at the update source. With several components, the code of the\n"
    "first one that did not succeed. Updates through the configured server and rollbacks are\n"
    "recorded as events of the scanner --scanner-id (default 0).\n";

using Command = int (*)(const Arguments&, Streams);
struct Subcommand {
  Command run;
  bool client;  // needs the update client held for its run
};

const std::map<std::string, Subcommand> kCommands = {
    {"status", {runStatus, true}},      {"update", {runUpdate, true}},
    {"check", {runCheck, true}},        {"scheduled", {runScheduled, true}},
    {"rollback", {runRollback, false}}, {"apply", {runApply, false}},
    {"events", {runEvents, false}},     {"setting", {runSetting, false}},
    {"trust", {runTrust, true}},        {"health", {runHealth, false}},
    {"encrypt", {runEncrypt, false}},   {"service", {runService, false}},
};

// The product home as an absolute path, also for the library ($ORVEL_HOME); "" when none given.
std::string productHome(const Arguments& args) {
  std::string home = args.value("--home");
  if (home.empty() && std::getenv("ORVEL_HOME")) home = std::getenv("ORVEL_HOME");
  if (home.empty()) return home;
  home = fs::absolute(home).lexically_normal().string();
  while (home.size() > 1 && home.back() == '/') home.pop_back();
  ::setenv("ORVEL_HOME", home.c_str(), 1);
  return home;
}

// The library's log lines written while the command ran, for -v.
class LogEcho {
 public:
  LogEcho(const std::string& home, bool on) : m_file(home + "/log/orvel.log"), m_on(on) {
    std::error_code unknown;
    m_from = m_on ? fs::file_size(m_file, unknown) : 0;
    if (unknown) m_from = 0;
  }
  ~LogEcho() {
    if (!m_on) return;
    std::ifstream in(m_file, std::ios::binary);
    in.seekg(static_cast<std::streamoff>(m_from));
    std::cerr << in.rdbuf();
  }

 private:
  std::string m_file;
  bool m_on;
  std::uintmax_t m_from = 0;
};

// The help of one subcommand: its entry of the usage, and what follows the list of entries.
std::string helpOf(const std::string& command) {
  const std::string usage = kUsage, entry = "\n  " + command + " ";
  const std::size_t at = usage.find(entry), list = usage.find("\n\n"),
                    after = usage.find("\n\n", list + 2);
  if (at == std::string::npos) return usage;
  std::size_t end = at + 1;
  do end = usage.find('\n', end) + 1;
  while (usage.compare(end, 4, "    ") == 0);
  return usage.substr(0, usage.find('\n') + 1) + "\n" + usage.substr(at + 1, end - at - 1) +
         usage.substr(after + 1);
}

int run(const Arguments& args) {
  Streams io{std::cin, std::cout, std::cerr, args.has("--json"), ::isatty(STDERR_FILENO) == 1};
  if (args.command() == "help" || args.has("--help")) {
    const bool all = args.command().empty() || args.command() == "help";
    std::cout << (all ? std::string(kUsage) : helpOf(args.command()));
    return kExitOk;
  }
  if (args.command().empty()) {
    std::cerr << kUsage;
    return kExitUsage;
  }
  const auto command = kCommands.find(args.command());
  if (command == kCommands.end() && args.command() != "init")
    throw UsageError("unknown command \"" + args.command() + "\" (see kfctl --help)");
  const std::string home = productHome(args);
  if (home.empty()) throw UsageError("no product home: give --home DIR or set ORVEL_HOME");
  if (args.command() == "init") return runInit(args, home, io);
  if (!fs::exists(home + "/config/orvel.ini")) {
    std::cerr << "kfctl: " << home
              << " is no product home (it has no config/orvel.ini): make one with kfctl init\n";
    return kExitFailed;
  }
  ::umask(077);
  LogEcho echo(home, args.has("--verbose"));
  if (!command->second.client) return command->second.run(args, io);
  if (!fs::exists(home + "/bin/QxUpdate.dll")) {
    std::cerr << "kfctl: the update client " << home
              << "/bin/QxUpdate.dll is missing: copy it from the installation's lib folder\n";
    return kExitFailed;
  }
  QxUpdateInit client;
  return command->second.run(args, io);
}

}  // namespace

int main(int argc, char** argv) {
  try {
    return run(Arguments(argc, argv, {"--json", "--check", "--no-wait", "--help", "--verbose"}));
  } catch (const UsageError& error) {
    std::cerr << "kfctl: " << error.what() << "\n";
    return kExitUsage;
  }
}
