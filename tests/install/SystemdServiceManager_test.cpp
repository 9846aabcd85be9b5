// The systemd backend against a stand-in systemctl: a shell script that records its arguments and
// answers what the test put in a file named after them.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <cstdlib>

#include "OrvelPlatform/ServiceManager.h"
#include "TempDir.h"

using namespace OrvelPlatform;
using Lines = std::vector<std::string>;

namespace {
const std::string kState = "show --property=LoadState,ActiveState -- ";
std::string unit(const char* active) {
  return std::string("LoadState=loaded\nActiveState=") + active + "\n";
}
}  // namespace

class SystemdBackend : public ::testing::Test {
 protected:
  void SetUp() override {
    OrvelTest::writeFile(m_dir / "systemctl",
                         "#!/bin/sh\nd='" + m_dir.path() +
                             "'\nprintf '%s\\n' \"$*\" >> \"$d/calls\"\nIFS=_\nf=\"$d/$*\"\n"
                             "[ -f \"$f.hang\" ] && exec sleep 30\n[ -f \"$f\" ] && cat \"$f\"\n"
                             "rc=0\n[ -f \"$f.rc\" ] && read rc < \"$f.rc\"\nexit $rc\n");
    ::chmod((m_dir / "systemctl").c_str(), 0755);
    ::setenv("ORVEL_SYSTEMCTL", (m_dir / "systemctl").c_str(), 1);
    ::setenv("ORVEL_SYSTEMCTL_TIMEOUT_MS", "300", 1);
  }
  void TearDown() override {
    ::unsetenv("ORVEL_SYSTEMCTL");
    ::unsetenv("ORVEL_SYSTEMCTL_TIMEOUT_MS");
  }
  // What the stand-in answers to these arguments: output and exit status, or nothing ever.
  void answer(std::string args, const std::string& output, int status = 0, bool hang = false) {
    for (char& c : args) c = c == ' ' ? '_' : c;
    OrvelTest::writeFile(m_dir / args, output);
    OrvelTest::writeFile(m_dir / (args + ".rc"), std::to_string(status));
    if (hang) OrvelTest::writeFile(m_dir / (args + ".hang"), "");
  }
  std::string calls() const {
    return OrvelTest::fileExists(m_dir / "calls") ? OrvelTest::readFile(m_dir / "calls") : "";
  }

  OrvelTest::TempDir m_dir;
  ServiceManager& m_manager = serviceManager();
};

TEST_F(SystemdBackend, StatesRequestsAndNamesInTheTermsOfTheServiceControl) {
  struct State {
    std::string output;
    int status;
    bool exists;
    int state;  // 0: cannot be read
  };
  for (const State& c : {State{unit("active"), 0, true, kServiceRunning},
                         State{"ActiveState=reloading\nLoadState=loaded\n", 0, true, 4},
                         State{unit("dancing"), 0, true, 0},
                         State{"LoadState=not-found\nActiveState=inactive\n", 0, false, 0},
                         State{"hello world\n", 0, false, 0}, State{unit("active"), 1, false, 0}}) {
    answer(kState + "QxOrvelScan.service", c.output, c.status);
    int state = 0;
    EXPECT_EQ(c.exists, m_manager.exists("QxOrvelScan")) << c.output;
    EXPECT_EQ(c.state != 0, m_manager.queryState("QxOrvelScan", state) && state == c.state);
  }
  struct Request {
    int status;
    bool hang;
    int code;
  };
  for (const Request& c : {Request{0, false, 0}, Request{4, false, kServiceErrorAccessDenied},
                           Request{5, false, kServiceErrorDoesNotExist},
                           Request{1, false, kServiceErrorCannotAcceptControl},
                           Request{0, true, kServiceErrorRequestTimeout}}) {
    answer("stop --no-ask-password -- QxOrvelPolicy.service", "", c.status, c.hang);
    answer("start --no-ask-password -- QxOrvelPolicy.service", "", c.status, c.hang);
    const auto began = std::chrono::steady_clock::now();
    EXPECT_EQ(c.code, m_manager.stop("QxOrvelPolicy")) << c.status;
    EXPECT_EQ(c.code, m_manager.start("QxOrvelPolicy")) << c.status;
    EXPECT_LT(std::chrono::steady_clock::now() - began, std::chrono::seconds(3));
  }
  ::setenv("ORVEL_SYSTEMCTL", (m_dir / "no-such-program").c_str(), 1);
  EXPECT_FALSE(m_manager.exists("QxOrvelPolicy"));
  EXPECT_EQ(kServiceErrorManagerUnavailable, m_manager.start("QxOrvelPolicy"));
  // Names that are no unit names, or that would read as options, never reach systemctl.
  const std::string before = calls();
  for (const char* name : {"-h", "a b", "", "../x"}) {
    EXPECT_FALSE(m_manager.exists(name)) << name;
    EXPECT_EQ(kServiceErrorDoesNotExist, m_manager.stop(name)) << name;
    EXPECT_EQ(kServiceErrorDoesNotExist, m_manager.start(name)) << name;
  }
  EXPECT_EQ(before, calls());
}

TEST_F(SystemdBackend, ActiveDependentsInStopOrderRefuseTheStop) {
  const std::string dependentsOf = "show --property=RequiredBy,BoundBy,ConsistsOf -- ";
  answer(dependentsOf + "S.service",
         "RequiredBy=A.service multi-user.target\nConsistsOf=C.service\n");
  answer(dependentsOf + "A.service", "BoundBy=B.service S.service\n");
  answer(kState + "S.service", unit("active"));
  answer(kState + "A.service", unit("active"));
  answer(kState + "B.service", unit("activating"));
  answer(kState + "C.service", unit("inactive"));
  Lines dependents;
  EXPECT_EQ(0, m_manager.activeDependents("S", dependents));
  EXPECT_EQ((Lines{"B", "A"}), dependents);
  EXPECT_EQ(kServiceErrorDependentServicesRunning, m_manager.stop("S"));
  EXPECT_EQ(std::string::npos, calls().find("stop"));
  answer(dependentsOf + "S.service", "RequiredBy=a.service;reboot\n");
  EXPECT_EQ(kServiceErrorManagerUnavailable, m_manager.stop("S"));
}
