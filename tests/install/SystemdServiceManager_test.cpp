// The systemd backend against a stand-in systemctl: a shell script that records its arguments and
// answers what the test put in a file named after them.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <cstdlib>
#include <sstream>

#include "OrvelKF/QxUpdate.h"
#include "OrvelPlatform/ServiceManager.h"
#include "QxServiceControl.h"
#include "TempDir.h"

using namespace OrvelPlatform;
using Lines = std::vector<std::string>;

namespace {
const std::string kState = "show --property=LoadState,ActiveState -- ";
const std::string kDependents = "show --property=RequiredBy,BoundBy,ConsistsOf -- ";
std::string unit(const char* active) {
  return std::string("LoadState=loaded\nActiveState=") + active + "\n";
}
}  // namespace

class SystemdBackend : public ::testing::Test {
 protected:
  void SetUp() override {
    const std::string d = m_dir.path();
    OrvelTest::writeFile(d + "/systemctl",
                         "#!/bin/sh\nd='" + d + "'\nprintf '%s\\n' \"$*\" >> \"$d/calls\"\n" +
                             "IFS=_\nf=\"$d/$*\"\n[ -f \"$f.hang\" ] && exec sleep 30\n" +
                             "[ -f \"$f\" ] && cat \"$f\"\nrc=0\n[ -f \"$f.rc\" ] && read rc < "
                             "\"$f.rc\"\nexit $rc\n");
    ::chmod((d + "/systemctl").c_str(), 0755);
    ::setenv("ORVEL_SYSTEMCTL", (d + "/systemctl").c_str(), 1);
    ::setenv("ORVEL_SYSTEMCTL_TIMEOUT_MS", "300", 1);
  }
  void TearDown() override {
    ::unsetenv("ORVEL_SYSTEMCTL");
    ::unsetenv("ORVEL_SYSTEMCTL_TIMEOUT_MS");
  }
  // What the stand-in answers to these arguments: output and exit status, or no answer at all.
  void answer(std::string args, const std::string& output, int status = 0, bool hang = false) {
    for (char& c : args) c = c == ' ' ? '_' : c;
    OrvelTest::writeFile(m_dir / args, output);
    OrvelTest::writeFile(m_dir / (args + ".rc"), std::to_string(status));
    if (hang) OrvelTest::writeFile(m_dir / (args + ".hang"), "");
  }
  Lines calls() const {
    Lines lines;
    if (!OrvelTest::fileExists(m_dir / "calls")) return lines;
    std::istringstream in(OrvelTest::readFile(m_dir / "calls"));
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
  }

  OrvelTest::TempDir m_dir;
  ServiceManager& m_manager = serviceManager();
};

TEST_F(SystemdBackend, StatesAsTheServiceControlKnowsThem) {
  struct Case {
    std::string output;
    int status;
    bool exists;
    int state;  // 0: cannot be read
  };
  for (const Case& c :
       {Case{unit("active"), 0, true, kServiceRunning},
        Case{"ActiveState=reloading\nLoadState=loaded\n", 0, true, kServiceRunning},
        Case{unit("activating"), 0, true, kServiceStartPending},
        Case{unit("deactivating"), 0, true, kServiceStopPending},
        Case{unit("inactive"), 0, true, kServiceStopped},
        Case{unit("failed"), 0, true, kServiceStopped}, Case{unit("dancing"), 0, true, 0},
        Case{"LoadState=not-found\nActiveState=inactive\n", 0, false, 0},
        Case{"LoadState=loaded\n", 0, false, 0}, Case{"hello world\n", 0, false, 0},
        Case{unit("active"), 1, false, 0}}) {
    answer(kState + "QxOrvelScan.service", c.output, c.status);
    int state = 0;
    EXPECT_EQ(c.exists, m_manager.exists("QxOrvelScan")) << c.output;
    EXPECT_EQ(c.state != 0, m_manager.queryState("QxOrvelScan", state)) << c.output;
    if (c.state != 0) {
      EXPECT_EQ(c.state, state) << c.output;
    }
    EXPECT_EQ(c.state == kServiceRunning, isServiceRunning("QxOrvelScan")) << c.output;
  }
  ASSERT_FALSE(calls().empty());
  for (const std::string& call : calls()) EXPECT_EQ(kState + "QxOrvelScan.service", call);

  answer(kState + "QxOrvelScan.service", unit("inactive"));
  EXPECT_TRUE(QxUpdate::restartDaemons("QxOrvelScan", 1));  // stopped already
}

TEST_F(SystemdBackend, RequestsAnswerInTheCodesOfTheServiceControl) {
  struct Case {
    int status;
    bool hang;
    int code;
  };
  for (const Case& c :
       {Case{0, false, 0}, Case{4, false, kServiceErrorAccessDenied},
        Case{5, false, kServiceErrorDoesNotExist}, Case{1, false, kServiceErrorCannotAcceptControl},
        Case{0, true, kServiceErrorRequestTimeout}}) {
    answer("stop --no-ask-password -- QxOrvelPolicy.service", "", c.status, c.hang);
    answer("start --no-ask-password -- QxOrvelPolicy.service", "", c.status, c.hang);
    const auto began = std::chrono::steady_clock::now();
    EXPECT_EQ(c.code, m_manager.stop("QxOrvelPolicy")) << c.status;
    EXPECT_EQ(c.code, m_manager.start("QxOrvelPolicy")) << c.status;
    EXPECT_LT(std::chrono::steady_clock::now() - began, std::chrono::seconds(3));
  }
  const Lines made = calls();
  EXPECT_EQ((Lines{kDependents + "QxOrvelPolicy.service",
                   "stop --no-ask-password -- QxOrvelPolicy.service",
                   "start --no-ask-password -- QxOrvelPolicy.service"}),
            Lines(made.begin(), made.begin() + std::min<std::size_t>(3, made.size())));

  // A hanging state read ends the start at once; a missing program answers nothing.
  answer(kState + "QxOrvelPolicy.service", "", 0, true);
  EXPECT_FALSE(QxUpdate::restartDaemons("QxOrvelPolicy", 2));
  ::setenv("ORVEL_SYSTEMCTL", (m_dir / "no-such-program").c_str(), 1);
  EXPECT_FALSE(m_manager.exists("QxOrvelPolicy"));
  EXPECT_EQ(kServiceErrorManagerUnavailable, m_manager.start("QxOrvelPolicy"));
  EXPECT_EQ(kServiceErrorManagerUnavailable, m_manager.stop("QxOrvelPolicy"));
}

TEST_F(SystemdBackend, ActiveDependentsInStopOrderRefuseTheStop) {
  answer(kDependents + "S.service",
         "RequiredBy=A.service multi-user.target\nConsistsOf=C.service\n");
  answer(kDependents + "A.service", "BoundBy=B.service S.service\n");
  answer(kState + "S.service", unit("active"));
  answer(kState + "A.service", unit("active"));
  answer(kState + "B.service", unit("activating"));
  answer(kState + "C.service", unit("inactive"));
  Lines dependents;
  EXPECT_EQ(0, m_manager.activeDependents("S", dependents));
  EXPECT_EQ((Lines{"B", "A"}), dependents);
  EXPECT_EQ(kServiceErrorDependentServicesRunning, m_manager.stop("S"));
  EXPECT_FALSE(QxUpdate::restartDaemons("S", 1));
  for (const std::string& call : calls()) EXPECT_NE(0u, call.rfind("stop", 0)) << call;

  for (const char* garbage : {"RequiredBy=a.service;reboot\n", "nonsense\n"}) {
    answer(kDependents + "S.service", garbage);
    EXPECT_EQ(kServiceErrorManagerUnavailable, m_manager.activeDependents("S", dependents));
    EXPECT_EQ(kServiceErrorManagerUnavailable, m_manager.stop("S"));
  }
}

TEST_F(SystemdBackend, NamesThatAreNoUnitsNeverReachSystemctl) {
  for (const char* name : {"-h", "a b", "", "x;reboot", "../x"}) {
    int state = 0;
    Lines dependents;
    EXPECT_FALSE(m_manager.exists(name)) << name;
    EXPECT_FALSE(m_manager.queryState(name, state)) << name;
    EXPECT_EQ(kServiceErrorDoesNotExist, m_manager.stop(name)) << name;
    EXPECT_EQ(kServiceErrorDoesNotExist, m_manager.start(name)) << name;
    EXPECT_EQ(kServiceErrorDoesNotExist, m_manager.activeDependents(name, dependents)) << name;
  }
  EXPECT_TRUE(calls().empty());
}
