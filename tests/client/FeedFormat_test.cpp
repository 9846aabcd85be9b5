// What the feed's JSON body may not hold. The envelope, digests, signatures and deltas show in the
// client's own tests, the parsers' robustness in the feed index fuzz target.
#include "feed/FeedFormat.h"

#include <gtest/gtest.h>

#include "ClientTestSupport.h"

using namespace KiteFeed;

namespace {

TEST(FeedBody, MalformedBodiesAreRefusedWithAReason) {
  // The body the publisher signs for an engine with a delta from its previous version.
  OrvelTest::TempDir dir;
  ClientTest::TestFeed feed(dir / "feed", "");
  const std::string v1 = ClientTest::randomBytes(20000, 1);
  std::string v2 = v1;
  v2[5] ^= 1;
  feed.add(kClassVersioned, 0x20000, "8.650.1000", {{"ziran32.dll", v1}});
  feed.add(kClassVersioned, 0x20000, "8.700.1004", {{"ziran32.dll", v2}});
  feed.sign();
  Envelope envelope;
  Body back;
  std::string why;
  ASSERT_TRUE(parseEnvelope(feed.index(), &envelope, &why)) << why;
  ASSERT_TRUE(parseBody(envelope.body, &back, &why)) << why;
  auto bodyWith = [&](const std::string& from, const std::string& to) {
    std::string text = envelope.body;
    const std::size_t at = text.find(from);
    EXPECT_NE(std::string::npos, at) << from;
    return text.replace(at, from.size(), to);
  };
  // What is changed, into what, and a part of the reason ("" where it is not the point).
  const std::string malformed[][3] = {
      {"\"format\": 1", "\"format\": 2", "the index body is malformed: unknown format version"},
      {"\"deltas/", "\"../", "is not a feed path: ../"},
      {"\"serial\": 1", "\"serial\": -1", "field \"serial\" is not a non-negative integer"},
      {"\"feed\": \"orvel-test\"", "\"feed\": 7", "field \"feed\" is not a text"},
      {"\"deltas\": [", "\"deltas\": \"none\", \"x\": [", "field \"deltas\" is not a list"},
      {"\"name\": \"ziran32.dll\"", "\"name\": \"../x\"", ""}};
  for (const auto& [from, to, reason] : malformed) {
    EXPECT_FALSE(parseBody(bodyWith(from, to), &back, &why)) << to;
    EXPECT_NE(std::string::npos, why.find(reason)) << why;
  }
}

}  // namespace
