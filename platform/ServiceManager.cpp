// The systemd backend of the service manager, and the registry that lets tests replace it.
//
// Every question is one run of `systemctl` (ProgramRun.h), bounded in real time; its answer is
// taken only when it has the expected form, so a program that is missing, hangs or answers
// something else makes the read fail instead of guessing a state.
#include "OrvelPlatform/ServiceManager.h"

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cstdlib>
#include <map>
#include <set>
#include <sstream>

#include "ProgramRun.h"

namespace OrvelPlatform {

namespace {

constexpr const char* kUnitSuffix = ".service";
constexpr long kDefaultTimeoutMilliseconds = 10000;
// Dependents of dependents are followed; a cycle or an absurd tree stops here.
constexpr std::size_t kMaxDependentUnits = 64;

std::string systemctlProgram() {
  const char* program = std::getenv("ORVEL_SYSTEMCTL");
  return program && *program ? program : "systemctl";
}

std::chrono::milliseconds systemctlTimeout() {
  const char* text = std::getenv("ORVEL_SYSTEMCTL_TIMEOUT_MS");
  char* end = nullptr;
  const long value = text ? std::strtol(text, &end, 10) : 0;
  const bool valid = text && *text && *end == '\0' && value > 0;
  return std::chrono::milliseconds(valid ? value : kDefaultTimeoutMilliseconds);
}

// Names that systemd takes as unit names and that cannot be mistaken for an option.
bool isUnitName(const std::string& name) {
  if (name.empty() || name.size() > 255 || name[0] == '-') return false;
  return std::all_of(name.begin(), name.end(), [](unsigned char c) {
    return std::isalnum(c) || c == ':' || c == '_' || c == '.' || c == '@' || c == '-';
  });
}

bool isServiceName(const std::string& service) {
  return !service.empty() && isUnitName(service + kUnitSuffix);
}

// The service a unit name stands for; false for units that are no service (targets, sockets...).
bool serviceOfUnit(const std::string& unit, std::string& service) {
  const std::string suffix = kUnitSuffix;
  if (unit.size() <= suffix.size() ||
      unit.compare(unit.size() - suffix.size(), suffix.size(), suffix) != 0)
    return false;
  service = unit.substr(0, unit.size() - suffix.size());
  return true;
}

ProgramRun systemctl(std::vector<std::string> args, const std::string& service) {
  args.insert(args.begin(), systemctlProgram());
  args.push_back("--");
  args.push_back(service + kUnitSuffix);
  return runProgram(args, systemctlTimeout());
}

// The answer of `systemctl show`: "Key=value" lines. False for anything else.
bool readProperties(const ProgramRun& run, std::map<std::string, std::string>& properties) {
  if (run.outcome != ProgramRun::kExited || run.exitStatus != 0 || run.outputCut) return false;
  std::istringstream lines(run.output);
  for (std::string line; std::getline(lines, line);) {
    if (line.empty()) continue;
    const std::size_t equals = line.find('=');
    if (equals == std::string::npos || equals == 0) return false;
    properties[line.substr(0, equals)] = line.substr(equals + 1);
  }
  return true;
}

// Windows state numbers of systemd's active states; 0 for a state this backend does not know.
int serviceState(const std::string& activeState) {
  static const std::map<std::string, int> states = {
      {"active", kServiceRunning},           {"reloading", kServiceRunning},
      {"refreshing", kServiceRunning},       {"activating", kServiceStartPending},
      {"deactivating", kServiceStopPending}, {"maintenance", kServiceStopPending},
      {"inactive", kServiceStopped},         {"failed", kServiceStopped},
  };
  const auto found = states.find(activeState);
  return found == states.end() ? 0 : found->second;
}

// The code of a refused or unanswered request (0: carried out).
int requestResult(const ProgramRun& run) {
  if (run.outcome == ProgramRun::kTimedOut) return kServiceErrorRequestTimeout;
  if (run.outcome != ProgramRun::kExited) return kServiceErrorManagerUnavailable;
  switch (run.exitStatus) {
    case 0:
      return 0;
    case 4:  // the user may not
      return kServiceErrorAccessDenied;
    case 5:  // no such unit
      return kServiceErrorDoesNotExist;
    default:
      return kServiceErrorCannotAcceptControl;
  }
}

// The code for a question that got no usable answer.
int unansweredResult(const ProgramRun& run) {
  return run.outcome == ProgramRun::kTimedOut ? kServiceErrorRequestTimeout
                                              : kServiceErrorManagerUnavailable;
}

class SystemdServiceManager : public ServiceManager {
 public:
  bool exists(const std::string& service) override {
    std::map<std::string, std::string> unit;
    return readUnit(service, unit) && unit["LoadState"] != "not-found";
  }

  bool queryState(const std::string& service, int& state) override {
    std::map<std::string, std::string> unit;
    if (!readUnit(service, unit) || unit["LoadState"] == "not-found") return false;
    const int known = serviceState(unit["ActiveState"]);
    if (known == 0) return false;
    state = known;
    return true;
  }

  // systemd would stop the services that need this one along with it and not bring them back;
  // the service manager the callers are written against refuses instead and leaves it to them.
  int stop(const std::string& service) override {
    std::vector<std::string> dependents;
    const int listed = activeDependents(service, dependents);
    if (listed != 0) return listed;
    if (!dependents.empty()) return kServiceErrorDependentServicesRunning;
    return requestResult(systemctl({"stop", "--no-ask-password"}, service));
  }

  int start(const std::string& service) override {
    if (!isServiceName(service)) return kServiceErrorDoesNotExist;
    return requestResult(systemctl({"start", "--no-ask-password"}, service));
  }

  int activeDependents(const std::string& service, std::vector<std::string>& out) override {
    if (!isServiceName(service)) return kServiceErrorDoesNotExist;
    std::vector<std::string> all;
    std::set<std::string> seen{service};
    const int listed = collectDependents(service, seen, all);
    if (listed != 0) return listed;
    out.clear();
    for (const std::string& dependent : all) {
      int state = 0;
      if (queryState(dependent, state) && state != kServiceStopped) out.push_back(dependent);
    }
    return 0;
  }

 private:
  bool readUnit(const std::string& service, std::map<std::string, std::string>& unit) {
    if (!isServiceName(service)) return false;
    return readProperties(systemctl({"show", "--property=LoadState,ActiveState"}, service), unit) &&
           unit.count("LoadState") && unit.count("ActiveState");
  }

  // The services that systemd stops when this one stops (they require it, are bound to it or
  // are part of it), and theirs in turn, each after every service that needs it: the order in
  // which they can be stopped.
  int collectDependents(const std::string& service, std::set<std::string>& seen,
                        std::vector<std::string>& out) {
    const ProgramRun run = systemctl({"show", "--property=RequiredBy,BoundBy,ConsistsOf"}, service);
    std::map<std::string, std::string> unit;
    if (!readProperties(run, unit)) return unansweredResult(run);
    for (const char* property : {"RequiredBy", "BoundBy", "ConsistsOf"}) {
      std::istringstream names(unit[property]);
      for (std::string name; names >> name;) {
        if (!isUnitName(name)) return kServiceErrorManagerUnavailable;
        std::string dependent;
        if (!serviceOfUnit(name, dependent) || !seen.insert(dependent).second) continue;
        if (seen.size() > kMaxDependentUnits) return kServiceErrorManagerUnavailable;
        const int listed = collectDependents(dependent, seen, out);
        if (listed != 0) return listed;
        out.push_back(dependent);
      }
    }
    return 0;
  }
};

SystemdServiceManager g_systemd;
std::atomic<ServiceManager*> g_manager{&g_systemd};

}  // namespace

ServiceManager& serviceManager() { return *g_manager.load(); }

ServiceManager* setServiceManager(ServiceManager* replacement) {
  ServiceManager* previous = g_manager.exchange(replacement ? replacement : &g_systemd);
  return previous == &g_systemd ? nullptr : previous;
}

}  // namespace OrvelPlatform
