// The feed format shared by client and publisher: versions, names and what the JSON body may not
// hold. The envelope, digests, signatures and deltas show in the client's own tests.
#include "feed/FeedFormat.h"

#include <gtest/gtest.h>

using namespace KiteFeed;

namespace {

Body sampleBody() {
  Body body;
  body.feed = "orvel-test";
  body.serial = 42;
  body.issued = 1700000000;
  body.expires = 1700003600;
  Entry e;
  e.itemClass = kClassVersioned;
  e.id = 0x20000;
  e.platform = 0x101;
  e.languages = 5;
  e.version = Version{8, 700, 1004};
  File f;
  f.name = "ziran32.dll";
  f.size = 10;
  f.sha256 = std::string(64, 'a');
  f.path = "files/" + std::string(64, 'a');
  Delta d;
  d.from = Version{8, 650, 1000};
  d.baseName = "ziran32.dll";
  d.baseSize = 9;
  d.baseSha256 = std::string(64, 'b');
  d.path = "deltas/x";
  d.size = 3;
  d.sha256 = std::string(64, 'c');
  f.deltas.push_back(d);
  e.files.push_back(f);
  body.entries.push_back(e);
  return body;
}

std::string bodyWith(const std::string& from, const std::string& to) {
  std::string text = writeBody(sampleBody());
  const std::size_t at = text.find(from);
  EXPECT_NE(std::string::npos, at) << from;
  return text.replace(at, from.size(), to);
}

TEST(FeedVersions, TextsAreStrictAndOrderedWordByWord) {
  Version v;
  EXPECT_TRUE(parseVersionText(kClassVersioned, "8.700.1004", &v));
  EXPECT_EQ("8.700.1004", versionText(kClassVersioned, v));
  EXPECT_TRUE(parseVersionText(kClassNumbered, "576300", &v));
  EXPECT_EQ("576300", versionText(kClassNumbered, v));
  for (const char* bad : {"8.700", "8.700.1004.1", "8.a.1", "", "8..1", "1.2.99999999999"})
    EXPECT_FALSE(parseVersionText(kClassVersioned, bad, &v)) << bad;
  EXPECT_FALSE(parseVersionText(kClassNumbered, "5.763.00", &v));
  EXPECT_TRUE((Version{8, 650, 9999} < Version{8, 700, 0}));
  EXPECT_TRUE((Version{8, 700, 1} < Version{8, 700, 2}));
  EXPECT_FALSE((Version{9, 0, 0} < Version{8, 999, 999}));
  EXPECT_FALSE((Version{8, 700, 2} < Version{8, 700, 2}));
}

TEST(FeedNames, PlainNamesAndFeedPaths) {
  for (const char* ok : {"ksv$pat.763", "ksv$pat.  5", "cldx$agt.005", "qx015000.rul"})
    EXPECT_TRUE(isPlainFileName(ok)) << ok;
  for (const std::string& bad : std::initializer_list<std::string>{
           "", ".", "..", "a/b", "a\\b", "tab\tname", std::string(256, 'a')})
    EXPECT_FALSE(isPlainFileName(bad)) << bad;
  EXPECT_TRUE(isFeedPath("files/abc-1.2_3"));
  for (const char* bad :
       {"", "/etc/passwd", "files/../x", "files//x", "files/./x", "a b", "files/x/", "http://x"})
    EXPECT_FALSE(isFeedPath(bad)) << bad;
}

TEST(FeedBody, MalformedBodiesAreRefusedWithAReason) {
  Body back;
  std::string why;
  ASSERT_TRUE(parseBody(writeBody(sampleBody()), &back, &why)) << why;
  EXPECT_EQ((Version{8, 650, 1000}), back.entries.at(0).files.at(0).deltas.at(0).from);
  EXPECT_FALSE(parseBody("{", &back, &why));
  EXPECT_EQ(0u, why.find("the index body is not valid JSON"));
  EXPECT_FALSE(parseBody(bodyWith("\"format\": 1", "\"format\": 2"), &back, &why));
  EXPECT_EQ("the index body is malformed: unknown format version", why);
  EXPECT_FALSE(parseBody(bodyWith("\"class\": 2", "\"class\": 5"), &back, &why));
  EXPECT_FALSE(parseBody(bodyWith("\"deltas/x\"", "\"../x\""), &back, &why));
  EXPECT_NE(std::string::npos, why.find("is not a feed path: ../x"));
  EXPECT_FALSE(parseBody(bodyWith("\"name\": \"ziran32.dll\"", "\"name\": \"../x\""), &back, &why));
  EXPECT_FALSE(parseBody(bodyWith("\"8.700.1004\"", "\"8.700\""), &back, &why));
  EXPECT_FALSE(parseBody(bodyWith("\"size\": 10", "\"size\": -10"), &back, &why));
  EXPECT_FALSE(parseBody(bodyWith("\"serial\": 42", "\"serial\": \"42\""), &back, &why));
  EXPECT_FALSE(parseBody(bodyWith(std::string(64, 'c'), std::string(63, 'c')), &back, &why));
  EXPECT_FALSE(parseBody(bodyWith("\"files\": [", "\"files\": [], \"x\": ["), &back, &why));
}

}  // namespace
