#include "OrvelKF/KFNotifyUtil.h"

#include <gtest/gtest.h>

using ORVEL::KFNotifyUtil;

TEST(KFNotifyUtil, ReplaceTokenReplacesEveryOccurrenceOnce) {
  std::string text = "a %X% b %X%";
  EXPECT_TRUE(KFNotifyUtil::replaceToken(text, "%X%", "1"));
  EXPECT_EQ("a 1 b 1", text);

  EXPECT_FALSE(KFNotifyUtil::replaceToken(text, "%Y%", "2"));
  EXPECT_EQ("a 1 b 1", text);

  // A value that holds the token is not scanned again.
  text = "%X%-%X%";
  EXPECT_TRUE(KFNotifyUtil::replaceToken(text, "%X%", "[%X%]"));
  EXPECT_EQ("[%X%]-[%X%]", text);

  EXPECT_FALSE(KFNotifyUtil::replaceToken(text, "%X%", nullptr));
  EXPECT_FALSE(KFNotifyUtil::replaceToken(text, "", "x"));
  EXPECT_EQ("[%X%]-[%X%]", text);
}

TEST(KFNotifyUtil, AppendTokenGrowsAndClosesAList) {
  std::string text = "Components: %UPDATECOMPONENT%";
  EXPECT_FALSE(KFNotifyUtil::appendToken(text, "%UPDATECOMPONENT%", "Virus Pattern"));
  EXPECT_EQ("Components: Virus Pattern, %UPDATECOMPONENT%", text);
  EXPECT_FALSE(KFNotifyUtil::appendToken(text, "%UPDATECOMPONENT%", "Spam Pattern"));
  EXPECT_EQ("Components: Virus Pattern, Spam Pattern, %UPDATECOMPONENT%", text);
  EXPECT_FALSE(KFNotifyUtil::appendToken(text, "%UPDATECOMPONENT%", nullptr));
  EXPECT_EQ("Components: Virus Pattern, Spam Pattern", text);

  text = "%UPDATECOMPONENT%";
  KFNotifyUtil::appendToken(text, "%UPDATECOMPONENT%", nullptr);
  EXPECT_EQ("", text);

  text = "x %UPDATECOMPONENT% y";  // no ", " before it: the token alone goes
  KFNotifyUtil::appendToken(text, "%UPDATECOMPONENT%", nullptr);
  EXPECT_EQ("x  y", text);

  text = "nothing here";
  KFNotifyUtil::appendToken(text, "%UPDATECOMPONENT%", "Virus Pattern");
  EXPECT_EQ("nothing here", text);
}

TEST(KFNotifyUtil, MessagesAreFilledAndAppendedAfterALineEnd) {
  std::string out;
  KFNotifyUtil::addKFMonitorMsg(out, "%UPDATECOMPONENT% %DOWNLOADVERSION% %UPDATEERROR% %UPDATERESULT%",
                                "Virus Pattern", "5.763.00", "none");
  EXPECT_EQ("\r\nVirus Pattern 5.763.00 none %UPDATERESULT%", out);

  KFNotifyUtil::addSchedKFMsg(out, "[%DATE&TIME%] %UPDATECOMPONENT% %DOWNLOADVERSION%: %UPDATERESULT% (%UPDATEERROR%)",
                              "Success", "Spam Pattern", "17461.002", "", "03/05/2024 07:08:09");
  EXPECT_EQ("\r\nVirus Pattern 5.763.00 none %UPDATERESULT%"
            "\r\n[03/05/2024 07:08:09] Spam Pattern 17461.002: Success ()",
            out);
}
