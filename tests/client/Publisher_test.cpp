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

// Deltas from the kept versions; a dropped version keeps its file while the live index names it
// (version 1) or cannot be read (version 2), and loses it at the next signing.
TEST(Publisher,
     DeltasComeFromKeptVersionsOldOnesArePrunedOnceNoLiveIndexNamesThemAndBadRequestsFail) {
  OrvelTest::TempDir dir;
  ClientTest::TestFeed feed(dir / "feed", "");
  auto filesIn = [&feed](const char* folder) {
    return ClientTest::listFolder(feed.folder() + "/" + folder).size();
  };
  std::string v[6];
  v[0] = randomBytes(100000, 1);
  for (int i = 1; i < 6; ++i) (v[i] = v[0])[10 * i] ^= 1;
  feed.add(kClassNumbered, 4, "1", {{"p.1", v[1]}});
  feed.sign();
  const std::pair<std::size_t, std::size_t> added[] = {{1, 2}, {2, 3}, {2, 4}, {2, 5}};
  AddResult last;
  for (int i = 2; i < 6; ++i) {
    if (i == 5) feed.replaceIndex("damaged");
    last = feed.add(kClassNumbered, 4, std::to_string(i), {{"p." + std::to_string(i), v[i]}});
    EXPECT_EQ(added[i - 2], std::make_pair(last.deltas, filesIn("files"))) << i;
  }
  EXPECT_EQ(std::vector<std::string>{"2"}, last.pruned);
  feed.sign();
  EXPECT_EQ(3u, Publisher(feed.folder()).list().size());
  EXPECT_EQ(3u, filesIn("files")) << "the files of versions 1 and 2 are gone";
  EXPECT_EQ(3u, filesIn("deltas")) << "3 to 4, 3 to 5, 4 to 5";

  const std::string file = dir / "p.6";
  writeFile(file, "z");
  const struct {
    std::uint32_t itemClass;
    const char* version;
    std::vector<std::string> files;
    std::string why;
  } refused[] = {
      {3,
       "5",
       {file},
       "refusing to publish version 5: it is not newer than the published version 5"},
      {2, "8.700", {file}, "\"8.700\" is not a version of class 2 (three numbers: 8.700.1004)"},
      {3, "6", {"/nonexistent"}, "cannot read /nonexistent: No such file or directory"},
      {3, "6", {}, "an item version needs at least one file"}};
  for (const auto& r : refused) {
    std::string why = "accepted";
    try {
      Publisher(feed.folder()).add({r.itemClass, 4, 0x101, 0xFFFFFFFF, r.version, r.files});
    } catch (const PublishError& e) {
      why = e.what();
    }
    EXPECT_EQ(r.why, why);
  }
  EXPECT_EQ(3u, filesIn("files")) << "a refusal stores nothing and removes nothing";
  writeFile(feed.folder() + "/catalog.json", "{");
  EXPECT_THROW(Publisher(feed.folder()).list(), PublishError);
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
TEST(PublisherCommand, ARefusalExitsWith1AndSaysWhy) {
  OrvelTest::TempDir dir;
  writeFile(dir / "p.1", "x");
  const int status = std::system((KITEFEED_PUBLISH_EXE " add " + (dir / "feed") +
                                  " --class 4 --id 1 --version 1 " + (dir / "p.1") + " >" +
                                  (dir / "out") + " 2>&1")
                                     .c_str());
  EXPECT_EQ(1, WEXITSTATUS(status));
  EXPECT_EQ("kitefeed-publish: the class must be 2 (versioned item) or 3 (numbered item)\n",
            readFile(dir / "out"));
}

}  // namespace
