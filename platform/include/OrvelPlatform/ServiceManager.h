// The service manager of the machine, reduced to the primitive calls the service control makes,
// answering in the Windows state numbers and error codes that the callers are written against.
//
// The Linux backend drives systemd through `systemctl` (service "QxOrvelScan" is the unit
// "QxOrvelScan.service"); the program is the one the environment variable ORVEL_SYSTEMCTL names,
// else `systemctl` on the PATH. Each run may take ORVEL_SYSTEMCTL_TIMEOUT_MS milliseconds of real
// time (default 10000); a run that takes longer is killed. Tests install a backend of their own
// with setServiceManager.
//
// How the systemd backend answers:
// - state: `systemctl show --property=LoadState,ActiveState -- <unit>`. LoadState "not-found": the
//   service does not exist. ActiveState active, reloading, refreshing: running (the service keeps
//   serving while it reloads); activating: start pending; deactivating, maintenance: stop
//   pending; inactive, failed: stopped. Any other answer, a non-zero exit or a time-out: the state
//   cannot be read.
// - stop, start: `systemctl stop|start --no-ask-password -- <unit>`, which returns once systemd
//   has carried the job out. A time-out is kServiceErrorRequestTimeout (the job goes on in
//   systemd); exit status 4 kServiceErrorAccessDenied, 5 kServiceErrorDoesNotExist, any other
//   kServiceErrorCannotAcceptControl; a program that cannot be run or dies of a signal
//   kServiceErrorManagerUnavailable. A stop is refused with kServiceErrorDependentServicesRunning
//   while active dependents exist, as the callers expect: systemd would otherwise stop them along
//   and never start them again.
// - dependents: the services of RequiredBy, BoundBy and ConsistsOf (those systemd stops with the
//   service), followed to their own dependents, each listed after every service that needs it;
//   units that are no service are left out; only those whose state reads other than stopped are
//   returned.
// - Service names that are not unit names, or that begin with "-", are never handed to systemctl:
//   such a service does not exist.
#pragma once

#include <string>
#include <vector>

#pragma GCC visibility push(default)

namespace OrvelPlatform {

// Service states.
constexpr int kServiceStopped = 1;
constexpr int kServiceStartPending = 2;
constexpr int kServiceStopPending = 3;
constexpr int kServiceRunning = 4;

// Error codes of refused requests.
constexpr int kServiceErrorMoreData = 234;                 // the list buffer is too small
constexpr int kServiceErrorDependentServicesRunning = 1051;
constexpr int kServiceErrorRequestTimeout = 1053;          // no answer in time
constexpr int kServiceErrorAccessDenied = 5;
constexpr int kServiceErrorDoesNotExist = 1060;
constexpr int kServiceErrorCannotAcceptControl = 1061;     // refused for another reason
constexpr int kServiceErrorManagerUnavailable = 1722;      // the manager cannot be asked

class ServiceManager {
 public:
  virtual ~ServiceManager() = default;
  // Whether the service is known to the manager (an unknown one cannot be opened).
  virtual bool exists(const std::string& service) = 0;
  // The current state into state; false when it cannot be read.
  virtual bool queryState(const std::string& service, int& state) = 0;
  // Sends the stop control or the start request without waiting for the state to follow:
  // 0 when sent, otherwise an error code (kServiceError..., or another non-zero code).
  virtual int stop(const std::string& service) = 0;
  virtual int start(const std::string& service) = 0;
  // The services that depend on this one and are active now, in the order they should stop:
  // 0 with the list, otherwise an error code.
  virtual int activeDependents(const std::string& service, std::vector<std::string>& out) = 0;
};

// The service manager in use: the systemd backend unless a test installed another.
ServiceManager& serviceManager();

// Installs a service manager (null restores the systemd backend) and returns the one it replaces.
// The caller keeps ownership.
ServiceManager* setServiceManager(ServiceManager* replacement);

}  // namespace OrvelPlatform

#pragma GCC visibility pop
