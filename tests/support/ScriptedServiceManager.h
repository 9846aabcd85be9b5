// A service manager for tests, installed for its own lifetime: services with scripted states and
// answers, and every call recorded in order ("exists QxOrvelScan", "query QxOrvelScan", "stop
// QxOrvelScan", "start QxOrvelScan", "dependents QxOrvelScan").
//
// Each service has a queue of states that its reads take in turn; the last one stays. A stop or
// start answers with the next scripted answer (by default 0, then the service reads stopped or
// running) and, when accepted, replaces the queue with the states the answer brings.
#pragma once

#include <deque>
#include <map>
#include <string>
#include <vector>

#include "OrvelPlatform/ServiceManager.h"

namespace OrvelTest {

class ScriptedServiceManager : public OrvelPlatform::ServiceManager {
 public:
  // A state that makes the read fail.
  static constexpr int kUnreadable = 0;

  ScriptedServiceManager();
  ~ScriptedServiceManager() override;

  // A service that exists and reads these states in turn.
  void add(const std::string& service, std::vector<int> states);
  // The next stop (start) of the service answers result; the states follow it when it is 0 or
  // kServiceErrorRequestTimeout.
  void onStop(const std::string& service, int result, std::vector<int> states = {});
  void onStart(const std::string& service, int result, std::vector<int> states = {});
  void setDependents(const std::string& service, int result, std::vector<std::string> dependents);

  const std::vector<std::string>& calls() const { return m_calls; }
  // The recorded calls of one kind ("stop", "start", ...), by service, in order.
  std::vector<std::string> callsOf(const std::string& kind) const;

  bool exists(const std::string& service) override;
  bool queryState(const std::string& service, int& state) override;
  int stop(const std::string& service) override;
  int start(const std::string& service) override;
  int activeDependents(const std::string& service, std::vector<std::string>& out) override;

 private:
  struct Answer {
    int result;
    std::vector<int> states;
  };
  struct Service {
    std::deque<int> states;
    std::deque<Answer> stops;
    std::deque<Answer> starts;
    int dependentsResult = 0;
    std::vector<std::string> dependents;
  };

  int request(const std::string& kind, const std::string& service, int settled);

  std::map<std::string, Service> m_services;
  std::vector<std::string> m_calls;
  OrvelPlatform::ServiceManager* m_previous;
};

}  // namespace OrvelTest
