// The feed format shared by client and publisher: versions, names and what the JSON body may not
// hold. The envelope, digests, signatures and deltas show in the client's own tests.
#include "feed/FeedFormat.h"

#include <gtest/gtest.h>

#include "ClientTestSupport.h"
#include "feed/FeedCrypto.h"

using namespace KiteFeed;

namespace {

// The body's parser refuses one of each below; these are the other spellings that matter.
TEST(FeedTexts, VersionsFileNamesAndFeedPathsAreStrict) {
  Version v;
  for (const char* bad : {"8.700.1004.1", "8..1", "1.2.99999999999"})
    EXPECT_FALSE(parseVersionText(kClassVersioned, bad, &v)) << bad;
  EXPECT_FALSE(parseVersionText(kClassNumbered, "5.763.00", &v));
  EXPECT_TRUE(isPlainFileName("ksv$pat.  5"));
  for (const std::string& bad : {std::string(".."), std::string("a\\b"), std::string(256, 'a')})
    EXPECT_FALSE(isPlainFileName(bad)) << bad;
  for (const char* bad : {"/etc/passwd", "files//x", "files/./x", "http://x"})
    EXPECT_FALSE(isFeedPath(bad)) << bad;
}

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
  EXPECT_EQ((Version{8, 650, 1000}), back.entries.at(0).files.at(0).deltas.at(0).from);
  auto bodyWith = [&](const std::string& from, const std::string& to) {
    std::string text = envelope.body;
    const std::size_t at = text.find(from);
    EXPECT_NE(std::string::npos, at) << from;
    return text.replace(at, from.size(), to);
  };
  EXPECT_FALSE(parseBody("{", &back, &why));
  EXPECT_EQ(0u, why.find("the index body is not valid JSON"));
  // What is changed, into what, and a part of the reason ("" where it is not the point).
  const std::string malformed[][3] = {
      {"\"format\": 1", "\"format\": 2", "the index body is malformed: unknown format version"},
      {"\"deltas/", "\"../", "is not a feed path: ../"},
      {"\"deltas\": [", "\"deltas\": \"none\", \"x\": [", "field \"deltas\" is not a list"},
      {"\"serial\": 1", "\"serial\": -1", "field \"serial\" is not a non-negative integer"},
      {"\"name\": \"ziran32.dll\"", "\"name\": \"../x\"", ""},
      {"\"sha256\": \"" + sha256Hex(v2), "\"sha256\": \"" + sha256Hex(v2).substr(1), ""}};
  for (const auto& [from, to, reason] : malformed) {
    EXPECT_FALSE(parseBody(bodyWith(from, to), &back, &why)) << to;
    EXPECT_NE(std::string::npos, why.find(reason)) << why;
  }
}

}  // namespace
