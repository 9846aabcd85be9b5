// Deltas between versions: every kind of change merges back to exactly the new version, the
// stretches found in the base are really there, and the smaller of the two codings is kept.
#include "feed/FeedDelta.h"

#include <gtest/gtest.h>

#include <random>

#include "ClientTestSupport.h"
#include "feed/FeedDeltaMatch.h"

using namespace KiteFeed;
using ClientTest::randomBytes;

namespace {

std::string merged(const std::string& base, const std::string& delta) {
  std::string out, why;
  DeltaDecoder decoder(base.data(), base.size(),
                       [&](const char* data, std::size_t size) { out.append(data, size); });
  EXPECT_TRUE(decoder.feed(delta.data(), delta.size(), &why)) << why;
  EXPECT_TRUE(decoder.finished());
  return out;
}

// New bytes at `count` random places (never the old byte again).
std::string withChangedBytes(std::string bytes, std::size_t count, unsigned seed) {
  std::mt19937 engine(seed);
  for (std::size_t i = 0; i < count; ++i) {
    char& c = bytes[engine() % bytes.size()];
    c = static_cast<char>(c + 1 + engine() % 255);
  }
  return bytes;
}

// Each case also bounds the frame where one coding beats the other, so that the smaller is kept.
TEST(FeedDelta, EveryKindOfChangeMergesBackFromTheSmallerFrameAndEveryMatchIsInTheBase) {
  const std::string base = randomBytes(300000, 1), fresh = randomBytes(100000, 5);
  const std::string text(200000, 'a');
  struct Case {
    const char* name;
    std::string base, target;
    std::size_t most = SIZE_MAX;
  } cases[] = {
      {"the same bytes", base, base},
      // zstd's own parse takes about 2.6 bytes per change; a place among ~100 and a new byte need
      // a little over 2.
      {"single bytes changed", base, withChangedBytes(base, 3000, 2), 3000 * 22 / 10},
      {"bytes inserted and removed, a stretch moved",
       base.substr(0, 1000) + randomBytes(777, 3) + base.substr(1000, 99000) + base.substr(150000) +
           base.substr(100, 40000),
       base},
      {"a longer base", base + randomBytes(5000, 4), base.substr(17)},
      {"new bytes before the whole base", base, randomBytes(500, 9) + base},
      // Only zstd's own parse finds the second copy of bytes the base does not have.
      {"new bytes twice", base, fresh + fresh, fresh.size() * 11 / 10},
      {"an empty base", "", base.substr(0, 1000)},
      {"an empty target", base, ""},
      {"shorter than a match", "ab", "ab"},
      {"repeating bytes with a change", text, text.substr(0, 99999) + "b" + text.substr(100000)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::string delta, why;
    ASSERT_TRUE(makeDelta(c.base, c.target, 19, &delta, &why)) << why;
    EXPECT_EQ(merged(c.base, delta), c.target);
    EXPECT_LT(delta.size(), c.most);
    EXPECT_TRUE(matchesHold(c.base, c.target, matchAgainstBase(c.base, c.target)));
  }
}

// A match list that would make zstd read outside either version, or copy the wrong bytes, is
// never handed to it.
TEST(FeedDelta, MatchesOutsideEitherVersionOrNotRepeatingTheBaseDoNotHold) {
  const std::string base = "0123456789", target = "xx01234yy789";
  EXPECT_TRUE(matchesHold(base, target, {{2, 0, 5}, {2, 7, 3}}));
  const std::vector<BaseMatch> bad[] = {
      {{2, 0, 2}},             // shorter than zstd allows
      {{2, 8, 3}},             // past the end of the base
      {{2, 0, 5}, {2, 7, 4}},  // past the end of the target
      {{13, 0, 3}},            // literals past the end of the target
      {{2, 1, 5}},             // other bytes than the base's
  };
  for (const auto& matches : bad) EXPECT_FALSE(matchesHold(base, target, matches));
}

}  // namespace
