// kitefeed-publish: the publisher's rules (newer versions only, kept versions, deltas, pruning,
// key files) in-process, and the command line's exit codes. What a signed index holds shows in the
// client's tests, which read the indexes this publisher makes.
#include "Publisher.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <filesystem>

#include "ClientTestSupport.h"
#include "feed/FeedFormat.h"

using namespace KiteFeed;
using ClientTest::randomBytes;
using OrvelTest::readFile;
using OrvelTest::writeFile;

namespace {

namespace fs = std::filesystem;

class PublisherTest : public ::testing::Test {
 protected:
  void add(const std::string& version, const ClientTest::Files& files) {
    m_last = m_feed.add(kClassNumbered, 4, version, files);
  }
  std::size_t filesIn(const char* folder) const {
    return ClientTest::listFolder(m_feed.folder() + "/" + folder).size();
  }

  OrvelTest::TempDir m_dir, m_input;
  ClientTest::TestFeed m_feed{m_dir / "feed", ""};
  AddResult m_last;
};

TEST_F(PublisherTest, DeltasComeFromKeptVersionsAndOldOnesArePrunedOnceNoLiveIndexNamesThem) {
  std::string v[6];
  v[0] = randomBytes(100000, 1);
  for (int i = 1; i < 6; ++i) (v[i] = v[0])[10 * i] ^= 1;
  add("1", {{"p.1", v[1]}});
  m_feed.sign();
  // Deltas from the kept versions; a dropped version keeps its file while the live index names
  // it (version 1) or cannot be read (version 2), and loses it at the next signing.
  const std::pair<std::size_t, std::size_t> added[] = {{1, 2}, {2, 3}, {2, 4}, {2, 5}};
  for (int i = 2; i < 6; ++i) {
    if (i == 5) m_feed.replaceIndex("damaged");
    add(std::to_string(i), {{"p." + std::to_string(i), v[i]}});
    EXPECT_EQ(added[i - 2], std::make_pair(m_last.deltas, filesIn("files"))) << i;
  }
  EXPECT_EQ(std::vector<std::string>{"2"}, m_last.pruned);
  m_feed.sign();
  EXPECT_EQ(3u, Publisher(m_feed.folder()).list().size());
  EXPECT_EQ(3u, filesIn("files")) << "the files of versions 1 and 2 are gone";
  EXPECT_EQ(3u, filesIn("deltas")) << "3 to 4, 3 to 5, 4 to 5";
}

TEST_F(PublisherTest, BadRequestsAreRefusedWithTheirReason) {
  add("100", {{"a.100", "x"}});
  writeFile(m_input / "a.101", "z");
  const std::string file = m_input / "a.101";
  const struct {
    std::uint32_t itemClass;
    const char* version;
    std::vector<std::string> files;
    std::string why;
  } refused[] = {
      {3,
       "100",
       {file},
       "refusing to publish version 100: it is not newer than the published version 100"},
      {2, "8.700", {file}, "\"8.700\" is not a version of class 2 (three numbers: 8.700.1004)"},
      {3, "101", {"/nonexistent"}, "cannot read /nonexistent: No such file or directory"},
      {3, "101", {}, "an item version needs at least one file"},
      {4, "101", {file}, "the class must be 2 (versioned item) or 3 (numbered item)"}};
  for (const auto& r : refused) {
    std::string why = "accepted";
    try {
      Publisher(m_feed.folder()).add({r.itemClass, 4, 0x101, 0xFFFFFFFF, r.version, r.files});
    } catch (const PublishError& e) {
      why = e.what();
    }
    EXPECT_EQ(r.why, why);
  }
  EXPECT_EQ("x", readFile(m_feed.stored("x")));
  writeFile(m_feed.folder() + "/catalog.json", "{");
  EXPECT_THROW(Publisher(m_feed.folder()).list(), PublishError);
}

TEST(KeyFiles, ThePrivateKeyIsCreatedExclusivelyNeverThroughALinkAndNeverWithoutItsPublicHalf) {
  OrvelTest::TempDir dir;
  writeFile(dir / "victim", "victim");
  fs::create_symlink(dir / "victim", dir / "feed.pem.tmp");
  std::string publicHex, why;
  ASSERT_TRUE(makeKeyFiles(dir / "feed.pem", dir / "feed.pub", &publicHex, &why)) << why;
  EXPECT_EQ("victim", readFile(dir / "victim"));
  struct stat st;
  ASSERT_EQ(0, ::lstat((dir / "feed.pem").c_str(), &st));
  EXPECT_EQ(0600u, st.st_mode & 07777);
  const std::string pem = readFile(dir / "feed.pem");
  EXPECT_FALSE(makeKeyFiles(dir / "feed.pem", dir / "other.pub", &publicHex, &why));
  EXPECT_EQ("cannot create " + (dir / "feed.pem") + ": File exists (a key file is never replaced)",
            why);
  EXPECT_EQ("victim", readFile(dir / "victim"));
  EXPECT_EQ(pem, readFile(dir / "feed.pem"));
  EXPECT_FALSE(OrvelTest::fileExists(dir / "other.pub"));
  EXPECT_FALSE(makeKeyFiles(dir / "new.pem", dir / "missing/new.pub", &publicHex, &why));
  EXPECT_EQ("cannot write " + (dir / "missing/new.pub") + ": No such file or directory", why);
  EXPECT_FALSE(OrvelTest::fileExists(dir / "new.pem"));
}

// ---- the command line ----

// keygen, add and sign succeed as the end-to-end tests' feeds run them.
TEST(PublisherCommand, ARefusalExitsWith1AndAUsageErrorWith2) {
  OrvelTest::TempDir dir;
  auto exitCode = [&dir](const std::string& arguments) {
    const int status = std::system(
        (KITEFEED_PUBLISH_EXE " " + arguments + " >" + (dir / "out") + " 2>&1").c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  };
  writeFile(dir / "p.1", "x");
  EXPECT_EQ(1,
            exitCode("add " + (dir / "feed") + " --class 4 --id 1 --version 1 " + (dir / "p.1")));
  EXPECT_EQ("kitefeed-publish: the class must be 2 (versioned item) or 3 (numbered item)\n",
            readFile(dir / "out"));
  EXPECT_EQ(2, exitCode("frobnicate " + (dir / "feed")));
}

}  // namespace
