// The service operations above a scripted service manager, on a fake clock.
#include <gtest/gtest.h>

#include <numeric>

#include "EngineTestSupport.h"
#include "FakeClock.h"
#include "OrvelKF/QxUpdate.h"
#include "ScriptedServiceManager.h"

using namespace OrvelPlatform;
using Lines = std::vector<std::string>;
using Services = OrvelTest::ScriptedServiceManager;

// Whole seconds the operations waited on the clock.
unsigned secondsSlept(const OrvelTest::FakeClock& clock) {
  return std::accumulate(clock.sleeps().begin(), clock.sleeps().end(), 0u) / 1000;
}

class ServiceControl : public OrvelEngineTest::EngineTest {
 protected:
  OrvelTest::FakeClock m_clock;
  Services m_services;
};

// Each case: the one service's states and answers, the mode of restartDaemons, its result, the
// seconds it waited, and its error lines (the others are detail).
TEST_F(ServiceControl, OperationsOnOneService) {
  const int dependentsRun = kServiceErrorDependentServicesRunning,
            timedOut = kServiceErrorRequestTimeout;
  const std::string refused = "<1> Start service S failed, error code = 1058";
  struct Case {
    Services::Service service;
    int mode;
    bool result;
    unsigned seconds;
    Lines errors;
  };
  int row = 0;
  for (const Case& c : std::vector<Case>{
           {{{1}}, 1, true, 0, {}},
           {{{4}, {{"stop", {{0, {3, 3, 1}}}}}}, 1, true, 4, {}},
           {{{4}, {{"stop", {{timedOut, {3}}}}}}, 1, false, 0, {}},
           {{{4}, {{"stop", {{0, {3}}}}}}, 1, false, 61, {}},
           {{{4}}, 2, false, 0, {}},
           {{{1}, {{"start", {{timedOut, {2, 2, 4}}}}}}, 2, true, 3, {}},
           {{{1}, {{"start", {{1058, {}}}}}}, 2, false, 0, {refused}},
           {{{1}, {{"start", {{0, {2}}}}}}, 2, false, 91, {}},
           {{}, 3, false, 0, {}},  // no such service
           {{{4}, {{"stop", {{dependentsRun, {}}}}, {"start", {{1056, {}}}}}, 5}, 3, false, 0, {}},
       }) {
    OrvelTest::FakeClock clock;
    Services services;
    services.services["S"] = c.service;
    logLines();
    EXPECT_EQ(c.result, QxUpdate::restartDaemons("S", c.mode)) << row;
    Lines errors;
    for (const std::string& line : logLines())
      if (line.rfind("<1> ", 0) == 0) errors.push_back(line);
    EXPECT_EQ(c.errors, errors) << row;
    EXPECT_EQ(c.seconds, secondsSlept(clock)) << row++;
  }
  m_services.calls.clear();
  for (int mode : {0, 4}) EXPECT_FALSE(QxUpdate::restartDaemons("S", mode));
  EXPECT_FALSE(QxUpdate::restartDaemons(nullptr, 1));
  EXPECT_TRUE(m_services.calls.empty());
}

// The running dependents go down before the service and come back after it, in list order, one
// that cannot be opened skipped; they come back too when the service itself will not stop.
TEST_F(ServiceControl, ARestartTakesTheRunningDependentsDownAndBringsThemBack) {
  for (const char* service : {"S", "A", "B"}) m_services.services[service].states = {4};
  m_services.services["S"].answers = {{"stop", {{kServiceErrorDependentServicesRunning, {}}}},
                                      {"start", {{kServiceErrorRequestTimeout, {2, 4}}}}};
  m_services.services["S"].dependents = {"A", "Gone", "B"};
  m_services.services["A"].answers["stop"] = {{0, {kServiceStopPending, kServiceStopped}}};
  EXPECT_TRUE(QxUpdate::restartDaemons("S", 3));
  EXPECT_EQ((Lines{"S", "A", "B", "S"}), m_services.callsOf("stop"));
  EXPECT_EQ((Lines{"S", "A", "B"}), m_services.callsOf("start"));
  // A: 1 + 1 poll; B: 1; S: 1; start: 1 + 1 poll; A, B: 1
  EXPECT_EQ(8u, secondsSlept(m_clock));

  m_services.services.clear();
  m_services.calls.clear();
  m_services.services["A"].states = {kServiceRunning};
  m_services.services["S"] = {{kServiceRunning},
                              {{"stop", {{kServiceErrorDependentServicesRunning, {}}, {0, {4}}}}},
                              0,
                              {"A"}};
  EXPECT_FALSE(QxUpdate::restartDaemons("S", 3));
  EXPECT_EQ((Lines{"A"}), m_services.callsOf("start"));
}
