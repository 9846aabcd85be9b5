#include "OrvelCommon/BoundedCopy.h"

#include <gtest/gtest.h>

#include <cstring>

// Copies cut and always terminate; a zero capacity or no buffer copies nothing, and says so: a
// caller that trusts the count must never read a byte that was not written.
TEST(BoundedCopyTest, CutsTerminatesAndCountsWhatItCopied) {
  char buffer[6];
  const struct {
    std::size_t capacity;
    const char* src;
    std::size_t copied;
    const char* text;
  } cases[] = {
      {6, "ksv$pat.301", 5, "ksv$p"}, {6, "abc", 3, "abc"}, {6, nullptr, 0, ""}, {1, "abc", 0, ""}};
  for (const auto& c : cases) {
    std::memset(buffer, 'G', sizeof buffer);
    EXPECT_EQ(c.copied, ORVEL::boundedCopy(buffer, c.capacity, c.src)) << c.capacity;
    EXPECT_STREQ(c.text, buffer);
  }
  std::memset(buffer, 'G', sizeof buffer);
  EXPECT_EQ(0u, ORVEL::boundedCopy(buffer, 0, "abc"));
  EXPECT_EQ(0u, ORVEL::boundedAppend(buffer, 0, "abc"));
  EXPECT_EQ('G', buffer[0]) << "a zero capacity writes nothing";
  EXPECT_EQ(0u, ORVEL::boundedCopy(nullptr, 6, "abc"));
  std::strcpy(buffer, "ab");
  EXPECT_EQ(3u, ORVEL::boundedAppend(buffer, sizeof buffer, "cdefg"));
  EXPECT_STREQ("abcde", buffer);
}
