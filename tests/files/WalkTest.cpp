#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <map>
#include <string>
#include <vector>

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

TEST_F(WalkTest, RecordNeedsTheAnnouncedSizeAndThePathMustExist) {
  recorder.entry()->structSize = 0;
  EXPECT_FALSE(walk(tmp / "t"));
  recorder.entry()->structSize = sizeof(fu::CallbackEntry);
  EXPECT_FALSE(walk(tmp / "t"));
  EXPECT_FALSE(fu::xaccess((tmp / "t").c_str(), &CallbackRecorder::callback, nullptr));
  recorder.entry()->structSize = fu::kCallbackEntrySize;
  EXPECT_FALSE(walk(tmp / "missing"));
  EXPECT_TRUE(recorder.steps.empty());
}

TEST_F(WalkTest, AFileIsReportedOnceWithSizeAndTimeAndSizesStopAtTheLargestValue) {
  struct stat status;
  ASSERT_EQ(::stat((tmp / "t/sub/two").c_str(), &status), 0);
  EXPECT_TRUE(walk(win(tmp / "t/sub/two")));
  ASSERT_EQ(recorder.steps.size(), 1u);
  EXPECT_EQ(recorder.steps[0].src, win(tmp / "t/sub/two"));
  EXPECT_EQ(recorder.steps[0].dst, "(null)");
  EXPECT_EQ(recorder.take(), (Steps{{fu::kActionFoundFile, 0}}));
  EXPECT_EQ(recorder.entry()->fileSize, 200);
  EXPECT_EQ(recorder.entry()->mtime, status.st_mtime);
  EXPECT_EQ(fu::getDirSize(win(tmp / "t").c_str()), 10 + 200 + 3000 + 40000);
  EXPECT_EQ(fu::getDirSize((tmp / "t/sub/").c_str()), 3200);
  EXPECT_EQ(fu::getDirSize((tmp / "t/one").c_str()), 10);
  EXPECT_EQ(fu::getDirSize((tmp / "missing").c_str()), -1);
  // Sparse files: 3 GiB of size without using the disk.
  for (const char* name : {"t/sub/huge1", "t/sub/huge2"}) {
    writeFile(tmp / name, "");
    ASSERT_EQ(::truncate((tmp / name).c_str(), 3LL << 30), 0);
  }
  EXPECT_TRUE(walk(tmp / "t/sub/huge1"));
  EXPECT_EQ(recorder.entry()->fileSize, INT_MAX);
  EXPECT_EQ(fu::getDirSize((tmp / "t").c_str()), INT_MAX);
}

TEST_F(WalkTest, TreeReportsEveryEntryFoldersBeforeTheirContentAndACallbackPrunes) {
  EXPECT_TRUE(walk(tmp / "t"));
  EXPECT_EQ(actionsByPath(), (std::map<std::string, int>{{win(tmp / "t/one"), 6},
                                                         {win(tmp / "t/sub"), 5},
                                                         {win(tmp / "t/sub/two"), 6},
                                                         {win(tmp / "t/sub/subsub"), 5},
                                                         {win(tmp / "t/sub/subsub/three"), 6},
                                                         {win(tmp / "t/pruned"), 5},
                                                         {win(tmp / "t/pruned/hidden"), 6}}));
  std::vector<std::string> order;
  for (const SeenStep& step : recorder.steps) order.push_back(step.src);
  auto at = [&order](const std::string& path) {
    return std::find(order.begin(), order.end(), win(path)) - order.begin();
  };
  EXPECT_LT(at(tmp / "t/sub"), at(tmp / "t/sub/subsub"));
  EXPECT_LT(at(tmp / "t/sub/subsub"), at(tmp / "t/sub/subsub/three"));

  recorder.steps.clear();
  const std::string pruned = win(tmp / "t/pruned");
  recorder.answer = [pruned](const fu::CallbackEntry& e) {
    if (pruned == e.srcPath) const_cast<fu::CallbackEntry&>(e).action = fu::kActionFoundFile;
    return 99;  // ignored by the walk
  };
  EXPECT_TRUE(walk(tmp / "t/"));
  EXPECT_EQ(recorder.steps.size(), 6u);
  EXPECT_EQ(actionsByPath().count(win(tmp / "t/pruned/hidden")), 0u);
}

}  // namespace
