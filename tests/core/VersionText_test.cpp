#include "OrvelKF/VersionText.h"

#include <gtest/gtest.h>

#include <string>

#include "FakeClock.h"
#include "OrvelKF/KFBlobManager.h"
#include "VersionTokens.h"

namespace {

std::string reformatted(std::string version, bool* ok = nullptr) {
  bool result = kfReformatEngineVersion(version);
  if (ok) *ok = result;
  return version;
}

std::string patternVersion(unsigned number) {
  std::string out = "stale";
  formatPatternVersion(number, out);
  return out;
}

}  // namespace

TEST(VersionText, ReformatEngineVersionScalesTheMinorAndPadsTheBuild) {
  bool ok = false;
  EXPECT_EQ("8.900.1002", reformatted("8.9-1002", &ok));
  EXPECT_TRUE(ok);
  EXPECT_EQ("1.200.0003", reformatted("1.2.3"));
  EXPECT_EQ("8.150.1001", reformatted("8.150.1001"));
  EXPECT_EQ("9.500.1001", reformatted("9.50.1001"));
  EXPECT_EQ("0.0", reformatted("0.0", &ok));
  EXPECT_TRUE(ok);
  EXPECT_EQ("8.1", reformatted("8.1", &ok));
  EXPECT_FALSE(ok);
  EXPECT_EQ("", reformatted("", &ok));
  EXPECT_FALSE(ok);
}

TEST(VersionText, ReformatSurvivesLettersEmptyPartsAndHugeNumbers) {
  EXPECT_EQ("0.000.0003", reformatted("a.b.3"));
  EXPECT_EQ("1.200.0003", reformatted("1..2..3"));
  EXPECT_EQ("2147483647.2147483647.2147483647",
            reformatted("99999999999999999999.99999999999999999999.99999999999999999999"));
  // Only the first 63 characters count: a fourth part beyond them is not seen,
  // and a third part beyond them leaves too few.
  EXPECT_EQ("8.1", reformatted("8.1"));
  bool ok = true;
  EXPECT_EQ(std::string(62, '1') + ".2.3", reformatted(std::string(62, '1') + ".2.3", &ok));
  EXPECT_FALSE(ok);
}

TEST(VersionText, GetVerByNumberJoinsTheFirstThreeParts) {
  // Fewer than three parts give 10000 and 100; a number beyond 32 bits gives 10000; the minor
  // keeps its low 16 bits.
  const struct {
    const char* text;
    unsigned long number;
    unsigned short minor;
  } cases[] = {{"5.763.00", 576300, 763},
               {"1.2", 10000, 100},
               {nullptr, 10000, 100},
               {"5.763.00000000000", 10000, 763},
               {"4.294.967295", 4294967295ul, 294},
               {"1.65537.0", 1655370, 1}};
  unsigned long number = 0;
  unsigned short minor = 0;
  for (const auto& c : cases) {
    getVerByNumber(number, minor, c.text);
    EXPECT_EQ(c.number, number) << (c.text ? c.text : "null");
    EXPECT_EQ(c.minor, minor) << (c.text ? c.text : "null");
  }
}

TEST(VersionText, FormatPatternVersionPlacesTheDots) {
  EXPECT_EQ("5.763.00", patternVersion(576300));
  EXPECT_EQ("0.123.45", patternVersion(12345));
  EXPECT_EQ("0.42", patternVersion(42));
  EXPECT_EQ("7", patternVersion(7));
  EXPECT_EQ("0", patternVersion(0));
  EXPECT_EQ("12.34", patternVersion(1234));
  EXPECT_EQ("42949.672.95", patternVersion(4294967295u));
}

TEST(VersionText, GetcurtimeFormatsTheClocksLocalTime) {
  OrvelTest::FakeClock clock(1700000000);  // 2023-11-14 22:13:20 UTC
  std::string text = "%Y-%m-%d %H:%M:%S";
  EXPECT_EQ(0, getcurtime(text));
  EXPECT_EQ("2023-11-14 22:13:20", text);

  text.clear();
  EXPECT_EQ(0, getcurtime(text));
  EXPECT_EQ("11/14/2023 22:13:20", text);

  // A result that does not fit 256 characters falls back as well.
  text = std::string(300, 'x');
  EXPECT_EQ(0, getcurtime(text));
  EXPECT_EQ("11/14/2023 22:13:20", text);
}

TEST(VersionText, CmpVersionOfPatternsAndEngines) {
  EXPECT_EQ(1, KFBlobManager::CmpVersion(VIRUS_PATTERN, "5.763.00", "5.765.00"));
  EXPECT_EQ(-1, KFBlobManager::CmpVersion(VIRUS_PATTERN, "5.765.00", "5.763.00"));
  EXPECT_EQ(0, KFBlobManager::CmpVersion(VIRUS_PATTERN, "5.763.00", "5.763.00"));
  EXPECT_EQ(1, KFBlobManager::CmpVersion(VIRUS_PATTERN, "", "0.42"));
  EXPECT_EQ(0, KFBlobManager::CmpVersion(VIRUS_PATTERN, "", "abc"));
  // Equal leading numbers: what follows the first "." decides.
  EXPECT_EQ(1, KFBlobManager::CmpVersion(SCAN_ENGINE, "9.500.1001", "9.500.1002"));
  EXPECT_EQ(1, KFBlobManager::CmpVersion(SCAN_ENGINE, "9.500.12345", "9.500.12346"));
  EXPECT_EQ(-1, KFBlobManager::CmpVersion(SCAN_ENGINE, "10.000.0001", "9.900.9999"));
  EXPECT_EQ(-1, KFBlobManager::CmpVersion(QXASE_PATCH, "1", "2"));
  EXPECT_EQ(-1, KFBlobManager::CmpVersion(VIRUS_PATTERN, nullptr, "2"));
  EXPECT_EQ(-1, KFBlobManager::CmpVersion(VIRUS_PATTERN, "2", nullptr));
}

TEST(VersionText, CmpVersionOfSpamPatterns) {
  EXPECT_EQ(1, KFBlobManager::CmpVersion(QXASE_PATTERN, "17461.002", "17461.010"));
  EXPECT_EQ(-1, KFBlobManager::CmpVersion(QXASE_PATTERN, "17462", "17461.999"));
  EXPECT_EQ(0, KFBlobManager::CmpVersion(QXASE_PATTERN, "17461", "17461.000"));
  EXPECT_EQ(1, KFBlobManager::CmpVersion(QXASE_PATTERN, "17461", "17461.001"));
  EXPECT_EQ(1, KFBlobManager::CmpVersion(QXASE_PATTERN, "", "1"));
}
