#include "ScriptedServiceManager.h"

using namespace OrvelPlatform;

namespace OrvelTest {

ScriptedServiceManager::ScriptedServiceManager() : m_previous(setServiceManager(this)) {}

ScriptedServiceManager::~ScriptedServiceManager() { setServiceManager(m_previous); }

std::vector<std::string> ScriptedServiceManager::callsOf(const std::string& kind) const {
  std::vector<std::string> went;
  for (const std::string& call : calls)
    if (call.rfind(kind + " ", 0) == 0) went.push_back(call.substr(kind.size() + 1));
  return went;
}

bool ScriptedServiceManager::exists(const std::string& service) {
  calls.push_back("exists " + service);
  return !services[service].states.empty();
}

bool ScriptedServiceManager::queryState(const std::string& service, int& state) {
  calls.push_back("query " + service);
  std::deque<int>& states = services[service].states;
  if (states.empty() || states.front() == 0) return false;
  state = states.front();
  if (states.size() > 1) states.pop_front();
  return true;
}

int ScriptedServiceManager::request(const std::string& kind, const std::string& service) {
  calls.push_back(kind + " " + service);
  Service& scripted = services[service];
  if (scripted.states.empty()) return kServiceErrorDoesNotExist;
  std::deque<Answer>& answers = scripted.answers[kind];
  Answer answer{0, {kind == "stop" ? kServiceStopped : kServiceRunning}};
  if (!answers.empty()) {
    answer = answers.front();
    answers.pop_front();
  }
  if ((answer.result == 0 || answer.result == kServiceErrorRequestTimeout) &&
      !answer.states.empty())
    scripted.states.assign(answer.states.begin(), answer.states.end());
  return answer.result;
}

int ScriptedServiceManager::activeDependents(const std::string& service,
                                             std::vector<std::string>& out) {
  calls.push_back("dependents " + service);
  out = services[service].dependents;
  return services[service].dependentsResult;
}

}  // namespace OrvelTest
