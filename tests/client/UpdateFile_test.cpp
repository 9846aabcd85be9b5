// QxuUpdateEx against feeds reached through file://: downloads, version queries, deltas, and every
// kind of bad input a feed, its state or a destination can bring.
#include <gtest/gtest.h>

#include <cerrno>
#include <ctime>
#include <filesystem>
#include <functional>

#include "ClientTestSupport.h"
#include "feed/FeedCrypto.h"

using namespace ClientTest;
using OrvelTest::readFile;
using OrvelTest::writeFile;

namespace {

namespace fs = std::filesystem;

using FileFeed = ClientFixture;

// ---- downloads and queries ----

// Large enough that the digest is computed over many blocks in flight.
TEST_F(FileFeed, ALargePatternArrivesWhole) {
  const std::string content = publishPattern(*m_feed, 5 << 20);
  EXPECT_EQ(QXU_OK, updatePattern());
  EXPECT_EQ(content, readFile(dest(kPatternName)));
}

// Versions, engines and items of many files show in the end-to-end tests.
TEST_F(FileFeed, EntriesAreChosenByPlatformAndLanguageAndAQueryOfNoListedItemFails) {
  m_feed->add(3, kVirusPattern, "500", {{"linux-english", "L1"}}, 0x101, 0x1);
  m_feed->add(3, kVirusPattern, "600", {{"linux-japanese", "L4"}}, 0x101, 0x4);
  m_feed->add(3, kVirusPattern, "700", {{"win32-all", "W"}}, 0x1, 0xFFFFFFFF);
  m_feed->sign();
  m_items = {item(2, 0x20000000, {3, 0, 1027}, QXU_ITEM_QUERY)};
  expectFailure(update(m_items, m_feed->url()), QXU_E_HTTP_STATUS, QXU_DETAIL_NOT_FOUND,
                "lists none of the 1 items");
  m_items = {item(3, kVirusPattern, number(1))};
  m_items[0].uiLanguage = 4;
  EXPECT_EQ(QXU_OK, update(m_items, m_feed->url()));
  EXPECT_EQ("600.0.0", result());
  EXPECT_EQ(Strings{"linux-japanese"}, listFolder(m_dest.path()));
}

// ---- deltas ----

// That a delta is fetched instead of the whole file, and the whole file without a staged base,
// shows in the end-to-end tests' staging.
TEST_F(FileFeed, ADeltaThatDoesNotApplyLeavesTheStagedPatternAsItWas) {
  // Pattern 100 and then 101 with a few changed bytes: one delta.
  const std::string oldPattern = randomBytes(200000, 1);
  std::string newPattern = oldPattern;
  for (std::size_t i = 1000; i < newPattern.size(); i += 20000) newPattern[i] ^= 0x5A;
  m_feed->add(3, kVirusPattern, "100", {{"ksv$pat.100", oldPattern}});
  m_feed->add(3, kVirusPattern, "101", {{"ksv$pat.101", newPattern}});
  m_feed->sign();
  std::string wrongBase = oldPattern;
  wrongBase[5] ^= 1;  // same size, other content
  writeFile(dest("ksv$pat.100"), wrongBase);
  expectFailure(updatePattern(100), QXU_E_MERGE, 0x002E0000u,
                "The delta from ksv$pat.100 to ksv$pat.101", {"ksv$pat.100"});
  EXPECT_EQ(wrongBase, readFile(dest("ksv$pat.100")));
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
                {"missing", [&] { fs::remove(m_feed->stored(content)); }, QXU_E_HTTP_STATUS,
                 QXU_DETAIL_NOT_FOUND, "not found"},
                {"changed body",
                 [this] {
                   std::string index = m_feed->index();
                   index[index.find("576300")] = '9';
                   m_feed->replaceIndex(index);
                 },
                 QXU_E_BAD_SIGNATURE, 0x000E0000u, "does not verify with key"},
                {"untrusted key", [this] { QxuDelTrusted(keyId(m_feed->publicKeyHex()).c_str()); },
                 QXU_E_UNKNOWN_KEY, 0x000F0000u, "which is not trusted"},
                {"expired",
                 [this] {
                   m_feed->sign(60);
                   m_clock->set(std::time(nullptr) + 61);  // signed at the real time
                 },
                 QXU_E_INDEX_EXPIRED, 0x00100000u, "(serial 2) expired at"},
                {"not an index", [this] { m_feed->replaceIndex("<html>not an index</html>"); },
                 QXU_E_INDEX_FORMAT, 0x00130000u, "does not begin with \"KITEFEED-INDEX 1\""},
                // A working folder that trusts no key at all.
                {"no key trusted",
                 [this] { QxuSetProperty("KiteFeedPath_FromLoader", m_feeds.path().c_str()); },
                 QXU_E_NO_TRUSTED_KEY, 0x000D0000u, "No trusted feed key is installed"},
                {"above the cap", [this] { m_feed->replaceIndex(std::string(6 << 20, 'x')); },
                 QXU_E_INDEX_TOO_LARGE, 0x00120000u, "has more than 4194304 bytes"}};
  for (const auto& fault : faults) {
    SCOPED_TRACE(fault.what);
    m_feed = fileFeed();
    m_context = std::make_unique<ClientContext>();
    content = publishPattern(*m_feed);
    fault.make();
    expectFailure(updatePattern(), fault.code, fault.detail, fault.text);
  }
  EXPECT_EQ(0u, bytesFetched()) << "the index is not read whole";

  // A failing file of a many-file item commits none of them.
  m_feed->add(3, kSpamPattern, "15000", {{"qx015000.rul", "r"}, {"qx015000.sig", "s"}});
  m_feed->sign();
  writeFile(m_feed->stored("s"), "S");
  m_items = {item(3, kSpamPattern, number(1))};
  expectFailure(update(m_items, m_feed->url()), QXU_E_FILE_DIGEST, 0x00150000u, "qx015000.sig");
}

Strings stateFiles(const std::string& work) {
  Strings files;
  for (const std::string& name : listFolder(work + "/kitefeed/state"))
    if (fs::path(name).extension() == ".json") files.push_back(work + "/kitefeed/state/" + name);
  return files;
}

// Whatever the URL spelling, and however the same serial comes back; a damaged state stays until
// the administrator removes it.
TEST_F(FileFeed, TheSerialIsRememberedPerKeyAndFeedNameAndAnOlderOrChangedIndexIsAReplay) {
  m_feed->add(3, kVirusPattern, "576300", {{kPatternName, "pattern"}});
  m_feed->sign();
  const std::string older = m_feed->index();
  m_feed->sign();
  ASSERT_EQ(QXU_UP_TO_DATE, updatePattern(576300));
  const Strings state = stateFiles(m_work.path());
  ASSERT_EQ(1u, state.size());
  m_feed->replaceIndex(older);
  expectFailure(updatePattern("file://localhost" + m_feed->folder()), QXU_E_INDEX_REPLAYED,
                0x00110000u, "has serial 1, but serial 2 was already received");
  const std::string catalogPath = m_feed->folder() + "/catalog.json";
  std::string catalog = readFile(catalogPath);
  const std::size_t at = catalog.find("\"serial\": 2");
  writeFile(catalogPath, catalog.replace(at, 11, "\"serial\": 1"));
  m_feed->add(3, 0x20000400, "7", {{"spyxdb.  7", "spyware"}});
  m_feed->sign();  // serial 2 again, other content
  expectFailure(updatePattern(576300), QXU_E_INDEX_REPLAYED, 0x00110000u,
                "repeats serial 2 with different content");
  writeFile(state[0], "garbage");
  expectFailure(updatePattern(576300), QXU_E_WORK_FOLDER, 0x00180000u, "is damaged; remove it");
  EXPECT_EQ("garbage", readFile(state[0])) << "the state is left as it was";
  fs::remove(state[0]);
  EXPECT_EQ(QXU_UP_TO_DATE, updatePattern(576300)) << "removing it starts over";
  EXPECT_EQ(state, stateFiles(m_work.path()));
}

// ---- bad sources and destinations ----

TEST_F(FileFeed, BadSourcesAndDestinationsAreRefusedBeforeAnyFileIsWritten) {
  publishPattern(*m_feed);
  expectFailure(updatePattern("ftp://127.0.0.1/feed"), QXU_E_BAD_URL, 0x00050000u,
                "does not begin with http://, https:// or file://");
  writeFile(m_dest / "plain-file", "x");
  const struct {
    std::string path;
    int code;
    unsigned detail;
    const char* text;
  } cases[] = {{m_dest / "no/such/folder", QXU_E_DEST_FOLDER, QXU_DETAIL(QXU_E_DEST_FOLDER, ENOENT),
                "cannot be used"},
               {m_dest / "plain-file", QXU_E_DEST_FOLDER, QXU_DETAIL(QXU_E_DEST_FOLDER, ENOTDIR),
                "is not a folder"},
               // Even root cannot create files in sysfs.
               {"/sys", QXU_E_WRITE, QXU_DETAIL(QXU_E_WRITE, EACCES),
                "Cannot create a file in the destination folder /sys: Permission denied"}};
  for (const auto& c : cases) {
    m_destInfo.szPath = c.path.c_str();
    SCOPED_TRACE(c.path);
    expectFailure(updatePattern(), c.code, c.detail, c.text, {"plain-file"});
  }
  m_items = {item(3, kVirusPattern, number(1))};
  m_items[0].pDest = nullptr;
  expectFailure(update(m_items, m_feed->url()), QXU_E_INVALID_ARGUMENT,
                QXU_DETAIL(QXU_E_INVALID_ARGUMENT, 0), "has no destination", {"plain-file"});
}

TEST_F(FileFeed, AFailedCommitPutsBackTheFilesItHadReplaced) {
  m_feed->add(3, kSpamPattern, "2", {{"a.bin", "new a"}, {"b.bin", "new b"}});
  m_feed->sign();
  writeFile(dest("a.bin"), "old a");
  fs::create_directory(dest("b.bin"));
  m_items = {item(3, kSpamPattern, number(1))};
  // Nothing temporary or kept aside stays.
  expectFailure(update(m_items, m_feed->url()), QXU_E_WRITE, QXU_DETAIL(QXU_E_WRITE, EISDIR),
                dest("b.bin"), {"a.bin", "b.bin"});
  EXPECT_EQ("old a", readFile(dest("a.bin")));
  EXPECT_EQ("1.0.0", result());
  fs::remove(dest("b.bin"));
  EXPECT_EQ(QXU_OK, update(m_items, m_feed->url()));
  EXPECT_EQ("new a", readFile(dest("a.bin")));
  EXPECT_EQ("new b", readFile(dest("b.bin")));
}

}  // namespace
