// The service operations above a scripted service manager, on a fake clock.
#include <gtest/gtest.h>

#include <functional>
#include <numeric>

#include "EngineTestSupport.h"
#include "FakeClock.h"
#include "OrvelKF/QxUpdate.h"
#include "QxServiceControl.h"
#include "ScriptedServiceManager.h"

using namespace OrvelPlatform;
using Lines = std::vector<std::string>;

namespace {
unsigned secondsSlept(const OrvelTest::FakeClock& clock) {
  return std::accumulate(clock.sleeps().begin(), clock.sleeps().end(), 0u) / 1000;
}
}  // namespace

class ServiceControl : public OrvelEngineTest::EngineTest {
 protected:
  OrvelTest::FakeClock m_clock;
  OrvelTest::ScriptedServiceManager m_services;
};

TEST_F(ServiceControl, RejectedModesTouchNoService) {
  m_services.add("S", {kServiceRunning});
  for (int mode : {0, 4, -1}) EXPECT_FALSE(QxUpdate::restartDaemons("S", mode)) << mode;
  EXPECT_FALSE(QxUpdate::restartDaemons(nullptr, 1));
  EXPECT_TRUE(m_services.calls().empty());
  EXPECT_TRUE(logLines().empty());
}

TEST_F(ServiceControl, PlainOperations) {
  using Services = OrvelTest::ScriptedServiceManager;
  struct Case {
    const char* what;
    std::function<void(Services&)> script;
    std::function<bool()> call;
    bool result;
    Lines lines;
    unsigned seconds;
  };
  const auto mode = [](int m) { return [=] { return QxUpdate::restartDaemons("S", m); }; };
  const auto in = [](int s) { return [=](Services& m) { m.add("S", {s}); }; };
  const auto after = [](int s, bool stop, int result, std::vector<int> states) {
    return [=](Services& m) {
      m.add("S", {s});
      stop ? m.onStop("S", result, states) : m.onStart("S", result, states);
    };
  };
  const std::string tryStart = "<4> Try to start service S";
  const std::string starting = "<4> Service S is starting, wait for 1s ...";
  const std::string hasStopped = "<4> Service S has stopped, start it";
  Lines neverStarts = {tryStart, hasStopped};
  neverStarts.insert(neverStarts.end(), 90, starting);
  const std::vector<Case> cases = {
      {"stop a stopped one", in(kServiceStopped), mode(1), true, {}, 0},
      {"stop a pending one", in(kServiceStartPending), mode(1), false, {}, 0},
      {"stop a paused one", in(7), mode(1), false, {}, 0},
      {"stop", after(4, true, 0, {3, 3, 1}), mode(1), true, {}, 4},
      {"stop answered late",
       after(4, true, kServiceErrorRequestTimeout, {3}),
       mode(1),
       false,
       {},
       0},
      {"stop never ends", after(4, true, 0, {3}), mode(1), false, {}, 61},
      {"stop loses the state", after(4, true, 0, {3, 0}), mode(1), false, {}, 2},
      {"start a running one",
       in(kServiceRunning),
       mode(2),
       false,
       {tryStart, "<4> Service S is running, just exit"},
       0},
      {"start answered late",
       after(1, false, kServiceErrorRequestTimeout, {2, 2, 4}),
       mode(2),
       true,
       {tryStart, hasStopped, "<3> Start service S returned ERROR_SERVICE_REQUEST_TIMEOUT",
        starting, starting, "<4> Start service S succeeded"},
       3},
      {"start refused",
       after(1, false, 1058, {}),
       mode(2),
       false,
       {tryStart, hasStopped, "<1> Start service S failed, error code = 1058"},
       0},
      {"start falls back",
       after(1, false, 0, {1}),
       mode(2),
       false,
       {tryStart, hasStopped, "<4> Start service S failed, current status = 1"},
       1},
      {"start never ends", after(1, false, 0, {2}), mode(2), false, neverStarts, 91},
      {"no such service", [](Services&) {}, mode(3), false, {tryStart}, 0},
      {"running", in(kServiceRunning), [] { return isServiceRunning("S"); }, true, {}, 0},
      {"running, unreadable", in(0), [] { return isServiceRunning("S"); }, false, {}, 0},
  };
  for (const Case& c : cases) {
    OrvelTest::FakeClock clock;
    OrvelTest::ScriptedServiceManager services;
    c.script(services);
    logLines();
    EXPECT_EQ(c.result, c.call()) << c.what;
    EXPECT_EQ(c.lines, logLines()) << c.what;
    EXPECT_EQ(c.seconds, secondsSlept(clock)) << c.what;
  }
}

TEST_F(ServiceControl, ARestartTakesTheRunningDependentsDownAndUpInListOrder) {
  m_services.add("S", {kServiceRunning});
  m_services.add("A", {kServiceRunning});
  m_services.add("B", {kServiceRunning});
  m_services.onStop("S", kServiceErrorDependentServicesRunning);
  m_services.setDependents("S", 0, {"A", "Gone", "B"});
  m_services.onStop("A", 0, {kServiceStopPending, kServiceStopped});
  m_services.onStart("S", kServiceErrorRequestTimeout, {kServiceStartPending, kServiceRunning});
  EXPECT_TRUE(QxUpdate::restartDaemons("S", 3));
  EXPECT_EQ((Lines{"stop S", "dependents S", "stop A", "stop B", "stop S"}), [&] {
    Lines v;
    for (const std::string& c : m_services.calls())
      if (c.rfind("stop", 0) == 0 || c.rfind("dep", 0) == 0) v.push_back(c);
    return v;
  }());
  EXPECT_EQ((Lines{"S", "A", "B"}), m_services.callsOf("start"));
  EXPECT_EQ(
      (Lines{"<4> Try to start service S", "<4> Service S is running, stop it",
             "<4> Open dependent service A success.", "<4> Service A is stopping, wait 1s ...",
             "<4> Service A status changed to stopped",
             "<4> open service Gone failed. error code=1060",
             "<4> Open dependent service B success.", "<4> Service B status changed to stopped",
             "<4> Service S status changed to stopped", "<4> Service S is stopped, start it",
             "<4> Service S is stopped, start it", "<4> Service S is starting, wait 1s ...",
             "<4> Start service S succeeded", "<4> Open dependent service A success.",
             "<4> Service A status changed to running",
             "<4> open service Gone failed. error code=1060",
             "<4> Open dependent service B success.", "<4> Service B status changed to running"}),
      logLines());
  EXPECT_EQ(8u,
            secondsSlept(m_clock));  // A: 1 + 1 poll; B: 1; S: 1; start: 1 + 1 poll; A, B: 1 each
}

TEST_F(ServiceControl, ARestartThatCannotStopTheServiceStillBringsItsDependentsBack) {
  struct Case {
    const char* what;
    int secondStop;
    std::vector<int> states;  // of the service after its second stop
    const char* line;
    Lines starts;
    unsigned seconds;
  };
  for (const Case& c :
       {Case{"stays running",
             0,
             {kServiceRunning},
             "<4> Stop service S failed",
             {"A"},
             1 + 1 + 150 + 1},
        Case{"stays pending",
             0,
             {kServiceStopPending},
             "<4> Stop service S failed",
             {"A"},
             1 + 1 + 150 + 1},
        Case{"refused again",
             kServiceErrorDependentServicesRunning,
             {},
             "<4> Stop service S failed again after stop all dependent services. error code=1051",
             {"S", "A"},
             1 + 1}}) {
    OrvelTest::FakeClock clock;
    OrvelTest::ScriptedServiceManager services;
    services.add("S", {kServiceRunning});
    services.add("A", {kServiceRunning});
    services.onStop("S", kServiceErrorDependentServicesRunning);
    services.setDependents("S", 0, {"A"});
    services.onStop("S", c.secondStop, c.states);
    services.onStart("S", 1056);  // a running service cannot be started
    logLines();
    EXPECT_FALSE(QxUpdate::restartDaemons("S", 3)) << c.what;
    const Lines lines = logLines();
    EXPECT_NE(lines.end(), std::find(lines.begin(), lines.end(), c.line)) << c.what;
    EXPECT_EQ("<4> Service A status changed to running", lines.back()) << c.what;
    EXPECT_EQ(c.starts, services.callsOf("start")) << c.what;
    EXPECT_EQ(c.seconds, secondsSlept(clock)) << c.what;
  }
}

TEST_F(ServiceControl, DependentsThatCannotBeListed) {
  for (int failure : {5, kServiceErrorMoreData}) {
    OrvelTest::FakeClock clock;
    OrvelTest::ScriptedServiceManager services;
    services.add("S", {kServiceRunning});
    services.onStop("S", kServiceErrorDependentServicesRunning);
    services.setDependents("S", failure, {"A"});
    services.onStart("S", 1056);
    logLines();
    EXPECT_FALSE(QxUpdate::restartDaemons("S", 3));
    const std::string code = std::to_string(failure);
    EXPECT_EQ((Lines{"<4> Try to start service S", "<4> Service S is running, stop it",
                     "<4> enum dependent service of S failed. error code=" + code,
                     "<4> Service S is stopped, start it",
                     "<4> start service S failed, error code=1056"}),
              logLines());
    EXPECT_EQ((Lines{"S"}), services.callsOf("stop"));
  }
}
