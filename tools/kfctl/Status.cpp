#include "Status.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <sstream>

#include "OrvelKF/KFBlobManager.h"
#include "OrvelKF/QxUpdate.h"
#include "OrvelKF/VersionText.h"
#include "Report.h"

namespace Kfctl {

namespace {

// Seconds from "90", "90s", "15m", "36h" or "2d".
long age(const Arguments& args, const std::string& option, long otherwise) {
  if (!args.has(option)) return otherwise;
  const std::string text = args.value(option);
  char* end = nullptr;
  errno = 0;
  const long n = std::strtol(text.c_str(), &end, 10);
  const std::string unit = end ? end : "";
  const std::map<std::string, long> units = {
      {"", 1}, {"s", 1}, {"m", 60}, {"h", 3600}, {"d", 86400}};
  if (text.empty() || text[0] == '-' || errno != 0 || units.count(unit) == 0 ||
      n > 100L * 365 * 86400)
    throw UsageError(option + " needs an age such as 3600, 90m, 36h or 2d, not \"" + text + "\"");
  return n * units.at(unit);
}

// The components a monitor watches: those installed here (the spam incremental pattern travels
// with the spam pattern).
std::vector<ComponentStatus> watched(const std::vector<ComponentStatus>& rows) {
  std::vector<ComponentStatus> installed;
  for (const ComponentStatus& row : rows)
    if (!row.installed.empty() && row.type != QXASE_PATCH) installed.push_back(row);
  return installed;
}

std::string prometheusText(const std::vector<ComponentStatus>& rows, long now) {
  std::ostringstream text;
  text << "# HELP orvelkf_component_age_seconds Seconds since the component was installed on this "
          "scanner.\n# TYPE orvelkf_component_age_seconds gauge\n";
  for (const ComponentStatus& row : watched(rows))
    if (row.installedTime != 0)
      text << "orvelkf_component_age_seconds{component=\"" << componentWord(row.type) << "\"} "
           << now - row.installedTime << "\n";
  text << "# HELP orvelkf_component_current Whether the installed version is the current one of "
          "the central store.\n# TYPE orvelkf_component_current gauge\n";
  for (const ComponentStatus& row : watched(rows))
    text << "orvelkf_component_current{component=\"" << componentWord(row.type) << "\"} "
         << (row.current() ? 1 : 0) << "\n";
  return text.str();
}

// The anti-spam engine tells its version with the minor number as it is (7.3.1120) while the
// store keeps the scaled form of every engine (7.300.1120): compared in the scaled form.
std::string scaledEngineVersion(int type, const std::string& text) {
  unsigned major = 0, minor = 0, build = 0;
  char rest = 0;
  if (!isEngine(type) ||
      std::sscanf(text.c_str(), "%u.%u.%u%c", &major, &minor, &build, &rest) != 3)
    return text;
  return std::to_string(major) + "." + std::to_string(kfScaleMinorVersion(minor)) + "." +
         std::to_string(build);
}

}  // namespace

bool ComponentStatus::current() const {
  return !installed.empty() && !central.empty() &&
         KFBlobManager::CmpVersion(static_cast<QxUpdateType>(type),
                                   scaledEngineVersion(type, installed).c_str(),
                                   scaledEngineVersion(type, central).c_str()) == 0;
}

bool centralVersions(std::map<int, std::string>& versions, std::ostream& err) {
  std::vector<_uiKFDataNoFile> rows;
  if (KFBlobManager::GetKFRows(rows) != ERRC_SUCCESS) {
    err << "kfctl: cannot read the central component table (see the log with -v)\n";
    return false;
  }
  for (const _uiKFDataNoFile& row : rows) versions[row.type] = row.version;
  return true;
}

bool readStatus(QxUpdate& update, std::vector<ComponentStatus>& rows, std::ostream& err) {
  std::map<int, std::string> central;
  if (!centralVersions(central, err)) return false;
  for (int type = 0; type < kfComponentCount; ++type) {
    const QxUpdateType t = static_cast<QxUpdateType>(type);
    ComponentStatus row{type, "", 0, "", central[type], central[type + 100]};
    std::string msg;
    if (update.getLocalVersion(t, msg, row.installed, false) != 0) row.installed.clear();
    if (!update.getLocalUpdateTime(t, row.installedTime)) row.installedTime = 0;
    if (update.getDBVersion(t, msg, row.adopted, false) != 0) row.adopted.clear();
    rows.push_back(row);
  }
  return true;
}

int runStatus(const Arguments& args, Streams io) {
  args.allow({"--check", "--server", "--port", "--prometheus"});
  const bool check = args.has("--check"), console = args.has("--server");
  const int port = static_cast<int>(args.number("--port", 0, 65535));
  QxUpdate update(console ? CONSOLE_UPDATE : MANUAL_UPDATE);
  std::vector<ComponentStatus> rows;
  if (!readStatus(update, rows, io.err)) return kExitFailed;
  if (args.has("--prometheus")) {
    const std::string text = prometheusText(rows, std::time(nullptr));
    std::string error;
    if (args.value("--prometheus") == "-")
      io.out << text;
    else if (!writeWhole(args.value("--prometheus"), text, error))
      io.err << "kfctl: " << error << "\n";
    return error.empty() ? kExitOk : kExitFailed;
  }
  std::vector<std::string> columns = {"title",   "installed", "installed_at",
                                      "adopted", "central",   "backup"};
  if (check) columns.push_back("available");
  Report report(columns);
  Outcome outcome;
  for (const ComponentStatus& row : rows) {
    nlohmann::json record = componentRecord(row.type);
    record["title"] = kfCpntDisplayName[row.type];
    record["installed"] = row.installed;
    record["installed_at"] = localTime(row.installedTime);
    record["installed_time"] = row.installedTime;
    record["adopted"] = row.adopted;
    record["central"] = row.central;
    record["backup"] = row.backup;
    if (check) {
      const QxUpdateType t = static_cast<QxUpdateType>(row.type);
      std::string msg, available;
      const QxUpdateRet result =
          console ? update.getAvailVersion(t, args.value("--server"), port, msg, available, false)
                  : update.getAvailVersion(t, msg, available, false);
      record["available"] = result == FAIL ? "" : available;
      if (result == FAIL) record["message"] = oneLine(msg);
      outcome.add(result == SOURCE_NOT_FOUND ? UP_TO_DATE : result);
    }
    report.add(record);
  }
  report.print(io.out, io.json);
  return outcome.code;
}

// One line in the monitoring-plugin convention: state, what is wrong, and after "|" the age and
// the currency of every installed component as performance data.
int runHealth(const Arguments& args, Streams io) {
  args.allow({"--warn", "--crit"});
  const long warn = age(args, "--warn", 2 * 86400), crit = age(args, "--crit", 7 * 86400);
  QxUpdate update;
  std::vector<ComponentStatus> rows;
  if (!readStatus(update, rows, io.err)) {
    io.out << "KFCTL UNKNOWN - the central component table cannot be read\n";
    return 3;
  }
  const std::vector<ComponentStatus> installed = watched(rows);
  if (installed.empty()) {
    io.out << "KFCTL UNKNOWN - no component is installed\n";
    return 3;
  }
  const long now = std::time(nullptr);
  int state = 0;
  std::string problems, performance;
  const auto problem = [&](int level, const std::string& text) {
    state = std::max(state, level);
    problems += (problems.empty() ? "" : "; ") + text;
  };
  for (const ComponentStatus& row : installed) {
    const std::string word = componentWord(row.type);
    const long seconds = row.installedTime ? now - row.installedTime : -1;
    if (seconds < 0)
      problem(1, word + " has no recorded installation time");
    else if (seconds > warn)
      problem(seconds > crit ? 2 : 1,
              word + " installed " + std::to_string(seconds / 3600) + "h ago");
    if (!row.current())
      problem(1, word + " " + row.installed + " is not the central " +
                     (row.central.empty() ? "(none)" : row.central));
    if (seconds >= 0)
      performance += " '" + word + "_age'=" + std::to_string(seconds) + "s;" +
                     std::to_string(warn) + ";" + std::to_string(crit) + ";0";
    performance += " '" + word + "_current'=" + (row.current() ? "1" : "0") + ";;;0;1";
  }
  const char* const names[] = {"OK", "WARNING", "CRITICAL"};
  io.out << "KFCTL " << names[state] << " - "
         << (problems.empty() ? std::to_string(installed.size()) + " components current" : problems)
         << " |" << performance << "\n";
  return state;
}

}  // namespace Kfctl
