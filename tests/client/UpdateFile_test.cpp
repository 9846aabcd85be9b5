// QxuUpdateEx against feeds reached through file://: downloads, version
// queries, deltas, and every kind of bad input the feed can bring.
#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <thread>

#include "ClientTestSupport.h"

using namespace ClientTest;
using OrvelTest::fileExists;
using OrvelTest::readFile;
using OrvelTest::writeFile;

namespace {

constexpr std::uint32_t kLinuxEngine = 0x20000;
constexpr std::uint32_t kSpamIncremental = 0x4000001;

class FileFeed : public ClientFixture {
 protected:
  void SetUp() override {
    ClientFixture::SetUp();
    m_feed = fileFeed();
  }
  using ClientFixture::updatePattern;
  int updatePattern(unsigned current = 100000, unsigned option = QXU_ITEM_INCREMENTAL) {
    return updatePattern(m_feed->url(), current, option);
  }
  std::uint64_t bytesFetched() const { return std::stoull(m_context->get("LastBytesFetched")); }

  std::unique_ptr<TestFeed> m_feed;
};

// ---- downloads and queries ----

TEST_F(FileFeed, DownloadsANewerPatternUnderItsNameAndIsUpToDateWithItAfterwards) {
  const std::string content = publishPattern(*m_feed);
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
  publishPattern(*m_feed);
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

TEST_F(FileFeed, VersionsComparePlatformAndLanguageChooseTheEntryAndSpamFilesTravelTogether) {
  const Strings rules = {"qx015000.exp", "qx015000.hsh", "qx015000.phi", "qx015000.rul",
                         "qx015000.sig"};
  std::vector<std::pair<std::string, std::string>> spam;
  for (const std::string& name : rules) spam.emplace_back(name, name);
  m_feed->add(2, kLinuxEngine, "8.700.1004", {{"ziran32.dll", "new engine"}});
  m_feed->add(3, kVirusPattern, "500", {{"linux-english", "L1"}}, 0x101, 0x1);
  m_feed->add(3, kVirusPattern, "600", {{"linux-japanese", "L4"}}, 0x101, 0x4);
  m_feed->add(3, kVirusPattern, "700", {{"win32-all", "W"}}, 0x1, 0xFFFFFFFF);
  m_feed->add(3, kSpamPattern, "15000", spam);
  m_feed->add(3, kSpamIncremental, "15000001", {{"qx015000.001", "patch"}});
  m_feed->sign();
  m_items = {item(2, kLinuxEngine, version(8, 700, 1005))};
  EXPECT_EQ(QXU_UP_TO_DATE, update(m_items, m_feed->url()));
  m_items = {item(2, kLinuxEngine, version(8, 650, 2000)), item(3, kVirusPattern, number(1)),
             item(3, kSpamPattern, number(14000)), item(3, kSpamIncremental, number(14000001))};
  m_items[1].uiLanguage = 4;
  EXPECT_EQ(QXU_OK, update(m_items, m_feed->url()));
  EXPECT_EQ("new engine", readFile(dest("ziran32.dll")));
  EXPECT_EQ(600u, m_items[1].stResult.uiMajor);
  EXPECT_EQ(15000u, m_items[2].stResult.uiMajor);
  EXPECT_EQ(15000001u, m_items[3].stResult.uiMajor);
  m_items = {item(3, kVirusPattern, number(1))};
  m_items[0].uiPlatform = 0x202;
  EXPECT_EQ(QXU_E_HTTP_STATUS, update(m_items, m_feed->url()));
  EXPECT_EQ((Strings{"linux-japanese", "qx015000.001", "qx015000.exp", "qx015000.hsh",
                     "qx015000.phi", "qx015000.rul", "qx015000.sig", "ziran32.dll"}),
            destFiles());
}

TEST_F(FileFeed, ProgressIsReportedPerItemAndAZeroAnswerCancels) {
  publishPattern(*m_feed, 300000);
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
  const std::string content = publishPattern(*m_feed, 5 << 20);
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

TEST_F(FileFeed, OnlyADeltaFromTheStagedCurrentPatternIsUsedAndOnlyWhenItApplies) {
  // Pattern 100 and then 101 with a few changed bytes: one delta.
  const std::string oldPattern = randomBytes(200000, 1);
  std::string newPattern = oldPattern;
  for (std::size_t i = 1000; i < newPattern.size(); i += 20000) newPattern[i] ^= 0x5A;
  m_feed->add(3, kVirusPattern, "100", {{"ksv$pat.100", oldPattern}});
  m_feed->add(3, kVirusPattern, "101", {{"ksv$pat.101", newPattern}});
  m_feed->sign();
  const std::uint64_t whole = m_feed->index().size() + newPattern.size();
  writeFile(dest("ksv$pat.100"), oldPattern);
  EXPECT_EQ(QXU_OK, updatePattern(100));
  EXPECT_EQ(newPattern, readFile(dest("ksv$pat.101")));
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
  EXPECT_EQ(newPattern, readFile(dest("ksv$pat.101")));
  // A staged base of another size is no base either.
  writeFile(dest("ksv$pat.100"), oldPattern.substr(0, 1000));
  EXPECT_EQ(QXU_OK, updatePattern(100));
  EXPECT_EQ(whole, bytesFetched());

  // A delta that does not apply is a merge failure, a corrupt one a digest failure.
  std::string wrongBase = oldPattern;
  wrongBase[5] ^= 1;  // same size, other content
  writeFile(dest("ksv$pat.100"), wrongBase);
  std::filesystem::remove(dest("ksv$pat.101"));
  EXPECT_EQ(QXU_E_MERGE, updatePattern(100));
  expectFailure(QXU_E_MERGE, 0x002E0000u, "The delta from ksv$pat.100 to ksv$pat.101");
  EXPECT_EQ(100u, m_items[0].stResult.uiMajor) << "the pattern did not move";
  EXPECT_EQ(Strings{"ksv$pat.100"}, destFiles());
  EXPECT_EQ(wrongBase, readFile(dest("ksv$pat.100")));
  writeFile(dest("ksv$pat.100"), oldPattern);
  const std::string deltas = m_feed->folder() + "/deltas/";
  const std::string deltaPath = deltas + listFolder(deltas).at(0);
  std::string delta = readFile(deltaPath);
  delta[delta.size() / 2] ^= 0x01;
  writeFile(deltaPath, delta);
  EXPECT_EQ(QXU_E_FILE_DIGEST, updatePattern(100));
  EXPECT_EQ(Strings{"ksv$pat.100"}, destFiles());
  // What the library does next: the same call with full files succeeds.
  EXPECT_EQ(QXU_OK, updatePattern(100, QXU_ITEM_FULL));
  EXPECT_EQ(newPattern, readFile(dest("ksv$pat.101")));
}

// ---- what a feed can do wrong ----

// Each fault: code, detail, a part of the text, and no file in the destination.
TEST_F(FileFeed, EveryFaultOfAFeedIsRefusedWithItsCodeAndLeavesNothing) {
  std::string content;
  auto rewrite = [&](const std::function<void(std::string&)>& change) {
    std::string bytes = content;
    change(bytes);
    writeFile(m_feed->stored(content), bytes);
  };
  const struct {
    const char* what;
    std::function<void()> make;
    int code;
    unsigned detail;
    std::string text;
  } faults[] = {{"tampered", [&] { rewrite([](std::string& b) { b[10] ^= 0x20; }); },
                 QXU_E_FILE_DIGEST, 0x00150000u, "The SHA-256 of " + kPatternName},
                {"longer", [&] { rewrite([](std::string& b) { b += "extra"; }); }, QXU_E_FILE_SIZE,
                 0x00140000u, "announces 4101 bytes for " + kPatternName},
                {"shorter", [&] { rewrite([](std::string& b) { b.resize(4000); }); },
                 QXU_E_FILE_SIZE, 0x00140000u, kPatternName},
                {"missing", [&] { std::filesystem::remove(m_feed->stored(content)); },
                 QXU_E_HTTP_STATUS, QXU_DETAIL_NOT_FOUND, "not found"},
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
                {"above a lowered cap",
                 [this] {
                   for (std::uint32_t id = 1; id <= 3; ++id)
                     m_feed->add(3, id, "1", {{"file", "x"}});
                   m_feed->sign();
                   ASSERT_GT(m_feed->index().size(), 1024u);
                   ASSERT_TRUE(m_context->set("IndexMaxBytes", "1024"));
                 },
                 QXU_E_INDEX_TOO_LARGE, 0x00120000u, "has more than 1024 bytes"},
                {"above the cap", [this] { m_feed->replaceIndex(std::string(6 << 20, 'x')); },
                 QXU_E_INDEX_TOO_LARGE, 0x00120000u, "has more than 4194304 bytes"}};
  for (const auto& fault : faults) {
    SCOPED_TRACE(fault.what);
    m_feed = fileFeed();
    m_context = std::make_unique<ClientContext>();
    content = publishPattern(*m_feed);
    fault.make();
    EXPECT_EQ(fault.code, updatePattern());
    expectFailure(fault.code, fault.detail, fault.text);
    EXPECT_TRUE(destFiles().empty());
  }
  EXPECT_EQ(0u, bytesFetched()) << "the index is not read whole";
  EXPECT_EQ(
      "A downloaded file does not match its SHA-256 digest in the feed index (tampered or "
      "corrupt).",
      errorString(QXU_E_FILE_DIGEST));

  // A failing file of a many-file item commits none of them.
  m_feed->add(3, kSpamPattern, "15000", {{"qx015000.rul", "r"}, {"qx015000.sig", "s"}});
  m_feed->sign();
  writeFile(m_feed->stored("s"), "S");
  m_items = {item(3, kSpamPattern, number(1))};
  EXPECT_EQ(QXU_E_FILE_DIGEST, update(m_items, m_feed->url()));
  EXPECT_TRUE(destFiles().empty());
}

TEST_F(FileFeed, OnlyTrustedKeysCount) {
  publishPattern(*m_feed);
  TestFeed stranger(m_feeds / "stranger", "file://" + (m_feeds / "stranger"));
  stranger.add(3, kVirusPattern, "576300", {{kPatternName, "x"}});
  stranger.sign();
  EXPECT_EQ(QXU_E_UNKNOWN_KEY, updatePattern(stranger.url()));
  expectFailure(QXU_E_UNKNOWN_KEY, 0x000F0000u, "which is not trusted");
  char id[65];
  ASSERT_EQ(QXU_OK, QxuEnumTrustedInfo(0, id, sizeof id));
  ASSERT_EQ(QXU_OK, QxuDelTrusted(id));
  EXPECT_EQ(QXU_E_NO_TRUSTED_KEY, updatePattern());
  EXPECT_EQ(0u, bytesFetched());
  ASSERT_EQ(QXU_OK, QxuAddTrusted(m_feed->publicKeyHex().c_str()));
  EXPECT_EQ(QXU_OK, updatePattern());
}

TEST_F(FileFeed, AnOlderIndexOrTheSameSerialWithOtherContentIsAReplay) {
  publishPattern(*m_feed);
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
  writeFile(catalogPath, catalog.replace(at, 11, "\"serial\": 1"));
  m_feed->add(3, 0x20000400, "7", {{"spyxdb.  7", "spyware"}});
  m_feed->sign();  // serial 2 again, other content
  EXPECT_EQ(QXU_E_INDEX_REPLAYED, updatePattern(576300));
  expectFailure(QXU_E_INDEX_REPLAYED, 0x00110000u, "repeats serial 2 with different content");
}

// ---- bad sources and destinations ----

TEST_F(FileFeed, BadSourcesAndDestinationsAreRefusedBeforeAnyFileIsWritten) {
  publishPattern(*m_feed);
  for (const std::string& url : {m_feed->folder(), std::string("127.0.0.1/feed"),
                                 std::string("ftp://127.0.0.1/feed"), std::string("")}) {
    EXPECT_EQ(QXU_E_BAD_URL, updatePattern(url)) << url;
    expectFailure(QXU_E_BAD_URL, 0x00050000u, "does not begin with http://, https:// or file://");
  }
  EXPECT_TRUE(destFiles().empty());
  EXPECT_EQ("The source URL must begin with http://, https:// or file://.",
            errorString(QXU_E_BAD_URL));

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
  m_items = {item(3, kVirusPattern, number(1))};
  m_items[0].pDest = nullptr;
  EXPECT_EQ(QXU_E_INVALID_ARGUMENT, update(m_items, m_feed->url()));
  expectFailure(QXU_E_INVALID_ARGUMENT, QXU_DETAIL(QXU_E_INVALID_ARGUMENT, 0),
                "has no destination");
  // The destination may be written with backslashes.
  std::filesystem::create_directories(m_dest / "ziran");
  std::string windows = m_dest / "ziran";
  for (char& c : windows)
    if (c == '/') c = '\\';
  m_destInfo.szPath = windows.c_str();
  EXPECT_EQ(QXU_OK, updatePattern());
  EXPECT_TRUE(fileExists(m_dest / ("ziran/" + kPatternName)));
}

}  // namespace
