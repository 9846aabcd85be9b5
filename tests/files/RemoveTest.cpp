#include <gtest/gtest.h>
#include <unistd.h>

#include <string>

#include "FileOpTestSupport.h"

namespace {

namespace fu = OrvelFileOpUtil;
using namespace OrvelTest;

class RemoveTest : public ::testing::Test {
 protected:
  void SetUp() override {
    makeDirs(tmp / "d/x.tmp");
    makeDirs(tmp / "d/y.tmp");
    makeDirs(tmp / "d/keep");
    writeFile(tmp / "d/a.tmp", "");
    writeFile(tmp / "d/B.TMP", "");
    writeFile(tmp / "d/c.txt", "");
    writeFile(tmp / "d/y.tmp/inner", "");
  }
  int unlink(const std::string& path) {
    return fu::unlink(path.c_str(), &CallbackRecorder::callback, recorder.entry());
  }
  int xunlink(const std::string& path) {
    return fu::xunlink(path.c_str(), &CallbackRecorder::callback, recorder.entry());
  }

  TempDir tmp;
  CallbackRecorder recorder;
};

TEST_F(RemoveTest, FilesAndEmptyFoldersGoFoldersWithEntriesAndMissingNamesAreNoError) {
  EXPECT_EQ(unlink(win(tmp / "d/c.txt")), fu::kOk);
  EXPECT_FALSE(fileExists(tmp / "d/c.txt"));
  EXPECT_EQ(recorder.steps[0].src, win(tmp / "d/c.txt"));
  EXPECT_EQ(recorder.steps[0].dst, "(null)");
  EXPECT_EQ(recorder.take(), (Steps{{2, 0}, {2, 1}}));

  EXPECT_EQ(unlink(tmp / "d/y.tmp/"), fu::kOk);
  EXPECT_TRUE(fileExists(tmp / "d/y.tmp/inner"));
  EXPECT_EQ(recorder.take(), (Steps{{4, 0}}));
  EXPECT_EQ(unlink(win(tmp / "d/keep") + "\\"), fu::kOk);
  EXPECT_FALSE(fileExists(tmp / "d/keep"));
  EXPECT_EQ(recorder.steps[0].src, win(tmp / "d/keep"));
  EXPECT_EQ(recorder.take(), (Steps{{4, 0}, {4, 1}}));

  EXPECT_EQ(fu::unlink((tmp / "d/none").c_str()), fu::kOk);
  EXPECT_EQ(fu::xunlink((tmp / "d/none").c_str()), fu::kOk);
  EXPECT_EQ(fu::unlink("/proc/version"), fu::kErrRemoveFailed);
  EXPECT_EQ(fu::unlink("\\proc"), fu::kErrRemoveFailed);
}

TEST_F(RemoveTest, FiltersTakeMatchingFilesAndEmptyFoldersOrWholeTrees) {
  EXPECT_EQ(fu::unlink((tmp / "d/*.tmp").c_str()), fu::kOk);
  EXPECT_EQ(namesIn(tmp / "d"), (std::set<std::string>{"y.tmp", "keep", "c.txt"}));
  EXPECT_TRUE(fileExists(tmp / "d/y.tmp/inner"));
  makeDirs(tmp / "d/x.tmp");
  EXPECT_EQ(fu::xunlink(win(tmp / "d/*.tmp").c_str()), fu::kOk);
  EXPECT_EQ(namesIn(tmp / "d"), (std::set<std::string>{"keep", "c.txt"}));
}

TEST_F(RemoveTest, CallbackCanSkipOrStopRemoval) {
  recorder.answer = [](const fu::CallbackEntry&) { return fu::kCallbackSkip; };
  EXPECT_EQ(unlink(tmp / "d/*.tmp"), fu::kOk);
  EXPECT_EQ(xunlink(tmp / "d"), fu::kOk);
  recorder.take();
  recorder.answer = [](const fu::CallbackEntry&) { return 7; };
  EXPECT_EQ(unlink(tmp / "d/*.tmp"), 7);
  EXPECT_EQ(xunlink(tmp / "d/"), 7);
  EXPECT_EQ(recorder.take().size(), 2u);
  EXPECT_EQ(namesIn(tmp / "d").size(), 6u);
}

TEST_F(RemoveTest, TreeGoesChildrenFirstWholeAndNeverThroughLinks) {
  EXPECT_EQ(xunlink(win(tmp / "d/y.tmp")), fu::kOk);
  EXPECT_FALSE(fileExists(tmp / "d/y.tmp"));
  EXPECT_EQ(recorder.steps[0].src, win(tmp / "d/y.tmp/inner"));
  EXPECT_EQ(recorder.steps[2].src, win(tmp / "d/y.tmp"));
  EXPECT_EQ(recorder.take(), (Steps{{2, 0}, {2, 1}, {4, 0}, {4, 1}}));

  makeDirs(tmp / "d/keep/deeper/deepest");
  writeFile(tmp / "d/keep/deeper/deepest/f", "");
  makeDirs(tmp / "elsewhere");
  writeFile(tmp / "elsewhere/precious", "");
  ASSERT_EQ(::symlink((tmp / "elsewhere").c_str(), (tmp / "d/keep/link").c_str()), 0);
  ASSERT_EQ(::symlink((tmp / "elsewhere").c_str(), (tmp / "d/keep.lnk").c_str()), 0);
  EXPECT_EQ(fu::unlink((tmp / "d/keep.lnk").c_str()), fu::kOk);
  EXPECT_FALSE(fileExists(tmp / "d/keep.lnk"));
  EXPECT_EQ(fu::xunlink((tmp / "d/").c_str()), fu::kOk);
  EXPECT_FALSE(fileExists(tmp / "d"));
  EXPECT_TRUE(fileExists(tmp / "elsewhere/precious"));
}

TEST_F(RemoveTest, ExactNameDoesNotTakeNamesDifferingInCase) {
  makeDirs(tmp / "d/C.TXT");
  writeFile(tmp / "d/C.txt", "");
  EXPECT_EQ(fu::xunlink((tmp / "d/c.txt").c_str()), fu::kOk);
  EXPECT_EQ(namesIn(tmp / "d"),
            (std::set<std::string>{"x.tmp", "y.tmp", "keep", "a.tmp", "B.TMP", "C.TXT", "C.txt"}));
}

}  // namespace
