// The C interface of QxUpdate.dll without a feed: texts, properties, contexts and
// trusted-key management. What it exports shows in tests/exports.
#include <gtest/gtest.h>

#include <algorithm>

#include "ClientTestSupport.h"
#include "feed/FeedSigner.h"

using namespace ClientTest;
using OrvelTest::readFile;

namespace {

TEST(ClientTexts, EveryCodeHasItsOwnEnglishAndJapaneseText) {
  ASSERT_NE(0, QxuSetProperty("MsgCodePage", "1252"));
  const std::pair<int, const char*> texts[] = {
      {99, "Unknown update client result code 99."},
      {QXU_E_INDEX_EXPIRED, "The update feed index has expired."},
      {QXU_E_MERGE, "The incremental pattern could not be merged with the current pattern."},
      {QXU_E_KEY_FORMAT, "The key is not an Ed25519 public key of 64 hexadecimal digits."},
      {QXU_E_FILE_DIGEST,
       "A downloaded file does not match its SHA-256 digest in the feed index (tampered or "
       "corrupt)."},
      {QXU_E_BAD_URL, "The source URL must begin with http://, https:// or file://."},
      {QXU_E_HTTP_STATUS,
       "The update server answered with an error status, or does not have the requested item or "
       "file."},
      {QXU_E_PROXY_AUTH, "The proxy server refused the user name or password."},
      {QXU_E_TRANSFER_TIMEOUT,
       "The update server stopped sending data or sent it too slowly (transfer timed out)."},
      {QXU_E_WRONG_FEED, "The update feed index belongs to another feed than the expected one."}};
  for (const auto& [code, text] : texts) EXPECT_EQ(text, errorString(code));
  {
    // The library sets the code page on its context and asks for the text after releasing it.
    ClientContext context;
    ASSERT_TRUE(context.set("MsgCodePage", "932"));
  }
  EXPECT_EQ("不明なアップデートクライアントの結果コード 99 です。", errorString(99));
  ASSERT_NE(0, QxuSetProperty("MsgCodePage", "1252"));
}

TEST(ClientContexts, PropertiesAreCheckedAndReadBackHandlesReleasedOnceUpdatesNeedASource) {
  ClientContext context;
  const struct {
    const char* name;
    std::string value;
    bool accepted;
    std::string readBack;  // what the context then holds
  } cases[] = {{"SocketTimeout", "0.25", true, "0.250"},
               {"SocketTimeout", "0", false, "0.250"},
               {"UserAgent", "Kelvo/1.0", true, "Kelvo/1.0"},
               {"UserAgent", std::string(4096, 'a'), false, "Kelvo/1.0"},
               {"NoSuchProperty", "1", false, "<refused>"},
               {"LastBytesFetched", "5", false, "0"}};
  for (const auto& c : cases) {
    EXPECT_EQ(c.accepted, context.set(c.name, c.value)) << c.name << "=" << c.value;
    EXPECT_EQ(c.readBack, context.get(c.name)) << c.name;
  }
  // Handles are checked and released once; an update needs a source.
  tag_ItemInfo item{};
  SourceInfo src{};
  EXPECT_EQ(QXU_E_INVALID_ARGUMENT,
            QxuUpdateEx(&item, 1, &src, 2, nullptr, nullptr, context.get()));
  QxuErrorInfo error{};
  EXPECT_EQ(QXU_OK, QxuGetLastError(&error, context.get()));
  EXPECT_EQ("1 QxuUpdateEx needs a source record with a URL.",
            std::to_string(error.uiResult) + " " + error.szText);
  QxuContext handle = QxuCreateContext(0);
  EXPECT_EQ(QXU_OK, QxuReleaseContext(handle));
  EXPECT_EQ(QXU_E_INVALID_CONTEXT, QxuReleaseContext(handle));
  int bogus = 0;
  src.source = "file:///nowhere";
  EXPECT_EQ(QXU_E_INVALID_CONTEXT, QxuUpdateEx(&item, 1, &src, 2, nullptr, nullptr, &bogus));
}

TEST(TrustedKeys, KeysAreAddedListedRemovedAndCheckedAgainstTheirFileName) {
  OrvelTest::TempDir work;
  ASSERT_NE(0, QxuSetProperty("KiteFeedPath_FromLoader", work.path().c_str()));
  std::string pem, a, b;
  ASSERT_TRUE(KiteFeed::generateKeyPair(&pem, &a) && KiteFeed::generateKeyPair(&pem, &b));
  char id[65];
  auto trusted = [&id] {
    Strings ids;
    int result;
    while ((result = QxuEnumTrustedInfo(ids.size(), id, sizeof id)) == QXU_OK) ids.push_back(id);
    EXPECT_EQ(QXU_E_KEY_NOT_FOUND, result);
    return ids;
  };
  EXPECT_EQ(QXU_OK, QxuAddTrusted((" " + a + "\n").c_str()));
  EXPECT_EQ(QXU_OK, QxuAddTrusted(b.c_str()));
  Strings ids = {keyId(a), keyId(b)};
  std::sort(ids.begin(), ids.end());
  EXPECT_EQ(ids, trusted());
  EXPECT_EQ(QXU_OK, QxuDelTrusted(keyId(a).c_str()));
  EXPECT_EQ(Strings{keyId(b)}, trusted());
  // A key file whose content does not match its name is not trusted.
  OrvelTest::writeFile(work / ("kitefeed/trusted/" + keyId(b) + ".key"), a + "\n");
  EXPECT_EQ(Strings{}, trusted());

  EXPECT_EQ(QXU_E_KEY_FORMAT, QxuAddTrusted(std::string(64, 'g').c_str()));
}

}  // namespace
