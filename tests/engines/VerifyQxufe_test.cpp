// verifyByQXUFE against the URL filtering engine, sound and refusing.
#include <gtest/gtest.h>

#include "EngineTestSupport.h"
#include "OrvelKF/QxUpdate.h"

using namespace OrvelEngineTest;
using Lines = std::vector<std::string>;

class VerifyByQxufe : public EngineTest {
 protected:
  bool verify(const std::string& folder) {
    return QxUpdate::verifyByQXUFE(folder, m_version, m_msg, &m_bundle);
  }
  std::string closingLine(const char* result, const std::string& version, const std::string& msg) {
    return std::string("<3> QxUpdate::verifyByQXUFE: return=") + result + " version=" + version +
           " msg=" + msg;
  }

  std::string m_msg;
  QxUpdateVersion m_version{7, 7, "untouched"};
};

TEST_F(VerifyByQxufe, BothBuildsReportTheirVersion) {
  LoadCounter counter;
  ASSERT_TRUE(verify(engines("v1")));
  EXPECT_EQ("3.100.1004", m_version.strVersion);
  EXPECT_EQ((Lines{closingLine("true", "3.100.1004", "")}), logLines());
  ASSERT_TRUE(verify(engines("v2")));
  EXPECT_EQ("3.123.1200", m_version.strVersion);
  // Only the text is the engine's; the numbers belong to patterns.
  EXPECT_EQ(7, m_version.usPatternNumber);
  EXPECT_EQ(7u, m_version.uiInternalVersion);
  EXPECT_EQ("", m_msg);
  EXPECT_ALL_RELEASED(counter, 2u);
}

TEST_F(VerifyByQxufe, EachRefusalIsLoggedWithItsCode) {
  const std::string reason = std::string("<1> QxUpdate::_getErrString ") + kVerifyErr;
  struct Case {
    const char* variant;
    std::string errorLine;
  };
  for (const Case& c :
       {Case{"qxufe_init_refused", "initialize QXUFE engine failed: retcode=-21"},
        Case{"qxufe_version_refused", "get QXUFE engine version failed: retcode=-21"},
        Case{"qxufe_uninit_refused", "uninitialize QXUFE engine failed: retcode=-21"}}) {
    LoadCounter counter;
    m_msg.clear();
    EXPECT_FALSE(verify(broken(c.variant))) << c.variant;
    EXPECT_EQ(kVerifyErr, m_msg);
    EXPECT_EQ((Lines{"<1> QxUpdate::verifyByQXUFE: ERROR: " + c.errorLine, reason,
                     closingLine("false", "untouched", kVerifyErr)}),
              logLines());
    EXPECT_ALL_RELEASED(counter, 1u);
  }
}

TEST_F(VerifyByQxufe, MissingEngineOrExport) {
  LoadCounter counter;
  EXPECT_FALSE(verify(broken("qxufe_without_uninit")));
  EXPECT_EQ(
      (Lines{std::string("<1> QxUpdate::_getErrString ") + kVerifyErr + "Function not implemented",
             closingLine("false", "untouched", kVerifyErr)}),
      logLines());
  EXPECT_ALL_RELEASED(counter, 1u);

  // Nothing loaded, nothing more to say than the reason.
  m_msg = "A. ";
  EXPECT_FALSE(verify(broken("not_a_library")));
  EXPECT_EQ(std::string("A. ") + kVerifyErr, m_msg);
  EXPECT_EQ((Lines{std::string("<1> QxUpdate::_getErrString ") + kVerifyErr + "Exec format error"}),
            logLines());
  m_msg.clear();
  EXPECT_FALSE(verify(""));
  EXPECT_EQ("", m_msg);
  EXPECT_EQ(Lines{}, logLines());
  EXPECT_ALL_RELEASED(counter, 1u);
}
