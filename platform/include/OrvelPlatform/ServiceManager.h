// The service manager of the machine, reduced to the primitive calls the service control makes,
// answering in the Windows state numbers and error codes that the callers are written against.
//
// The Linux backend drives systemd through `systemctl` (service "QxOrvelScan" is the unit
// "QxOrvelScan.service"); the program is the one the environment variable ORVEL_SYSTEMCTL names,
// else `systemctl` on the PATH. Tests install a backend of their own with setServiceManager.
#pragma once

#include <string>
#include <vector>

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
