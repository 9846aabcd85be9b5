// QxuUpdateEx against feeds reached through file://: downloads, version
// queries, deltas, and every kind of bad input the feed can bring.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <functional>
#include <thread>

#include "ClientTestSupport.h"
#include "feed/FeedCrypto.h"

using namespace ClientTest;
using OrvelTest::fileExists;
using OrvelTest::readFile;
using OrvelTest::writeFile;

namespace {

constexpr std::uint32_t kLinuxEngine = 0x20000;
constexpr std::uint32_t kSpamIncremental = 0x4000001;

using Strings = std::vector<std::string>;

class FileFeed : public ClientFixture {
 protected:
  void SetUp() override {
    ClientFixture::SetUp();
    m_feed = fileFeed();
  }
  // Publishes pattern 576300 (one file) and signs.
  std::string publishPattern(std::size_t size = 4096) {
    const std::string content = randomBytes(size, 7);
    m_feed->add(3, kVirusPattern, "576300", {{kPatternName, content}});
    m_feed->sign();
    return content;
  }
  int updatePattern(unsigned current = 100000, unsigned option = QXU_ITEM_INCREMENTAL) {
    m_items = {item(3, kVirusPattern, number(current), option)};
    return update(m_items, m_feed->url());
  }

  std::unique_ptr<TestFeed> m_feed;
  std::vector<tag_ItemInfo> m_items;
};

// ---- downloads and queries ----

TEST_F(FileFeed, DownloadsANewerPatternUnderItsNameAndIsUpToDateWithItAfterwards) {
  const std::string content = publishPattern();
  EXPECT_EQ(QXU_OK, updatePattern());
  EXPECT_EQ(576300u, m_items[0].stResult.uiMajor);
  EXPECT_EQ(Strings{kPatternName}, destFiles());
  EXPECT_EQ(content, readFile(dest(kPatternName)));
  EXPECT_EQ(0u, m_context->lastError().uiResult);
  std::filesystem::remove(dest(kPatternName));
  for (unsigned current : {576300u, 576400u}) {
    EXPECT_EQ(QXU_UP_TO_DATE, updatePattern(current));
    EXPECT_EQ(current, m_items[0].stResult.uiMajor);
  }
  EXPECT_TRUE(destFiles().empty());
  m_items = {item(3, 0x20000400, number(1))};
  EXPECT_EQ(QXU_E_HTTP_STATUS, update(m_items, m_feed->url()));
  expectFailure(QXU_E_HTTP_STATUS, 0x1C0194u, "does not list item 0x20000400");
}

TEST_F(FileFeed, QueriesFillResultsLeaveUnlistedItemsAndDownloadNothing) {
  publishPattern();
  m_feed->add(2, kLinuxEngine, "8.700.1004", {{"ziran32.dll", "engine"}});
  m_feed->sign();
  tag_ItemInfo unlisted = item(2, 0x20000000, version(3, 0, 1027), QXU_ITEM_QUERY);
  unlisted.stResult = version(7, 7, 7);
  m_items = {item(2, kLinuxEngine, version(8, 700, 999), QXU_ITEM_QUERY),
             item(3, kVirusPattern, number(576300), QXU_ITEM_QUERY), unlisted};
  EXPECT_EQ(QXU_OK, update(m_items, m_feed->url()));
  EXPECT_EQ(8u, m_items[0].stResult.uiMajor);
  EXPECT_EQ(700u, m_items[0].stResult.uiMinor);
  EXPECT_EQ(1004u, m_items[0].stResult.uiBuild);
  EXPECT_EQ(576300u, m_items[1].stResult.uiMajor);
  EXPECT_EQ(7u, m_items[2].stResult.uiMajor);
  m_items[0].stCurrent = version(8, 700, 1004);
  EXPECT_EQ(QXU_UP_TO_DATE, update(m_items, m_feed->url()));
  EXPECT_TRUE(destFiles().empty());
  m_items = {unlisted};
  EXPECT_EQ(QXU_E_HTTP_STATUS, update(m_items, m_feed->url()));
  expectFailure(QXU_E_HTTP_STATUS, QXU_DETAIL_NOT_FOUND, "lists none of the 1 items");
}

TEST_F(FileFeed, VersionsCompareWordByWordAndPlatformAndLanguageChooseTheEntry) {
  m_feed->add(2, kLinuxEngine, "8.700.1004", {{"ziran32.dll", "new engine"}});
  m_feed->add(3, kVirusPattern, "500", {{"linux-english", "L1"}}, 0x101, 0x1);
  m_feed->add(3, kVirusPattern, "600", {{"linux-japanese", "L4"}}, 0x101, 0x4);
  m_feed->add(3, kVirusPattern, "700", {{"win32-all", "W"}}, 0x1, 0xFFFFFFFF);
  m_feed->sign();
  m_items = {item(2, kLinuxEngine, version(8, 700, 1005))};
  EXPECT_EQ(QXU_UP_TO_DATE, update(m_items, m_feed->url()));
  m_items = {item(2, kLinuxEngine, version(8, 650, 2000)), item(3, kVirusPattern, number(1))};
  m_items[1].uiLanguage = 4;
  EXPECT_EQ(QXU_OK, update(m_items, m_feed->url()));
  EXPECT_EQ("new engine", readFile(dest("ziran32.dll")));
  EXPECT_EQ(600u, m_items[1].stResult.uiMajor);
  m_items = {item(3, kVirusPattern, number(1))};
  m_items[0].uiPlatform = 0x202;
  EXPECT_EQ(QXU_E_HTTP_STATUS, update(m_items, m_feed->url()));
  EXPECT_EQ((Strings{"linux-japanese", "ziran32.dll"}), destFiles());
}

TEST_F(FileFeed, SpamPatternAndItsIncrementalTravelTogether) {
  const std::vector<std::pair<std::string, std::string>> rules = {{"qx015000.rul", "r"},
                                                                  {"qx015000.exp", "e"},
                                                                  {"qx015000.sig", "s"},
                                                                  {"qx015000.hsh", "h"},
                                                                  {"qx015000.phi", "p"}};
  m_feed->add(3, kSpamPattern, "15000", rules);
  m_feed->add(3, kSpamIncremental, "15000001", {{"qx015000.001", "patch"}});
  m_feed->sign();
  m_items = {item(3, kSpamPattern, number(14000)), item(3, kSpamIncremental, number(14000001))};
  EXPECT_EQ(QXU_OK, update(m_items, m_feed->url()));
  EXPECT_EQ(15000u, m_items[0].stResult.uiMajor);
  EXPECT_EQ(15000001u, m_items[1].stResult.uiMajor);
  EXPECT_EQ((Strings{"qx015000.001", "qx015000.exp", "qx015000.hsh", "qx015000.phi", "qx015000.rul",
                     "qx015000.sig"}),
            destFiles());
}

TEST_F(FileFeed, ProgressIsReportedPerItemAndAZeroAnswerCancels) {
  publishPattern(300000);
  // "calls item done total", the last call; the answer the callback gives.
  std::pair<std::string, int> seen{"", 1};
  auto callback = [](unsigned item, unsigned long long done, unsigned long long total, void* user) {
    auto* s = static_cast<std::pair<std::string, int>*>(user);
    const int calls = s->first.empty() ? 1 : std::stoi(s->first) + 1;
    s->first = std::to_string(calls) + " " + std::to_string(item) + " " + std::to_string(done) +
               " " + std::to_string(total);
    return s->second;
  };
  m_items = {item(3, 999, number(1), QXU_ITEM_QUERY), item(3, kVirusPattern, number(1))};
  const SourceInfo src = source(m_feed->url());
  EXPECT_EQ(QXU_OK, QxuUpdateEx(m_items.data(), 2, &src, 2, callback, &seen, m_context->get()));
  EXPECT_EQ(" 1 300000 300000", seen.first.substr(seen.first.find(' ')));
  std::filesystem::remove(dest(kPatternName));
  seen = {"", 0};
  EXPECT_EQ(QXU_E_CANCELLED,
            QxuUpdateEx(m_items.data(), 2, &src, 2, callback, &seen, m_context->get()));
  EXPECT_EQ('1', seen.first[0]) << "one call";
  expectFailure(QXU_E_CANCELLED, 0x000A0000u, "cancelled");
  EXPECT_TRUE(destFiles().empty());
}

TEST_F(FileFeed, ContextsWorkOnSeveralThreadsAtOnce) {
  const std::string content = publishPattern(5 << 20);
  OrvelTest::TempDir folders[4];
  int results[4] = {-1, -1, -1, -1};
  std::vector<std::thread> threads;
  for (int i = 0; i < 4; ++i) {
    threads.emplace_back([&, i] {
      ClientContext context;
      const std::string path = folders[i].path();
      DestInfo destination{path.c_str(), "", "", 0, 0};
      tag_ItemInfo one = item(3, kVirusPattern, number(1));
      one.pDest = &destination;
      SourceInfo src{};
      src.source = m_feed->url().c_str();
      results[i] = QxuUpdateEx(&one, 1, &src, 2, nullptr, nullptr, context.get());
    });
  }
  for (std::thread& t : threads) t.join();
  for (int i = 0; i < 4; ++i) {
    EXPECT_EQ(QXU_OK, results[i]);
    EXPECT_EQ(content, readFile(folders[i] / kPatternName));
  }
}

// ---- deltas ----

class DeltaFeed : public FileFeed {
 protected:
  // Publishes pattern 100 and then 101 with a few changed bytes.
  void publishTwoVersions() {
    m_old = randomBytes(200000, 1);
    m_new = m_old;
    for (std::size_t i = 1000; i < m_new.size(); i += 20000) m_new[i] ^= 0x5A;
    m_feed->add(3, kVirusPattern, "100", {{"ksv$pat.100", m_old}});
    m_feed->add(3, kVirusPattern, "101", {{"ksv$pat.101", m_new}});
    m_feed->sign();
  }
  std::uint64_t bytesFetched() const { return std::stoull(m_context->get("LastBytesFetched")); }

  std::string m_old, m_new;
};

TEST_F(DeltaFeed, OnlyADeltaFromTheStagedCurrentPatternIsUsed) {
  publishTwoVersions();
  const std::uint64_t whole = m_feed->index().size() + m_new.size();
  writeFile(dest("ksv$pat.100"), m_old);
  EXPECT_EQ(QXU_OK, updatePattern(100));
  EXPECT_EQ(m_new, readFile(dest("ksv$pat.101")));
  EXPECT_EQ((Strings{"ksv$pat.100", "ksv$pat.101"}), destFiles());
  EXPECT_LT(bytesFetched(), m_feed->index().size() + 5000) << "only the delta travels";
  // Full files asked for, a delta from another version, no staged base: the whole file.
  EXPECT_EQ(QXU_OK, updatePattern(100, QXU_ITEM_FULL));
  EXPECT_EQ(whole, bytesFetched());
  EXPECT_EQ(QXU_OK, updatePattern(99));
  EXPECT_EQ(whole, bytesFetched());
  std::filesystem::remove(dest("ksv$pat.100"));
  std::filesystem::remove(dest("ksv$pat.101"));
  EXPECT_EQ(QXU_OK, updatePattern(100));
  EXPECT_EQ(whole, bytesFetched());
  EXPECT_EQ(Strings{"ksv$pat.101"}, destFiles());
  EXPECT_EQ(m_new, readFile(dest("ksv$pat.101")));
}

TEST_F(DeltaFeed, ADeltaThatDoesNotApplyIsAMergeFailureAndACorruptOneADigestFailure) {
  publishTwoVersions();
  std::string wrongBase = m_old;
  wrongBase[5] ^= 1;  // same size, other content
  writeFile(dest("ksv$pat.100"), wrongBase);
  EXPECT_EQ(QXU_E_MERGE, updatePattern(100));
  expectFailure(QXU_E_MERGE, 0x002E0000u, "The delta from ksv$pat.100 to ksv$pat.101");
  EXPECT_EQ(100u, m_items[0].stResult.uiMajor) << "the pattern did not move";
  EXPECT_EQ(Strings{"ksv$pat.100"}, destFiles());
  EXPECT_EQ(wrongBase, readFile(dest("ksv$pat.100")));

  writeFile(dest("ksv$pat.100"), m_old);
  const std::string deltaPath = m_feed->deltaPath(kVirusPattern, "ksv$pat.101");
  std::string delta = readFile(deltaPath);
  delta[delta.size() / 2] ^= 0x01;
  writeFile(deltaPath, delta);
  EXPECT_EQ(QXU_E_FILE_DIGEST, updatePattern(100));
  EXPECT_EQ(Strings{"ksv$pat.100"}, destFiles());
  // What the library does next: the same call with full files succeeds.
  EXPECT_EQ(QXU_OK, updatePattern(100, QXU_ITEM_FULL));
  EXPECT_EQ(m_new, readFile(dest("ksv$pat.101")));
}

// ---- what a feed can do wrong ----

// Each fault: code, detail, a part of the text, and no file in the destination.
TEST_F(FileFeed, EveryFaultOfAFeedIsRefusedWithItsCodeAndLeavesNothing) {
  struct Fault {
    const char* what;
    std::function<void()> make;
    int code;
    unsigned detail;
    std::string text;
  };
  auto rewrite = [](const std::string& path, const std::function<void(std::string&)>& change) {
    std::string bytes = readFile(path);
    change(bytes);
    writeFile(path, bytes);
  };
  auto pattern = [this] { return m_feed->filePath(kVirusPattern, kPatternName); };
  const Fault faults[] = {
      {"tampered", [&] { rewrite(pattern(), [](std::string& b) { b[10] ^= 0x20; }); },
       QXU_E_FILE_DIGEST, 0x00150000u, "The SHA-256 of " + kPatternName},
      {"longer", [&] { rewrite(pattern(), [](std::string& b) { b += "extra"; }); }, QXU_E_FILE_SIZE,
       0x00140000u, "announces 4101 bytes for " + kPatternName},
      {"shorter", [&] { rewrite(pattern(), [](std::string& b) { b.resize(4000); }); },
       QXU_E_FILE_SIZE, 0x00140000u, kPatternName},
      {"missing", [&] { std::filesystem::remove(pattern()); }, QXU_E_HTTP_STATUS,
       QXU_DETAIL_NOT_FOUND, "not found"},
      {"changed body",
       [this] {
         std::string index = m_feed->index();
         index[index.find("576300")] = '9';
         m_feed->replaceIndex(index);
       },
       QXU_E_BAD_SIGNATURE, 0x000E0000u, "does not verify with key"},
      {"expired",
       [this] {
         m_feed->sign(60);
         m_clock->advance(61);
       },
       QXU_E_INDEX_EXPIRED, 0x00100000u, "(serial 2) expired at"},
      {"not an index", [this] { m_feed->replaceIndex("<html>not an index</html>"); },
       QXU_E_INDEX_FORMAT, 0x00130000u, "does not begin with \"KITEFEED-INDEX 1\""},
      {"above the cap", [this] { m_feed->replaceIndex(std::string(6 << 20, 'x')); },
       QXU_E_INDEX_TOO_LARGE, 0x00120000u, "has more than 4194304 bytes"}};
  for (const Fault& fault : faults) {
    SCOPED_TRACE(fault.what);
    m_feed = fileFeed();
    publishPattern();
    fault.make();
    EXPECT_EQ(fault.code, updatePattern());
    expectFailure(fault.code, fault.detail, fault.text);
    EXPECT_TRUE(destFiles().empty());
  }
  EXPECT_EQ(0u, std::stoull(m_context->get("LastBytesFetched"))) << "the index is not read whole";
  EXPECT_EQ(
      "A downloaded file does not match its SHA-256 digest in the feed index (tampered or "
      "corrupt).",
      errorString(QXU_E_FILE_DIGEST));
}

TEST_F(FileFeed, AFailingFileOfAManyFileItemCommitsNoneOfThem) {
  m_feed->add(3, kSpamPattern, "15000",
              {{"qx015000.rul", "r"}, {"qx015000.exp", "e"}, {"qx015000.sig", "s"}});
  m_feed->sign();
  writeFile(m_feed->filePath(kSpamPattern, "qx015000.sig"), "S");
  m_items = {item(3, kSpamPattern, number(1))};
  EXPECT_EQ(QXU_E_FILE_DIGEST, update(m_items, m_feed->url()));
  EXPECT_TRUE(destFiles().empty());
}

TEST_F(FileFeed, OnlyTrustedKeysCount) {
  publishPattern();
  TestFeed stranger(m_feeds / "stranger", "file://" + (m_feeds / "stranger"));
  stranger.add(3, kVirusPattern, "576300", {{kPatternName, "x"}});
  stranger.sign();
  m_items = {item(3, kVirusPattern, number(1))};
  EXPECT_EQ(QXU_E_UNKNOWN_KEY, update(m_items, stranger.url()));
  expectFailure(QXU_E_UNKNOWN_KEY, 0x000F0000u, "which is not trusted");
  char id[65];
  ASSERT_EQ(QXU_OK, QxuEnumTrustedInfo(0, id, sizeof id));
  ASSERT_EQ(QXU_OK, QxuDelTrusted(id));
  EXPECT_EQ(QXU_E_NO_TRUSTED_KEY, updatePattern());
  EXPECT_EQ(0u, std::stoull(m_context->get("LastBytesFetched")));
  ASSERT_EQ(QXU_OK, QxuAddTrusted(m_feed->publicKeyHex().c_str()));
  EXPECT_EQ(QXU_OK, updatePattern());
}

TEST_F(FileFeed, AnOlderIndexOrTheSameSerialWithOtherContentIsAReplay) {
  publishPattern();
  const std::string first = m_feed->index();
  m_feed->sign();
  EXPECT_EQ(QXU_UP_TO_DATE, updatePattern(576300));
  m_feed->replaceIndex(first);
  EXPECT_EQ(QXU_E_INDEX_REPLAYED, updatePattern());
  expectFailure(QXU_E_INDEX_REPLAYED, 0x00110000u, "has serial 1, but serial 2 was already");
  EXPECT_TRUE(destFiles().empty());

  const std::string catalogPath = m_feed->folder() + "/catalog.json";
  std::string catalog = readFile(catalogPath);
  const std::size_t at = catalog.find("\"serial\": 2");
  ASSERT_NE(std::string::npos, at);
  catalog.replace(at, 11, "\"serial\": 1");
  writeFile(catalogPath, catalog);
  m_feed->add(3, 0x20000400, "7", {{"spyxdb.  7", "spyware"}});
  m_feed->sign();  // serial 2 again, other content
  EXPECT_EQ(QXU_E_INDEX_REPLAYED, updatePattern(576300));
  expectFailure(QXU_E_INDEX_REPLAYED, 0x00110000u, "repeats serial 2 with different content");
}

TEST_F(FileFeed, TheIndexCapCanBeLowered) {
  for (std::uint32_t id = 1; id <= 3; ++id) m_feed->add(3, id, "1", {{"file", "x"}});
  publishPattern();
  ASSERT_TRUE(m_context->set("IndexMaxBytes", "1024"));
  ASSERT_GT(m_feed->index().size(), 1024u);
  EXPECT_EQ(QXU_E_INDEX_TOO_LARGE, updatePattern());
}

// ---- bad sources and destinations ----

TEST_F(FileFeed, ASourceWithoutASchemeIsRefusedBeforeAnyTransfer) {
  publishPattern();
  for (const std::string& url : {m_feed->folder(), std::string("127.0.0.1/feed"),
                                 std::string("ftp://127.0.0.1/feed"), std::string("")}) {
    m_items = {item(3, kVirusPattern, number(1))};
    EXPECT_EQ(QXU_E_BAD_URL, update(m_items, url)) << url;
    expectFailure(QXU_E_BAD_URL, 0x00050000u, "does not begin with http://, https:// or file://");
  }
  EXPECT_TRUE(destFiles().empty());
  EXPECT_EQ("The source URL must begin with http://, https:// or file://.",
            errorString(QXU_E_BAD_URL));
}

TEST_F(FileFeed, DestinationsMustBeFoldersThatTakeFilesAndMayUseBackslashes) {
  publishPattern();
  writeFile(m_dest / "plain-file", "x");
  const struct {
    std::string path;
    int code;
    unsigned detail;
    const char* text;
  } cases[] = {{m_dest / "no/such/folder", QXU_E_DEST_FOLDER, QXU_DETAIL(QXU_E_DEST_FOLDER, ENOENT),
                "cannot be used"},
               {m_dest / "plain-file/sub", QXU_E_DEST_FOLDER,
                QXU_DETAIL(QXU_E_DEST_FOLDER, ENOTDIR), "Not a directory"},
               {m_dest / "plain-file", QXU_E_DEST_FOLDER, QXU_DETAIL(QXU_E_DEST_FOLDER, ENOTDIR),
                "is not a folder"},
               // Even root cannot create files in sysfs.
               {"/sys", QXU_E_WRITE, QXU_DETAIL(QXU_E_WRITE, EACCES),
                "Cannot create a file in the destination folder /sys: Permission denied"}};
  for (const auto& c : cases) {
    m_destInfo.szPath = c.path.c_str();
    EXPECT_EQ(c.code, updatePattern()) << c.path;
    expectFailure(c.code, c.detail, c.text);
  }
  EXPECT_EQ(Strings{"plain-file"}, destFiles());
  std::filesystem::create_directories(m_dest / "ziran");
  std::string windows = m_dest / "ziran";
  for (char& c : windows)
    if (c == '/') c = '\\';
  m_destInfo.szPath = windows.c_str();
  EXPECT_EQ(QXU_OK, updatePattern());
  EXPECT_TRUE(fileExists(m_dest / ("ziran/" + kPatternName)));
}

}  // namespace
