// The feed format shared by client and publisher: versions, names, the signed
// envelope, the JSON body, digests, signatures and deltas.
#include "feed/FeedFormat.h"

#include <gtest/gtest.h>

#include "ClientTestSupport.h"
#include "feed/FeedCrypto.h"
#include "feed/FeedDelta.h"
#include "feed/FeedSigner.h"

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
}

TEST(FeedNames, PlainNamesAndFeedPaths) {
  for (const char* ok : {"ksv$pat.763", "ksv$pat.  5", "cldx$agt.005", "qx015000.rul"})
    EXPECT_TRUE(isPlainFileName(ok)) << ok;
  for (const char* bad : {"", ".", "..", "a/b", "a\\b", "tab\tname"})
    EXPECT_FALSE(isPlainFileName(bad)) << bad;
  EXPECT_FALSE(isPlainFileName(std::string(256, 'a')));
  EXPECT_TRUE(isFeedPath("files/abc-1.2_3"));
  for (const char* bad :
       {"", "/etc/passwd", "files/../x", "files//x", "files/./x", "a b", "files/x/", "http://x"})
    EXPECT_FALSE(isFeedPath(bad)) << bad;
}

TEST(FeedEnvelope, RoundTripAndStrictHeader) {
  Envelope e;
  e.keyId = std::string(64, 'f');
  e.signature = std::string(64, '\x01');
  e.body = "{\"x\":1}\n";
  const std::string bytes = writeEnvelope(e);
  EXPECT_EQ(0u, bytes.find("KITEFEED-INDEX 1\nkey ffff"));
  Envelope back;
  std::string why;
  ASSERT_TRUE(parseEnvelope(bytes, &back, &why)) << why;
  EXPECT_EQ(e.keyId, back.keyId);
  EXPECT_EQ(e.signature, back.signature);
  EXPECT_EQ(e.body, back.body);

  EXPECT_FALSE(parseEnvelope("KITEFEED-INDEX 2\n", &back, &why));
  EXPECT_FALSE(parseEnvelope("KITEFEED-INDEX 1\nkey abc\n", &back, &why));
  EXPECT_EQ("the index has no valid \"key\" line", why);
  std::string noBlank = bytes;
  noBlank.erase(noBlank.find("\n\n"), 1);
  EXPECT_FALSE(parseEnvelope(noBlank, &back, &why));
  EXPECT_EQ("the index header does not end with an empty line", why);
}

TEST(FeedBody, RoundTripKeepsEveryField) {
  Body back;
  std::string why;
  ASSERT_TRUE(parseBody(writeBody(sampleBody()), &back, &why)) << why;
  EXPECT_EQ(42u, back.serial);
  EXPECT_EQ(1700003600, back.expires);
  ASSERT_EQ(1u, back.entries.size());
  const Entry& e = back.entries[0];
  EXPECT_EQ(0x20000u, e.id);
  EXPECT_EQ(5u, e.languages);
  EXPECT_EQ((Version{8, 700, 1004}), e.version);
  ASSERT_EQ(1u, e.files[0].deltas.size());
  EXPECT_EQ((Version{8, 650, 1000}), e.files[0].deltas[0].from);
  EXPECT_EQ(9u, e.files[0].deltas[0].baseSize);
}

TEST(FeedBody, MalformedBodiesAreRefusedWithAReason) {
  Body back;
  std::string why;
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

TEST(FeedCrypto, DigestsAndSignatures) {
  EXPECT_EQ("ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad", sha256Hex("abc"));
  std::string pem, hex, signature, publicKey;
  ASSERT_TRUE(generateKeyPair(&pem, &hex));
  EXPECT_TRUE(isHexOfLength(hex, 64));
  ASSERT_TRUE(signMessage(pem, "message", &signature, &publicKey));
  EXPECT_EQ(hex, toHex(publicKey.data(), publicKey.size()));
  EXPECT_TRUE(ed25519Verify(publicKey, "message", signature));
  EXPECT_FALSE(ed25519Verify(publicKey, "messagE", signature));
  signature[0] ^= 1;
  EXPECT_FALSE(ed25519Verify(publicKey, "message", signature));
  EXPECT_FALSE(ed25519Verify("short", "message", signature));
  EXPECT_FALSE(signMessage("not a key", "m", &signature, &publicKey));
}

std::string applyDelta(const std::string& base, const std::string& delta, bool* ok) {
  std::string out, why;
  DeltaDecoder decoder(base.data(), base.size(),
                       [&out](const char* p, std::size_t n) { out.append(p, n); });
  // Feed in small pieces, as a network would.
  *ok = true;
  for (std::size_t i = 0; i < delta.size() && *ok; i += 1000)
    *ok = decoder.feed(delta.data() + i, std::min<std::size_t>(1000, delta.size() - i), &why);
  *ok = *ok && decoder.finished();
  return out;
}

TEST(FeedDeltas, ADeltaCarriesOnlyTheChangesAndNeedsItsBase) {
  const std::string base = ClientTest::randomBytes(1 << 20, 11);
  std::string target = base;
  for (std::size_t i = 0; i < target.size(); i += 65536) target[i] ^= 0x77;
  std::string delta, why;
  ASSERT_TRUE(makeDelta(base, target, 3, &delta, &why)) << why;
  EXPECT_LT(delta.size(), target.size() / 50);
  bool ok = false;
  EXPECT_EQ(target, applyDelta(base, delta, &ok));
  EXPECT_TRUE(ok);

  std::string otherBase = base;
  otherBase[100] ^= 1;
  const std::string wrong = applyDelta(otherBase, delta, &ok);
  EXPECT_FALSE(ok && wrong == target) << "a wrong base never gives the target";

  applyDelta(base, delta.substr(0, delta.size() / 2), &ok);
  EXPECT_FALSE(ok) << "half a frame is not finished";
  applyDelta(base, delta + "x", &ok);
  EXPECT_FALSE(ok) << "bytes after the frame";
}

}  // namespace
