#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <map>
#include <string>

#include "FileOpTestSupport.h"

namespace {

namespace fu = OrvelFileOpUtil;
using namespace OrvelTest;

class WalkTest : public ::testing::Test {
 protected:
  void SetUp() override {
    makeDirs(tmp / "t/sub/subsub");
    makeDirs(tmp / "t/pruned");
    writeFile(tmp / "t/one", std::string(10, '1'));
    writeFile(tmp / "t/sub/two", std::string(200, '2'));
    writeFile(tmp / "t/sub/subsub/three", std::string(3000, '3'));
    writeFile(tmp / "t/pruned/hidden", std::string(40000, 'h'));
  }
  bool walk(const std::string& path) {
    return fu::xaccess(path.c_str(), &CallbackRecorder::callback, recorder.entry());
  }
  std::map<std::string, int> actionsByPath() const {
    std::map<std::string, int> result;
    for (const SeenStep& step : recorder.steps) result[step.src] = step.action;
    return result;
  }

  TempDir tmp;
  CallbackRecorder recorder;
};

TEST_F(WalkTest, RecordNeedsTheAnnouncedSize) {
  recorder.entry()->structSize = 0;
  EXPECT_FALSE(walk(tmp / "t"));
  recorder.entry()->structSize = sizeof(fu::CallbackEntry);
  EXPECT_FALSE(walk(tmp / "t"));
  EXPECT_TRUE(recorder.steps.empty());
  EXPECT_FALSE(fu::xaccess((tmp / "t").c_str(), &CallbackRecorder::callback, nullptr));
}

TEST_F(WalkTest, BadPathsAreRefused) {
  EXPECT_FALSE(walk(""));
  EXPECT_FALSE(fu::xaccess(nullptr, &CallbackRecorder::callback, recorder.entry()));
  EXPECT_FALSE(walk(tmp / "missing"));
  EXPECT_FALSE(walk(tmp.path() + "/" + std::string(5000, 'w')));
  EXPECT_TRUE(recorder.steps.empty());
}

TEST_F(WalkTest, FileIsReportedOnceWithSizeAndTime) {
  struct stat status;
  ASSERT_EQ(::stat((tmp / "t/sub/two").c_str(), &status), 0);
  EXPECT_TRUE(walk(win(tmp / "t/sub/two")));
  ASSERT_EQ(recorder.steps.size(), 1u);
  EXPECT_EQ(recorder.steps[0].action, fu::kActionFoundFile);
  EXPECT_EQ(recorder.steps[0].src, win(tmp / "t/sub/two"));
  EXPECT_EQ(recorder.steps[0].dst, "(null)");
  EXPECT_EQ(recorder.entry()->fileSize, 200);
  EXPECT_EQ(recorder.entry()->mtime, status.st_mtime);
}

TEST_F(WalkTest, TreeReportsEveryEntryAndFoldersBeforeTheirContent) {
  EXPECT_TRUE(walk(tmp / "t"));
  const std::map<std::string, int> seen = actionsByPath();
  EXPECT_EQ(seen, (std::map<std::string, int>{{win(tmp / "t/one"), 6},
                                              {win(tmp / "t/sub"), 5},
                                              {win(tmp / "t/sub/two"), 6},
                                              {win(tmp / "t/sub/subsub"), 5},
                                              {win(tmp / "t/sub/subsub/three"), 6},
                                              {win(tmp / "t/pruned"), 5},
                                              {win(tmp / "t/pruned/hidden"), 6}}));
  auto position = [this](const std::string& path) {
    for (std::size_t i = 0; i < recorder.steps.size(); ++i) {
      if (recorder.steps[i].src == win(path)) return i;
    }
    return recorder.steps.size();
  };
  EXPECT_LT(position(tmp / "t/sub"), position(tmp / "t/sub/subsub"));
  EXPECT_LT(position(tmp / "t/sub/subsub"), position(tmp / "t/sub/subsub/three"));
}

TEST_F(WalkTest, CallbackPrunesAFolderByChangingTheAction) {
  const std::string pruned = win(tmp / "t/pruned");
  recorder.answer = [pruned](const fu::CallbackEntry& e) {
    if (pruned == e.srcPath) const_cast<fu::CallbackEntry&>(e).action = fu::kActionFoundFile;
    return 99;  // ignored by the walk
  };
  EXPECT_TRUE(walk(tmp / "t/"));
  EXPECT_EQ(recorder.steps.size(), 6u);
  EXPECT_EQ(actionsByPath().count(win(tmp / "t/pruned/hidden")), 0u);
}

TEST_F(WalkTest, DirSizeAddsUpEveryFileBelow) {
  EXPECT_EQ(fu::getDirSize(win(tmp / "t").c_str()), 10 + 200 + 3000 + 40000);
  EXPECT_EQ(fu::getDirSize((tmp / "t/sub/").c_str()), 3200);
  EXPECT_EQ(fu::getDirSize((tmp / "t/one").c_str()), 10);
  EXPECT_EQ(fu::getDirSize((tmp / "missing").c_str()), -1);
  EXPECT_EQ(fu::getDirSize(""), -1);
  EXPECT_EQ(fu::getDirSize(nullptr), -1);
}

TEST_F(WalkTest, SizesBeyond32BitsStopAtTheLargestValue) {
  // Sparse files: 3 GiB of size without using the disk.
  for (const char* name : {"t/sub/huge1", "t/sub/huge2"}) {
    writeFile(tmp / name, "");
    ASSERT_EQ(::truncate((tmp / name).c_str(), 3LL << 30), 0);
  }
  EXPECT_TRUE(walk(tmp / "t/sub/huge1"));
  EXPECT_EQ(recorder.entry()->fileSize, INT_MAX);
  EXPECT_EQ(fu::getDirSize((tmp / "t").c_str()), INT_MAX);
}

}  // namespace
