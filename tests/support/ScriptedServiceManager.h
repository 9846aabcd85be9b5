// A service manager for tests, installed for its own lifetime: services with scripted states and
// answers, and every call recorded in order as "<call> <service>" (exists, query, stop, start,
// dependents).
#pragma once

#include <deque>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "OrvelPlatform/ServiceManager.h"

namespace OrvelTest {

class ScriptedServiceManager : public OrvelPlatform::ServiceManager {
 public:
  struct Answer {
    int result;
    std::vector<int> states;  // read after an accepted request (0 or a time-out)
  };
  struct Service {
    std::deque<int> states;  // read in turn, the last one stays; 0 fails the read
    // Of "stop" and "start", in turn; once used up, requests succeed and settle at once.
    std::map<std::string, std::deque<Answer>> answers;
    int dependentsResult;
    std::vector<std::string> dependents;

    Service(std::deque<int> s = {}, std::map<std::string, std::deque<Answer>> a = {}, int r = 0,
            std::vector<std::string> d = {})
        : states(std::move(s)),
          answers(std::move(a)),
          dependentsResult(r),
          dependents(std::move(d)) {}
  };

  ScriptedServiceManager();
  ~ScriptedServiceManager() override;

  bool exists(const std::string& service) override;
  bool queryState(const std::string& service, int& state) override;
  int stop(const std::string& service) override { return request("stop", service); }
  int start(const std::string& service) override { return request("start", service); }
  int activeDependents(const std::string& service, std::vector<std::string>& out) override;

  // The services one kind of call went to, in order.
  std::vector<std::string> callsOf(const std::string& kind) const;

  std::map<std::string, Service> services;  // a service exists while it has states
  std::vector<std::string> calls;

 private:
  int request(const std::string& kind, const std::string& service);

  OrvelPlatform::ServiceManager* m_previous;
};

}  // namespace OrvelTest
