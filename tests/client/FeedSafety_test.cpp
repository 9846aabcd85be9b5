// The update path under attack: an old index under other URL spellings or
// from another feed of the same key, a damaged feed state, a server that
// drips its bytes, a commit that fails half-way, a redirect out of TLS, a
// planted link at the private key, and pruning under a live index.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cerrno>
#include <ctime>
#include <filesystem>

#include "ClientTestSupport.h"
#include "FaultServer.h"
#include "feed/FeedCrypto.h"

using namespace ClientTest;
using OrvelTest::fileExists;
using OrvelTest::readFile;
using OrvelTest::writeFile;

namespace {

namespace fs = std::filesystem;

class FeedSafety : public ClientFixture {
 protected:
  Strings stateFiles() const {
    Strings files;
    for (const std::string& name : listFolder(m_work / "kitefeed/state"))
      if (fs::path(name).extension() == ".json")
        files.push_back(m_work / ("kitefeed/state/" + name));
    return files;
  }
};

TEST_F(FeedSafety, TheSerialIsRememberedPerKeyAndFeedNameWhateverTheUrlSpelling) {
  auto feed = fileFeed();
  feed->add(3, kVirusPattern, "576300", {{kPatternName, "pattern"}});
  feed->sign();
  const std::string older = feed->index();
  feed->sign();
  ASSERT_EQ(QXU_OK, updatePattern(feed->url()));
  feed->replaceIndex(older);
  const fs::path folder(feed->folder());
  const std::string parent = folder.parent_path(), name = folder.filename();
  for (const std::string& url :
       {"file://" + parent + "//" + name, "file://" + parent + "/./" + name,
        "file://localhost" + feed->folder()}) {
    EXPECT_EQ(QXU_E_INDEX_REPLAYED, updatePattern(url)) << url;
    expectFailure(QXU_E_INDEX_REPLAYED, 0x00110000u,
                  "has serial 1, but serial 2 was already received");
  }

  // Another feed signed with the same key has a memory of its own, and is
  // refused once the client expects the name of the first.
  const std::string other = m_feeds / "other";
  TestFeed(other, "").add(3, kVirusPattern, "576300", {{kPatternName, "other pattern"}});
  KiteFeed::Publisher(other).sign(feed->privateKeyPem(), "orvel-other", 3600, std::time(nullptr));
  EXPECT_EQ(QXU_OK, updatePattern("file://" + other));
  EXPECT_EQ(2u, stateFiles().size());
  ASSERT_TRUE(m_context->set("FeedName", feed->feedName()));
  EXPECT_EQ(feed->feedName(), m_context->get("FeedName"));
  EXPECT_EQ(QXU_E_WRONG_FEED, updatePattern("file://" + other));
  expectFailure(QXU_E_WRONG_FEED, 0x002F0000u,
                "belongs to the feed \"orvel-other\", not to \"" + feed->feedName() + "\"");
  feed->sign();
  EXPECT_EQ(QXU_OK, updatePattern(feed->url()));
  EXPECT_FALSE(m_context->set("FeedName", "../x"));
  EXPECT_THROW(KiteFeed::Publisher(other).sign(feed->privateKeyPem(), "renamed", 60, 0),
               KiteFeed::PublishError)
      << "a feed keeps its name";
  EXPECT_EQ("The update feed index belongs to another feed than the expected one.",
            errorString(QXU_E_WRONG_FEED));
}

TEST_F(FeedSafety, ADamagedFeedStateIsAnErrorAndStaysUntilTheAdministratorRemovesIt) {
  auto feed = fileFeed();
  feed->add(3, kVirusPattern, "576300", {{kPatternName, "pattern"}});
  feed->sign();
  ASSERT_EQ(QXU_OK, updatePattern(feed->url()));
  ASSERT_EQ(1u, stateFiles().size());
  const std::string state = stateFiles()[0];
  for (const std::string& damage :
       {std::string("garbage"), std::string(), std::string("{\"serial\": 500}")}) {
    writeFile(state, damage);
    EXPECT_EQ(QXU_E_WORK_FOLDER, updatePattern(feed->url(), 576300)) << damage;
    expectFailure(QXU_E_WORK_FOLDER, 0x00180000u, "is damaged; remove it");
    EXPECT_EQ(damage, readFile(state)) << "the state is left as it was";
  }
  fs::remove(state);
  fs::create_directory(state);
  EXPECT_EQ(QXU_E_WORK_FOLDER, updatePattern(feed->url(), 576300));
  expectFailure(QXU_E_WORK_FOLDER, QXU_DETAIL(QXU_E_WORK_FOLDER, EISDIR),
                "Cannot read the feed state");
  fs::remove(state);
  EXPECT_EQ(QXU_UP_TO_DATE, updatePattern(feed->url(), 576300)) << "removing it starts over";
  EXPECT_EQ(Strings{state}, stateFiles());
}

class SlowServer : public FeedSafety {
 protected:
  void SetUp() override {
    FeedSafety::SetUp();
    m_feed = std::make_unique<TestFeed>(m_feeds / "served", "");
    trust(*m_feed);
    m_feed->add(3, kVirusPattern, "576300", {{kPatternName, m_content}});
    m_feed->sign();
    m_server = std::make_unique<FaultServer>(m_feeds.path());
    m_server->drip("/served/" + m_feed->stored(m_content).substr(m_feed->folder().size() + 1), 30);
    ASSERT_TRUE(m_context->set("SocketTimeout", "0.5"));
    ASSERT_TRUE(m_context->set("RetryCount", "0"));
  }
  const std::string m_content = "twelve bytes";
  std::unique_ptr<TestFeed> m_feed;
  std::unique_ptr<FaultServer> m_server;
};

TEST_F(SlowServer, ATransferBelowTheRateFloorFailsAndASlowSteadyOneSucceeds) {
  EXPECT_EQ("1024", m_context->get("LowSpeedLimit"));
  EXPECT_EQ("60", m_context->get("LowSpeedTime"));
  ASSERT_TRUE(m_context->set("LowSpeedTime", "0.1"));
  ASSERT_TRUE(m_context->set("LowSpeedLimit", "100"));
  EXPECT_EQ(QXU_E_TRANSFER_TIMEOUT, updatePattern(m_server->url("/served")));
  expectFailure(QXU_E_TRANSFER_TIMEOUT, 0x001A0000u, "below the floor of 100 bytes/s");
  EXPECT_TRUE(destFiles().empty());

  ASSERT_TRUE(m_context->set("LowSpeedLimit", "5"));
  EXPECT_EQ(QXU_OK, updatePattern(m_server->url("/served")));
  EXPECT_EQ(m_content, readFile(dest(kPatternName)));

  // A window without a single byte is the stall time-out's to judge.
  SilentServer silent;
  ASSERT_TRUE(m_context->set("SocketTimeout", "0.3"));
  EXPECT_EQ(QXU_E_TRANSFER_TIMEOUT,
            updatePattern("http://127.0.0.1:" + std::to_string(silent.port()) + "/feed"));
  expectFailure(QXU_E_TRANSFER_TIMEOUT, 0x001A0000u, "No data arrived for 300 ms.");
}

TEST_F(FeedSafety, AFailedCommitPutsBackTheFilesItHadReplaced) {
  auto feed = fileFeed();
  feed->add(3, kSpamPattern, "2", {{"a.bin", "new a"}, {"b.bin", "new b"}});
  feed->sign();
  writeFile(dest("a.bin"), "old a");
  fs::create_directory(dest("b.bin"));
  m_items = {item(3, kSpamPattern, number(1))};
  EXPECT_EQ(QXU_E_WRITE, update(m_items, feed->url()));
  expectFailure(QXU_E_WRITE, QXU_DETAIL(QXU_E_WRITE, EISDIR), dest("b.bin"));
  EXPECT_EQ("old a", readFile(dest("a.bin")));
  EXPECT_EQ((Strings{"a.bin", "b.bin"}), destFiles()) << "nothing temporary or kept aside stays";
  EXPECT_EQ(1u, m_items[0].stResult.uiMajor);

  fs::remove(dest("b.bin"));
  EXPECT_EQ(QXU_OK, update(m_items, feed->url()));
  EXPECT_EQ("new a", readFile(dest("a.bin")));
  EXPECT_EQ("new b", readFile(dest("b.bin")));
  EXPECT_EQ((Strings{"a.bin", "b.bin"}), destFiles());
}

TEST_F(FeedSafety, HttpsIsNeverRedirectedToHttp) {
  REQUIRE_SERVERS("ORVEL_NGINX_ROOT", "ORVEL_NGINX_HTTP_PORT", "ORVEL_NGINX_HTTPS_PORT",
                  "ORVEL_NGINX_CA");
  auto feed = nginxFeed(true);
  feed->add(3, kVirusPattern, "576300", {{kPatternName, "pattern"}});
  feed->sign();
  ASSERT_TRUE(m_context->set("CAFile", serverVariable("ORVEL_NGINX_CA")));
  const std::string https = "https://127.0.0.1:" + serverVariable("ORVEL_NGINX_HTTPS_PORT");
  const std::string name = fs::path(feed->folder()).filename();
  EXPECT_EQ(QXU_E_TLS, updatePattern(https + "/to-http/" + name));
  expectFailure(QXU_E_TLS, QXU_DETAIL(QXU_E_TLS, 1),
                "Refused the redirect from https to http://127.0.0.1:" +
                    serverVariable("ORVEL_NGINX_HTTP_PORT") + "/" + name + "/kitefeed.idx");
  EXPECT_TRUE(destFiles().empty());
  EXPECT_EQ(QXU_OK, updatePattern(https + "/to-https/" + name)) << "https to https is fine";
  EXPECT_EQ("pattern", readFile(dest(kPatternName)));
}

TEST(KeyFiles, ThePrivateKeyIsCreatedExclusivelyAndNeverThroughALink) {
  OrvelTest::TempDir dir;
  writeFile(dir / "victim", "victim");
  fs::create_symlink(dir / "victim", dir / "feed.pem.tmp");
  std::string publicHex, why;
  ASSERT_TRUE(KiteFeed::makeKeyFiles(dir / "feed.pem", dir / "feed.pub", &publicHex, &why)) << why;
  EXPECT_EQ("victim", readFile(dir / "victim"));
  struct stat st;
  ASSERT_EQ(0, ::lstat((dir / "feed.pem").c_str(), &st));
  EXPECT_TRUE(S_ISREG(st.st_mode));
  EXPECT_EQ(0600u, st.st_mode & 07777);
  const std::string pem = readFile(dir / "feed.pem");

  fs::create_symlink(dir / "victim", dir / "planted.pem");
  for (const std::string& taken : {dir / "planted.pem", dir / "feed.pem"}) {
    EXPECT_FALSE(KiteFeed::makeKeyFiles(taken, dir / "other.pub", &publicHex, &why)) << taken;
    EXPECT_EQ("cannot create " + taken + ": File exists (a key file is never replaced)", why);
  }
  EXPECT_EQ("victim", readFile(dir / "victim"));
  EXPECT_EQ(pem, readFile(dir / "feed.pem"));
  EXPECT_FALSE(fileExists(dir / "other.pub"));
}

TEST_F(FeedSafety, PruningKeepsEveryFileTheLiveIndexStillLists) {
  auto feed = fileFeed();
  feed->add(3, kVirusPattern, "100", {{"ksv$pat.100", "pattern one hundred"}});
  feed->sign();
  feed->keep = 1;
  feed->add(3, kVirusPattern, "101", {{"ksv$pat.101", "pattern one hundred and one"}});
  EXPECT_EQ(QXU_OK, updatePattern(feed->url(), 1)) << "the live index still lists 100";
  EXPECT_EQ("pattern one hundred", readFile(dest("ksv$pat.100")));

  feed->sign();
  EXPECT_EQ(Strings{KiteFeed::sha256Hex("pattern one hundred and one")},
            listFolder(feed->folder() + "/files"))
      << "signing drops what neither index nor catalogue names";
  EXPECT_EQ(QXU_OK, updatePattern(feed->url(), 100));
  EXPECT_EQ("pattern one hundred and one", readFile(dest("ksv$pat.101")));
}

}  // namespace
