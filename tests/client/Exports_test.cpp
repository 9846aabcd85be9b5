// The C interface of QxUpdate.dll without a feed: texts, properties, contexts, version helpers
// and trusted-key management. What it exports shows in tests/exports.
#include <gtest/gtest.h>

#include <algorithm>
#include <set>

#include "ClientTestSupport.h"
#include "feed/FeedCrypto.h"
#include "feed/FeedSigner.h"

using namespace ClientTest;
using OrvelTest::readFile;

namespace {

const int kAllCodes[] = {0,  1,  2,  3,  4,  5,  6,  7,  8,  9,  10, 11, 12, 13, 14, 15, 16,
                         17, 18, 19, 20, 21, 22, 23, 24, 25, 26, 27, 28, 29, 30, 46, 47};

TEST(ClientTexts, EveryCodeHasItsOwnEnglishAndJapaneseTextCutAtACharacterBoundary) {
  ASSERT_NE(0, QxuSetProperty("MsgCodePage", "1252"));
  std::set<std::string> english, japanese;
  for (int code : kAllCodes) english.insert(errorString(code));
  EXPECT_EQ(std::size(kAllCodes), english.size());
  EXPECT_EQ("Unknown update client result code 99.", errorString(99));
  EXPECT_EQ("The update feed index has expired.", errorString(QXU_E_INDEX_EXPIRED));
  EXPECT_EQ("The incremental pattern could not be merged with the current pattern.",
            errorString(QXU_E_MERGE));

  {
    // The library sets the code page on its context and asks for the text
    // after releasing it.
    ClientContext context;
    ASSERT_TRUE(context.set("MsgCodePage", "932"));
  }
  for (int code : kAllCodes) {
    const std::string text = errorString(code);
    EXPECT_FALSE(english.count(text)) << code;
    EXPECT_LT(text.size(), 256u) << "the library cuts longer Japanese texts";
    EXPECT_NE(std::string::npos, text.find("\xE3\x80\x82")) << code;  // ideographic full stop
    japanese.insert(text);
  }
  EXPECT_EQ(std::size(kAllCodes), japanese.size());
  EXPECT_EQ("不明なアップデートクライアントの結果コード 99 です。", errorString(99));
  // Cut to the buffer at a character boundary.
  char small[8];
  EXPECT_EQ(6, QxuGetErrorString(QXU_UP_TO_DATE, small, sizeof small));
  EXPECT_STREQ("すべ", small);
  ASSERT_NE(0, QxuSetProperty("MsgCodePage", "1252"));
  EXPECT_EQ(7, QxuGetErrorString(QXU_UP_TO_DATE, small, sizeof small));
  EXPECT_STREQ("All ite", small);
  EXPECT_EQ(0, QxuGetErrorString(QXU_UP_TO_DATE, nullptr, 10));
  EXPECT_EQ(0, QxuGetErrorString(QXU_UP_TO_DATE, small, 0));
}

TEST(ClientProperties, PropertiesAreCheckedReadBackAndBecomeDefaultsProcessWide) {
  ClientContext context;
  EXPECT_EQ("90", context.get("SocketTimeout"));
  const struct {
    const char* name;
    std::string value;
    bool accepted;
    std::string readBack;  // what the context then holds
  } cases[] = {{"SocketTimeoutConnect", "15abc", true, "15"},
               {"SocketTimeout", "0.25", true, "0.250"},
               {"SocketTimeout", "0", false, "0.250"},
               {"SocketTimeout", "soon", false, "0.250"},
               {"RetryCount", "0", true, "0"},
               {"RetryCount", "101", false, "0"},
               {"UserAgent", "Kelvo/1.0", true, "Kelvo/1.0"},
               {"UserAgent", std::string(4096, 'a'), false, "Kelvo/1.0"},
               {"CAFile", std::string(4095, 'c'), true, std::string(4095, 'c')},
               {"OSCodePage", "932", true, "932"},
               {"OSCodePage", "0", false, "932"},
               {"IndexMaxBytes", "100", false, "4194304"},
               {"NoSuchProperty", "1", false, "<refused>"},
               {"LastBytesFetched", "5", false, "0"}};
  for (const auto& c : cases) {
    EXPECT_EQ(c.accepted, context.set(c.name, c.value)) << c.name << "=" << c.value;
    EXPECT_EQ(c.readBack, context.get(c.name)) << c.name;
  }
  EXPECT_EQ(0, QxuSetPropertyEx("UserAgent", "x", nullptr));
  EXPECT_EQ(0, QxuSetPropertyEx(nullptr, "x", context.get()));
  char tiny[2];
  EXPECT_EQ(0, QxuGetPropertyEx("UserAgent", tiny, sizeof tiny, context.get()));

  OrvelTest::TempDir dir;
  OrvelTest::writeFile(dir / "file", "x");
  EXPECT_NE(0, QxuSetProperty("KiteFeedLib_FromLoader", dir.path().c_str()));
  EXPECT_EQ(0, QxuSetProperty("KiteFeedLib_FromLoader", (dir / "file").c_str()));
  EXPECT_EQ(0, QxuSetProperty("KiteFeedPath_FromLoader", (dir / "missing").c_str()));
  EXPECT_EQ(0, QxuSetProperty("KiteFeedPath_FromLoader", nullptr));
  EXPECT_EQ(0, QxuSetProperty("Unknown", "1"));
  ASSERT_NE(0, QxuSetProperty("RetryCount", "7"));
  EXPECT_EQ("7", ClientContext().get("RetryCount"));
  ASSERT_NE(0, QxuSetProperty("RetryCount", "2"));
}

TEST(ClientContexts, HandlesAreCheckedAndReleasedOnceAndUpdatesNeedASource) {
  QxuContext context = QxuCreateContext(0);
  ASSERT_NE(nullptr, context);
  QxuErrorInfo error{};
  EXPECT_EQ(QXU_OK, QxuGetLastError(&error, context));
  EXPECT_EQ(0u, error.uiResult);
  EXPECT_EQ(QXU_E_INVALID_ARGUMENT, QxuGetLastError(nullptr, context));
  tag_ItemInfo item{};
  SourceInfo src{};
  EXPECT_EQ(QXU_E_INVALID_ARGUMENT, QxuUpdateEx(&item, 1, nullptr, 2, nullptr, nullptr, context));
  EXPECT_EQ(QXU_E_INVALID_ARGUMENT, QxuUpdateEx(&item, 1, &src, 2, nullptr, nullptr, context));
  EXPECT_EQ(QXU_OK, QxuGetLastError(&error, context));
  EXPECT_EQ(1u, error.uiResult);
  EXPECT_STREQ("QxuUpdateEx needs a source record with a URL.", error.szText);
  EXPECT_EQ(QXU_OK, QxuReleaseContext(context));
  EXPECT_EQ(QXU_E_INVALID_CONTEXT, QxuReleaseContext(context));
  EXPECT_EQ(QXU_E_INVALID_CONTEXT, QxuGetLastError(&error, context));
  int bogus = 0;
  src.source = "file:///nowhere";
  EXPECT_EQ(QXU_E_INVALID_CONTEXT, QxuUpdateEx(&item, 1, &src, 2, nullptr, nullptr, &bogus));
  EXPECT_STREQ("1.0.0", QxuGetVersion());
}

TEST(ClientVersions, VersionValuesAndTexts) {
  const char* const builds[][2] = {
      {"8.700.1004", "8 700 1004"}, {"8.9-1002", "8 9 1002"}, {"0.0", "0 0 0"}, {nullptr, "0 0 0"}};
  for (const auto& b : builds) {
    const QxuVersionBuild v = QxuMakeVersionBuild(b[0]);
    EXPECT_EQ(b[1], std::to_string(v.uiMajor) + " " + std::to_string(v.uiMinor) + " " +
                        std::to_string(v.uiBuild));
  }
  char text[256];
  EXPECT_EQ(QXU_OK, QxuMakeVersionBuildString(8, 700, 1004, text, 256));
  EXPECT_STREQ("8.700.1004", text);
  EXPECT_EQ(QXU_E_BUFFER_TOO_SMALL, QxuMakeVersionBuildString(8, 700, 1004, text, 4));
  EXPECT_STREQ("8.7", text);
  EXPECT_EQ(QXU_E_INVALID_ARGUMENT, QxuMakeVersionBuildString(8, 700, 1004, nullptr, 4));

  unsigned value = 0;
  EXPECT_EQ(QXU_OK, QxuMakeVersion("5.12", &value));
  EXPECT_EQ(0x5000Cu, value);
  EXPECT_EQ(QXU_OK, QxuMakeVersionString(value, text, sizeof text));
  EXPECT_STREQ("5.12", text);
  EXPECT_EQ(QXU_OK, QxuMakeVersion("65535.65535", &value));
  EXPECT_EQ(0xFFFFFFFFu, value);
  for (const char* bad : {"5", "5.12.1", "70000.1", static_cast<const char*>(nullptr)})
    EXPECT_EQ(QXU_E_INVALID_ARGUMENT, QxuMakeVersion(bad, &value)) << (bad ? bad : "null");
  EXPECT_EQ(0xFFFFFFFFu, value);
}

class TrustedKeys : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_NE(0, QxuSetProperty("KiteFeedPath_FromLoader", m_work.path().c_str()));
  }
  std::string newKey() {
    std::string pem, hex;
    EXPECT_TRUE(KiteFeed::generateKeyPair(&pem, &hex));
    return hex;
  }
  static std::string idOf(const std::string& hex) {
    std::string raw;
    KiteFeed::fromHex(hex, &raw);
    return KiteFeed::keyIdOf(raw);
  }
  OrvelTest::TempDir m_work;
};

TEST_F(TrustedKeys, KeysAreAddedListedDumpedAndRemoved) {
  const std::string a = newKey(), b = newKey();
  char id[65];
  EXPECT_EQ(QXU_E_KEY_NOT_FOUND, QxuEnumTrustedInfo(0, id, sizeof id));
  std::string upper = a;
  for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  EXPECT_EQ(QXU_OK, QxuAddTrusted((" " + upper + "\n").c_str()));
  EXPECT_EQ(QXU_OK, QxuAddTrusted(b.c_str()));
  EXPECT_EQ(QXU_OK, QxuAddTrusted(b.c_str()));
  std::vector<std::string> ids = {idOf(a), idOf(b)};
  std::sort(ids.begin(), ids.end());
  ASSERT_EQ(QXU_OK, QxuEnumTrustedInfo(0, id, sizeof id));
  EXPECT_EQ(ids[0], id);
  ASSERT_EQ(QXU_OK, QxuEnumTrustedInfo(1, id, sizeof id));
  EXPECT_EQ(ids[1], id);
  EXPECT_EQ(QXU_E_KEY_NOT_FOUND, QxuEnumTrustedInfo(2, id, sizeof id));
  char shortId[10];
  EXPECT_EQ(QXU_E_BUFFER_TOO_SMALL, QxuEnumTrustedInfo(0, shortId, sizeof shortId));

  EXPECT_EQ(QXU_OK, QxuDmpTrusted((m_work / "dump.txt").c_str()));
  const std::string dump = readFile(m_work / "dump.txt");
  EXPECT_NE(std::string::npos, dump.find(idOf(a) + " " + a + "\n"));
  EXPECT_NE(std::string::npos, dump.find(idOf(b) + " " + b + "\n"));

  EXPECT_EQ(QXU_OK, QxuDelTrusted(idOf(a).c_str()));
  EXPECT_EQ(QXU_E_KEY_NOT_FOUND, QxuDelTrusted(idOf(a).c_str()));
  ASSERT_EQ(QXU_OK, QxuEnumTrustedInfo(0, id, sizeof id));
  EXPECT_EQ(idOf(b), id);
  EXPECT_EQ(QXU_E_KEY_NOT_FOUND, QxuEnumTrustedInfo(1, id, sizeof id));
}

TEST_F(TrustedKeys, MalformedOrMismatchedKeysAreRefusedAndCacheClearingIsHarmless) {
  EXPECT_EQ(QXU_E_KEY_FORMAT, QxuAddTrusted("abc"));
  EXPECT_EQ(QXU_E_KEY_FORMAT, QxuAddTrusted(std::string(64, 'g').c_str()));
  EXPECT_EQ(QXU_E_INVALID_ARGUMENT, QxuAddTrusted(nullptr));
  EXPECT_EQ(QXU_E_KEY_NOT_FOUND, QxuDelTrusted("not-an-id"));
  EXPECT_EQ(QXU_E_INVALID_ARGUMENT, QxuDmpTrusted(""));
  EXPECT_EQ(QXU_E_WRITE, QxuDmpTrusted((m_work / "missing/dump.txt").c_str()));
  EXPECT_EQ("The key is not an Ed25519 public key of 64 hexadecimal digits.",
            errorString(QXU_E_KEY_FORMAT));
  // A key file whose content does not match its name is not trusted.
  const std::string a = newKey(), b = newKey();
  ASSERT_EQ(QXU_OK, QxuAddTrusted(a.c_str()));
  OrvelTest::writeFile(m_work / ("kitefeed/trusted/" + idOf(a) + ".key"), b + "\n");
  char id[65];
  EXPECT_EQ(QXU_E_KEY_NOT_FOUND, QxuEnumTrustedInfo(0, id, sizeof id));
  EXPECT_EQ(QXU_OK, QxuClearCache());
  EXPECT_EQ(QXU_OK, QxuClearCacheEx("http://127.0.0.1/feed"));
  EXPECT_EQ(QXU_E_INVALID_ARGUMENT, QxuClearCacheEx(nullptr));
}

}  // namespace
