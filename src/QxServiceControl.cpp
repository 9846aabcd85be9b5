// Stopping, starting and restarting services above the platform's service manager. Every wait is
// made of one-second sleeps of the clock interface and is bounded by a number of polls, so no
// service, however it behaves, holds the caller longer than its polls allow.
#include "QxServiceControl.h"

#include <cerrno>
#include <new>
#include <string>
#include <vector>

#include "OrvelCommon/Log.h"
#include "OrvelKF/QxUpdate.h"
#include "OrvelPlatform/Clock.h"
#include "OrvelPlatform/ServiceManager.h"

using ORVEL::Log;
using ORVEL::ORVEL_LOG_DETAIL;
using ORVEL::ORVEL_LOG_ERROR;
using ORVEL::ORVEL_LOG_TRACE;
using namespace OrvelPlatform;  // the state numbers and error codes

namespace {

constexpr unsigned kPollMilliseconds = 1000;
constexpr int kStopPolls = 60;
constexpr int kStartPolls = 90;
constexpr int kRestartStartPolls = 60;
constexpr int kRestartWaitPolls = 150;

// A wait for a state: the pending state on the way to it, and the lines of the restart.
struct StateWait {
  int pending;
  int target;
  const char* pendingLine;
  const char* reachedLine;
};
constexpr StateWait kUntilStopped{kServiceStopPending, kServiceStopped,
                                  "Service %s is stopping, wait 1s ...",
                                  "Service %s status changed to stopped"};
constexpr StateWait kUntilRunning{kServiceStartPending, kServiceRunning,
                                  "Service %s is starting, wait 1s ...",
                                  "Service %s status changed to running"};

void logDetail(const char* format, const std::string& service) {
  Log::LogByLevel(ORVEL_LOG_DETAIL, format, service.c_str());
}

void sleepOneSecond() { OrvelPlatform::clock().sleepMilliseconds(kPollMilliseconds); }

// A request answered with a time-out is taken as accepted: the service may still act on it.
bool accepted(int result) { return result == 0 || result == kServiceErrorRequestTimeout; }

bool readAfterASecond(ServiceManager& manager, const std::string& service, int& state) {
  sleepOneSecond();
  return manager.queryState(service, state);
}

// Polls once a second until the target state, at most polls times; state holds the last state
// read. A state that is neither pending nor the target (still running right after the stop
// control, paused) counts and sleeps like a pending one: the request may not have been acted on
// yet, and ending the wait at once would give up on a service that is only slow to start moving.
// A failed read ends the wait.
void waitFor(ServiceManager& manager, const std::string& service, const StateWait& wait, int polls,
             int& state) {
  for (int poll = 0; state != wait.target && poll < polls; ++poll) {
    if (state == wait.pending) logDetail(wait.pendingLine, service);
    sleepOneSecond();
    if (!manager.queryState(service, state)) return;
  }
  if (state == wait.target) logDetail(wait.reachedLine, service);
}

// Polls once a second while the service is start pending, at most polls times. False when a read
// fails.
bool waitWhileStarting(ServiceManager& manager, const std::string& service, int polls,
                       const char* line, int& state) {
  for (int poll = 0; state == kServiceStartPending && poll < polls; ++poll) {
    logDetail(line, service);
    sleepOneSecond();
    if (!manager.queryState(service, state)) return false;
  }
  return true;
}

bool startStopped(ServiceManager& manager, const std::string& service) {
  logDetail("Service %s has stopped, start it", service);
  const int sent = manager.start(service);
  if (sent == kServiceErrorRequestTimeout) {
    Log::LogByLevel(ORVEL_LOG_TRACE, "Start service %s returned ERROR_SERVICE_REQUEST_TIMEOUT",
                    service.c_str());
  } else if (sent != 0) {
    Log::LogByLevel(ORVEL_LOG_ERROR, "Start service %s failed, error code = %d", service.c_str(),
                    sent);
    return false;
  }
  int state = 0;
  if (!readAfterASecond(manager, service, state) ||
      !waitWhileStarting(manager, service, kStartPolls, "Service %s is starting, wait for 1s ...",
                         state))
    return false;
  if (state == kServiceRunning) {
    logDetail("Start service %s succeeded", service);
    return true;
  }
  if (state != kServiceStartPending) {
    Log::LogByLevel(ORVEL_LOG_DETAIL, "Start service %s failed, current status = %d",
                    service.c_str(), state);
  }
  return false;
}

// The active dependents of a service that refused to stop because of them. The platform answers
// with the whole list at once; false (with the reason logged) when there is none to be had.
bool listDependents(ServiceManager& manager, const std::string& service,
                    std::vector<std::string>& dependents) {
  int listed = 0;
  try {
    listed = manager.activeDependents(service, dependents);
  } catch (const std::bad_alloc&) {
    Log::LogByLevel(ORVEL_LOG_DETAIL, "alloc memory failed, error code=%d", ENOMEM);
    dependents.clear();
    return false;
  }
  if (listed != 0) {
    Log::LogByLevel(ORVEL_LOG_DETAIL, "enum dependent service of %s failed. error code=%d",
                    service.c_str(), listed);
    dependents.clear();
    return false;
  }
  return !dependents.empty();
}

// Stops or starts one dependent and waits for it; its failures only end its own turn.
void moveDependent(ServiceManager& manager, const std::string& dependent, bool stop) {
  if (!manager.exists(dependent)) {
    Log::LogByLevel(ORVEL_LOG_DETAIL, "open service %s failed. error code=%d", dependent.c_str(),
                    kServiceErrorDoesNotExist);
    return;
  }
  logDetail("Open dependent service %s success.", dependent);
  if (!accepted(stop ? manager.stop(dependent) : manager.start(dependent))) return;
  int state = 0;
  if (readAfterASecond(manager, dependent, state))
    waitFor(manager, dependent, stop ? kUntilStopped : kUntilRunning, kRestartWaitPolls, state);
}

// Sends the stop control once more after the dependents went, and waits. False when the service
// did not stop.
bool stopAgain(ServiceManager& manager, const std::string& service) {
  const int sent = manager.stop(service);
  if (!accepted(sent)) {
    Log::LogByLevel(ORVEL_LOG_DETAIL,
                    "Stop service %s failed again after stop all dependent services. error code=%d",
                    service.c_str(), sent);
    return true;  // the start is tried all the same
  }
  int state = kServiceRunning;
  if (readAfterASecond(manager, service, state))
    waitFor(manager, service, kUntilStopped, kRestartWaitPolls, state);
  return state == kServiceStopped;
}

bool startAfterStop(ServiceManager& manager, const std::string& service) {
  logDetail("Service %s is stopped, start it", service);
  const int sent = manager.start(service);
  if (!accepted(sent)) {
    Log::LogByLevel(ORVEL_LOG_DETAIL, "start service %s failed, error code=%d", service.c_str(),
                    sent);
    return false;
  }
  if (sent == kServiceErrorRequestTimeout) logDetail("Service %s is stopped, start it", service);
  int state = 0;
  if (!readAfterASecond(manager, service, state) ||
      !waitWhileStarting(manager, service, kRestartStartPolls, kUntilRunning.pendingLine, state) ||
      state != kServiceRunning)
    return false;
  logDetail("Start service %s succeeded", service);
  return true;
}

bool restartWithDependents(ServiceManager& manager, const std::string& service) {
  logDetail("Service %s is running, stop it", service);
  std::vector<std::string> dependents;
  bool stopped = true;
  const int sent = manager.stop(service);
  if (accepted(sent)) {
    int state = kServiceRunning;
    if (readAfterASecond(manager, service, state))
      waitFor(manager, service, kUntilStopped, kRestartWaitPolls, state);
    stopped = state == kServiceStopped;
  } else if (sent == kServiceErrorDependentServicesRunning &&
             listDependents(manager, service, dependents)) {
    for (const std::string& dependent : dependents) moveDependent(manager, dependent, true);
    stopped = stopAgain(manager, service);
  }
  bool started = false;
  if (stopped) {
    started = startAfterStop(manager, service);
  } else {
    logDetail("Stop service %s failed", service);
  }
  // Dependents stopped here are started again also when the service itself would not stop:
  // otherwise they would stay down for a restart that never happened.
  for (const std::string& dependent : dependents) moveDependent(manager, dependent, false);
  return started;
}

}  // namespace

bool isServiceRunning(const char* service) {
  if (!service) return false;
  ServiceManager& manager = serviceManager();
  int state = 0;
  return manager.exists(service) && manager.queryState(service, state) && state == kServiceRunning;
}

bool stopService(const char* service) {
  if (!service) return false;
  ServiceManager& manager = serviceManager();
  int state = 0;
  if (!manager.exists(service) || !manager.queryState(service, state)) return false;
  if (state == kServiceStopped) return true;
  if (state != kServiceRunning || manager.stop(service) != 0) return false;
  if (!readAfterASecond(manager, service, state)) return false;
  for (int poll = 0; state != kServiceStopped && poll < kStopPolls; ++poll) {
    sleepOneSecond();
    if (!manager.queryState(service, state)) return false;
  }
  if (state != kServiceStopped) return false;
  sleepOneSecond();
  return true;
}

bool startService(const char* service, bool restart) {
  if (!service) return false;
  logDetail("Try to start service %s", service);
  ServiceManager& manager = serviceManager();
  int state = 0;
  if (!manager.exists(service) || !manager.queryState(service, state)) return false;
  if (state == kServiceStopped) return startStopped(manager, service);
  if (state != kServiceRunning) return false;
  if (restart) return restartWithDependents(manager, service);
  logDetail("Service %s is running, just exit", service);
  return false;
}

bool QxUpdate::restartDaemons(const char* name, int mode) {
  if (!name) return false;
  switch (mode) {
    case 1:
      return stopService(name);
    case 2:
      return startService(name, false);
    case 3:
      return startService(name, true);
    default:
      return false;
  }
}
