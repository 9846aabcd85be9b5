#include "OrvelKF/VersionText.h"

#include <gtest/gtest.h>

#include <string>

#include "FakeClock.h"
#include "OrvelKF/KFBlobManager.h"
#include "VersionTokens.h"

// The minor is scaled and the build padded; letters and huge numbers survive. Only
// the first 63 characters count: a third part beyond them leaves too few.
TEST(VersionText, ReformatEngineVersionScalesTheMinorAndPadsTheBuild) {
  const std::string beyond = std::string(62, '1') + ".2.3";
  const std::string huge = "99999999999999999999";
  const struct {
    std::string in, out;
    bool ok;
  } cases[] = {{"8.9-1002", "8.900.1002", true},
               {"1.2.3", "1.200.0003", true},
               {"8.1", "8.1", false},
               {"a.b.3", "0.000.0003", true},
               {huge + "." + huge + "." + huge, "2147483647.2147483647.2147483647", true},
               {beyond, beyond, false}};
  for (const auto& c : cases) {
    std::string version = c.in;
    EXPECT_EQ(c.ok, kfReformatEngineVersion(version)) << c.in;
    EXPECT_EQ(c.out, version);
  }
}

TEST(VersionText, GetVerByNumberJoinsTheFirstThreeParts) {
  // Fewer than three parts give 10000 and 100; a number beyond 32 bits gives 10000.
  const struct {
    const char* text;
    unsigned long number;
    unsigned short minor;
  } cases[] = {{"5.763.00", 576300, 763},
               {"1.2", 10000, 100},
               {"5.763.00000000000", 10000, 763},
               {"4.294.967295", 4294967295ul, 294}};
  unsigned long number = 0;
  unsigned short minor = 0;
  for (const auto& c : cases) {
    getVerByNumber(number, minor, c.text);
    EXPECT_EQ(c.number, number) << (c.text ? c.text : "null");
    EXPECT_EQ(c.minor, minor) << (c.text ? c.text : "null");
  }
}

TEST(VersionText, FormatPatternVersionPlacesTheDots) {
  const std::pair<unsigned, const char*> cases[] = {
      {576300, "5.763.00"}, {12345, "0.123.45"},          {42, "0.42"}, {7, "7"}, {0, "0"},
      {1234, "12.34"},      {4294967295u, "42949.672.95"}};
  for (const auto& [number, text] : cases) {
    std::string out = "stale";
    formatPatternVersion(number, out);
    EXPECT_EQ(text, out) << number;
  }
}

// An empty format, or a result that does not fit 256 characters, falls back to the default one.
TEST(VersionText, GetcurtimeFormatsTheClocksLocalTime) {
  OrvelTest::FakeClock clock(1700000000);  // 2023-11-14 22:13:20 UTC
  for (const std::string& format :
       {std::string("%Y-%m-%d %H:%M:%S"), std::string(), std::string(300, 'x')}) {
    std::string text = format;
    EXPECT_EQ(0, getcurtime(text));
    EXPECT_EQ(format.size() == 17 ? "2023-11-14 22:13:20" : "11/14/2023 22:13:20", text) << format;
  }
}

// Equal leading numbers: what follows the first "." decides; spam patterns compare base and
// incremental.
TEST(VersionText, CmpVersionOfPatternsEnginesAndSpamPatterns) {
  const struct {
    QxUpdateType type;
    const char *a, *b;
    int expected;
  } cases[] = {{VIRUS_PATTERN, "5.763.00", "5.765.00", 1},
               {VIRUS_PATTERN, "", "0.42", 1},
               {SCAN_ENGINE, "10.000.0001", "9.900.9999", -1},
               {QXASE_PATCH, "1", "2", -1},
               {VIRUS_PATTERN, nullptr, "2", -1},
               {QXASE_PATTERN, "17462", "17461.999", -1},
               {QXASE_PATTERN, "17461", "17461.000", 0}};
  for (const auto& c : cases)
    EXPECT_EQ(c.expected, KFBlobManager::CmpVersion(c.type, c.a, c.b))
        << c.type << " " << (c.a ? c.a : "null") << " " << (c.b ? c.b : "null");
}
