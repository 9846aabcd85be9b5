#include "Commands.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <istream>
#include <map>
#include <ostream>

#include "HomeSetup.h"
#include "OrvelCommon/GlobalSettingIF.h"
#include "OrvelCommon/PasswordCipher.h"
#include "OrvelKF/KFBlobManager.h"
#include "OrvelKF/QxDBAgent.h"
#include "OrvelKF/QxUpdate.h"
#include "OrvelKF/QxUpdateClientBinding.h"
#include "OrvelKF/QxZip.h"
#include "Progress.h"
#include "Report.h"
#include "Status.h"

namespace fs = std::filesystem;

namespace Kfctl {

namespace {

const char* resultWord(QxUpdateRet result) {
  switch (result) {
    case UP_TO_DATE:
      return "up-to-date";
    case SUCCESS:
      return "done";
    case NOT_DUE:
      return "not-due";
    case ROLLBACK_UNAVAILABLE:
      return "rollback-unavailable";
    case SOURCE_NOT_FOUND:
      return "not-found";
    default:
      return "failed";
  }
}

int scannerId(const Arguments& args) {
  return static_cast<int>(args.number("--scanner-id", 0, 2147483647));
}

// The event of a download, and the installation's upload counter after an upload. A console
// update leaves its events to the console.
void recordOutcome(QxUpdate& update, int scanner, QxUpdateType type, QxUpdateRet result) {
  update.logKFEvent(scanner, type, result);
  if (result == SUCCESS) update.setUploadNumber();
}

// A download or a version query of each named component, with the library's message.
int runEach(const Arguments& args, Streams io, bool versionOnly) {
  args.allow({"--server", "--port", "--no-wait", "--scanner-id"});
  const std::vector<QxUpdateType> types = components(args.words(), true);
  const bool console = args.has("--server");
  const std::string url = args.value("--server");
  const int port = static_cast<int>(args.number("--port", 0, 65535));
  const bool block = !args.has("--no-wait");
  QxUpdate update(console ? CONSOLE_UPDATE : MANUAL_UPDATE);
  Report report({"component", "result", "version", "message"});
  Outcome outcome;
  Progress progress(io.err, io.terminal);
  for (QxUpdateType type : types) {
    progress.begin(componentWord(type));
    std::string msg, version;
    QxUpdateRet result;
    if (versionOnly) {
      result = console ? update.getAvailVersion(type, url, port, msg, version, block)
                       : update.getAvailVersion(type, msg, version, block);
    } else {
      result = console ? update.download(type, url, port, msg, block)
                       : update.download(type, msg, block);
      recordOutcome(update, scannerId(args), type, result);
      if (result == SUCCESS) update.getResultVersion(type, version);
    }
    nlohmann::json record = componentRecord(type);
    record["result"] = resultWord(result);
    record["version"] = version;
    progress.end();
    record["message"] = oneLine(msg);
    report.add(record);
    outcome.add(result);
  }
  report.print(io.out, io.json);
  return outcome.code;
}

}  // namespace

int runInit(const Arguments& args, const std::string& home, Streams io) {
  args.allow({"--pg-host", "--pg-port", "--pg-database", "--pg-user"});
  DatabaseChoice db;
  db.postgres = args.has("--pg-host");
  if (db.postgres) {
    db.host = args.value("--pg-host");
    db.port = std::to_string(args.number("--pg-port", 5432, 65535));
    db.database = args.value("--pg-database", "orveladmin");
    db.user = args.value("--pg-user", "orvel");
    std::getline(io.in, db.password);  // never an argument: others could read it
  }
  std::string error;
  if (createHome(home, db, error) != 0) {
    io.err << "kfctl: init failed: " << error << "\n";
    return kExitFailed;
  }
  Report report({"home", "database"});
  report.add({{"home", home}, {"database", db.postgres ? "postgresql" : "sqlite"}});
  report.print(io.out, io.json);
  return kExitOk;
}

int runUpdate(const Arguments& args, Streams io) { return runEach(args, io, false); }

int runCheck(const Arguments& args, Streams io) { return runEach(args, io, true); }

int runScheduled(const Arguments& args, Streams io) {
  args.allow({"--scanner-id"});
  const std::vector<QxUpdateType> types = components({"all"}, false);
  QxUpdate update(SCHEDULED_UPDATE);
  Report report({"component", "result", "message"});
  Outcome outcome;
  bool due = false;
  Progress progress(io.err, io.terminal);
  for (QxUpdateType type : types) {
    std::string msg;
    progress.begin(componentWord(type));
    const QxUpdateRet result = update.download(type, msg, false);
    progress.end();
    recordOutcome(update, scannerId(args), type, result);
    due = due || result != NOT_DUE;
    if (result != NOT_DUE) outcome.add(result);
    nlohmann::json record = componentRecord(type);
    record["result"] = resultWord(result);
    record["message"] = oneLine(msg);
    report.add(record);
  }
  report.print(io.out, io.json);
  return due ? outcome.code : kExitNotDue;
}

int runRollback(const Arguments& args, Streams io) {
  args.allow({"--scanner-id"});
  const std::vector<QxUpdateType> types = components(args.words(), false);
  if (types.size() != 1) throw UsageError("rollback takes one component");
  QxUpdate update;
  const QxUpdateRet result = update.rollback(types[0], scannerId(args));
  std::map<int, std::string> central;
  centralVersions(central, io.err);
  Report report({"component", "result", "central", "backup"});
  nlohmann::json record = componentRecord(types[0]);
  record["result"] = resultWord(result);
  record["central"] = central[types[0]];
  record["backup"] = central[types[0] + 100];
  report.add(record);
  report.print(io.out, io.json);
  return exitOf(result);
}

// A component as the central store holds it, fetched into the home's staging folder and unpacked
// when it travels zipped: the path applyToLocal takes (the rule folder for the spam pattern).
bool fetchCurrent(QxUpdateType type, const std::string& folder, std::string& path,
                  std::string& name, std::ostream& err) {
  std::error_code ignored;
  fs::remove_all(folder, ignored);
  fs::create_directories(folder + "/unpacked", ignored);
  _uiKFData data{};
  data.type = type;
  std::snprintf(data.file_path, sizeof data.file_path, "%s/", folder.c_str());
  if (KFBlobManager::GetKFBlob(data) != ERRC_SUCCESS) {
    err << "kfctl: cannot take the " << kfCpntDisplayName[type]
        << " from the central store (see the log with -v)\n";
    return false;
  }
  path = data.file_path;  // the fetched file, named as it was uploaded
  name = fs::path(path).filename();
  const std::string zip = ".zip";
  if (name.size() <= zip.size() || name.compare(name.size() - zip.size(), zip.size(), zip) != 0)
    return true;
  std::string unpacked = folder + "/unpacked";
  if (ORVEL::_unzip(path.data(), unpacked.data()) != 0) {
    err << "kfctl: cannot unpack " << path << "\n";
    return false;
  }
  name.resize(name.size() - zip.size());
  path = type == QXASE_PATTERN ? unpacked : unpacked + "/" + name;
  return true;
}

int runApply(const Arguments& args, Streams io) {
  args.allow({});
  const std::vector<QxUpdateType> types = components(args.words(), false);
  if (types.size() != 1) throw UsageError("apply takes one component");
  const QxUpdateType type = types[0];
  QxUpdate update;
  std::vector<ComponentStatus> rows;
  if (!readStatus(update, rows, io.err)) return kExitFailed;
  const ComponentStatus& row = rows[type];
  if (row.central.empty()) {
    io.err << "kfctl: the central store holds no " << kfCpntDisplayName[type]
           << ": a scanner that downloads must upload one first\n";
    return kExitFailed;
  }
  nlohmann::json record = componentRecord(type);
  record["version"] = row.central;
  record["result"] = "up-to-date";
  if (!row.current()) {
    const std::string folder = std::string(std::getenv("ORVEL_HOME")) + "/temp/kf/apply";
    std::string path, name;
    const bool applied = fetchCurrent(type, folder, path, name, io.err) &&
                         update.applyToLocal(type, path, row.central, isEngine(type) ? name : "");
    std::error_code ignored;
    fs::remove_all(folder, ignored);
    record["result"] = applied ? "done" : "failed";
    if (!applied) record["message"] = "not installed (see the log with -v)";
  }
  Report report({"component", "result", "version", "message"});
  report.add(record);
  report.print(io.out, io.json);
  return record["result"] == "failed" ? kExitFailed : kExitOk;
}

int runEvents(const Arguments& args, Streams io) {
  args.allow({});
  Report report({"time", "scanner", "event", "description"});
  ORVEL::QxDBAgent agent;
  if (!agent.isOK()) {
    io.err << "kfctl: cannot connect to the central database (see the log with -v)\n";
    return kExitFailed;
  }
  try {
    agent.excuteQuery(
        "select scanner_id, event_id, time_date, event_description from tb_system_event order by "
        "event_no");
    while (agent.fetchNextRow() == 0) {
      int scanner = 0, event = 0;
      long time = 0;
      const char* description = nullptr;
      agent.getInt("scanner_id", scanner);
      agent.getInt("event_id", event);
      agent.getTime("time_date", time);
      agent.getString("event_description", description);
      report.add({{"time", localTime(time)},
                  {"scanner", scanner},
                  {"event", event},
                  {"description", description ? description : ""}});
    }
  } catch (const char* reason) {
    io.err << "kfctl: cannot read the events: " << reason << "\n";
    return kExitFailed;
  }
  report.print(io.out, io.json);
  return kExitOk;
}

int runSetting(const Arguments& args, Streams io) {
  args.allow({});
  const std::vector<std::string>& w = args.words();
  const bool set = !w.empty() && w[0] == "set";
  if (w.empty() || (w[0] != "get" && !set) || w.size() != (set ? 4u : 3u))
    throw UsageError("usage: kfctl setting get SECTION KEY | setting set SECTION KEY VALUE");
  ORVEL::GlobalSettingIF settings;
  std::string value = set ? w[3] : "";
  const int result =
      !settings.Init(nullptr, nullptr, nullptr, nullptr) ? -1
      : set ? settings.writeSetting(w[2].c_str(), value.c_str(), w[1].c_str(), "orvel.ini")
            : settings.readSetting(w[2].c_str(), value, w[1].c_str(), "orvel.ini");
  if (result != 0) {
    io.err << "kfctl: " << (result == 1 ? "no setting " : "cannot reach the setting ") << w[1]
           << " " << w[2] << (result == 1 ? "" : " (see the log with -v)") << "\n";
    return kExitFailed;
  }
  Report report({"section", "key", "value"});
  report.add({{"section", w[1]}, {"key", w[2]}, {"value", value}});
  report.print(io.out, io.json);
  return kExitOk;
}

int runEncrypt(const Arguments& args, Streams io) {
  args.allow({});
  std::string secret, stored;
  std::getline(io.in, secret);
  if (!ORVEL::NewEncryptStr(secret.c_str(), stored)) {
    io.err << "kfctl: cannot encipher the text (too long, or no usable key: see the log with -v)\n";
    return kExitFailed;
  }
  Report report({"enciphered"});
  report.add({{"enciphered", stored}});
  report.print(io.out, io.json);
  return kExitOk;
}

int runTrust(const Arguments& args, Streams io) {
  args.allow({});
  if (args.words().size() != 1) throw UsageError("usage: kfctl trust PUBLIC_KEY");
  const int result = ORVEL::QxuAddTrusted(args.words()[0].c_str());
  char text[512] = "";
  if (result != 0) ORVEL::QxuGetErrorString(result, text, sizeof text);
  if (result != 0) {
    io.err << "kfctl: the key is not trusted: " << text << "\n";
    return kExitFailed;
  }
  Report report({"trusted"});
  report.add({{"trusted", args.words()[0]}});
  report.print(io.out, io.json);
  return kExitOk;
}

int runService(const Arguments& args, Streams io) {
  args.allow({});
  const std::vector<std::string>& w = args.words();
  const std::map<std::string, int> modes = {{"stop", 1}, {"start", 2}, {"restart", 3}};
  if (w.size() != 2 || modes.count(w[0]) == 0)
    throw UsageError("usage: kfctl service restart|start|stop NAME");
  const bool done = QxUpdate::restartDaemons(w[1].c_str(), modes.at(w[0]));
  Report report({"service", "request", "result"});
  report.add({{"service", w[1]}, {"request", w[0]}, {"result", done ? "done" : "failed"}});
  report.print(io.out, io.json);
  return done ? kExitOk : kExitFailed;
}

}  // namespace Kfctl
