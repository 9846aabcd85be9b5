#include "ScriptedServiceManager.h"

using namespace OrvelPlatform;

namespace OrvelTest {

ScriptedServiceManager::ScriptedServiceManager() : m_previous(setServiceManager(this)) {}

ScriptedServiceManager::~ScriptedServiceManager() { setServiceManager(m_previous); }

void ScriptedServiceManager::add(const std::string& service, std::vector<int> states) {
  m_services[service].states.assign(states.begin(), states.end());
}

void ScriptedServiceManager::onStop(const std::string& service, int result,
                                    std::vector<int> states) {
  m_services[service].stops.push_back({result, std::move(states)});
}

void ScriptedServiceManager::onStart(const std::string& service, int result,
                                     std::vector<int> states) {
  m_services[service].starts.push_back({result, std::move(states)});
}

void ScriptedServiceManager::setDependents(const std::string& service, int result,
                                           std::vector<std::string> dependents) {
  m_services[service].dependentsResult = result;
  m_services[service].dependents = std::move(dependents);
}

std::vector<std::string> ScriptedServiceManager::callsOf(const std::string& kind) const {
  std::vector<std::string> services;
  for (const std::string& call : m_calls)
    if (call.compare(0, kind.size() + 1, kind + " ") == 0)
      services.push_back(call.substr(kind.size() + 1));
  return services;
}

bool ScriptedServiceManager::exists(const std::string& service) {
  m_calls.push_back("exists " + service);
  return m_services.count(service) && !m_services[service].states.empty();
}

bool ScriptedServiceManager::queryState(const std::string& service, int& state) {
  m_calls.push_back("query " + service);
  if (!m_services.count(service) || m_services[service].states.empty()) return false;
  std::deque<int>& states = m_services[service].states;
  const int next = states.front();
  if (states.size() > 1) states.pop_front();
  if (next == kUnreadable) return false;
  state = next;
  return true;
}

int ScriptedServiceManager::request(const std::string& kind, const std::string& service,
                                    int settled) {
  m_calls.push_back(kind + " " + service);
  if (!m_services.count(service) || m_services[service].states.empty())
    return kServiceErrorDoesNotExist;
  Service& scripted = m_services[service];
  std::deque<Answer>& answers = kind == "stop" ? scripted.stops : scripted.starts;
  Answer answer{0, {settled}};
  if (!answers.empty()) {
    answer = answers.front();
    answers.pop_front();
  }
  if ((answer.result == 0 || answer.result == kServiceErrorRequestTimeout) &&
      !answer.states.empty())
    scripted.states.assign(answer.states.begin(), answer.states.end());
  return answer.result;
}

int ScriptedServiceManager::stop(const std::string& service) {
  return request("stop", service, kServiceStopped);
}

int ScriptedServiceManager::start(const std::string& service) {
  return request("start", service, kServiceRunning);
}

int ScriptedServiceManager::activeDependents(const std::string& service,
                                             std::vector<std::string>& out) {
  m_calls.push_back("dependents " + service);
  out = m_services[service].dependents;
  return m_services[service].dependentsResult;
}

}  // namespace OrvelTest
