#include "OrvelKF/KFNotifyUtil.h"

#include <gtest/gtest.h>

using ORVEL::KFNotifyUtil;

// Each token is replaced once wherever it stands (a value holding the token is not scanned again);
// an appended list grows before its token and a null value closes it with its ", ".
TEST(KFNotifyUtil, ReplaceAndAppendTokensAndFillMessages) {
  const char* const kList = "%UPDATECOMPONENT%";
  const struct {
    bool append;
    const char *before, *token, *value, *after;
    bool replaced;
  } cases[] = {{false, "a %X% b %X%", "%X%", "1", "a 1 b 1", true},
               {false, "%X%-%X%", "%X%", "[%X%]", "[%X%]-[%X%]", true},
               {true, "C: %UPDATECOMPONENT%", kList, "Virus", "C: Virus, %UPDATECOMPONENT%", false},
               {true, ", %UPDATECOMPONENT%", kList, nullptr, "", false},
               {true, "%X%", "", "x", "%X%", false}};
  for (const auto& c : cases) {
    std::string text = c.before;
    EXPECT_EQ(c.replaced, c.append ? KFNotifyUtil::appendToken(text, c.token, c.value)
                                   : KFNotifyUtil::replaceToken(text, c.token, c.value))
        << c.before;
    EXPECT_EQ(c.after, text) << c.before;
  }

  // Messages are filled and appended after a line end.
  std::string out;
  KFNotifyUtil::addKFMonitorMsg(out,
                                "%UPDATECOMPONENT% %DOWNLOADVERSION% %UPDATEERROR% %UPDATERESULT%",
                                "Virus Pattern", "5.763.00", "none");
  KFNotifyUtil::addSchedKFMsg(
      out, "[%DATE&TIME%] %UPDATECOMPONENT% %DOWNLOADVERSION%: %UPDATERESULT% (%UPDATEERROR%)",
      "Success", "Spam Pattern", "17461.002", "", "03/05/2024 07:08:09");
  EXPECT_EQ(
      "\r\nVirus Pattern 5.763.00 none %UPDATERESULT%"
      "\r\n[03/05/2024 07:08:09] Spam Pattern 17461.002: Success ()",
      out);
}
