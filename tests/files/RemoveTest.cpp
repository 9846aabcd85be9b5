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
  int unlinkRecorded(const std::string& path) {
    return fu::unlink(path.c_str(), &CallbackRecorder::callback, recorder.entry());
  }
  int xunlinkRecorded(const std::string& path) {
    return fu::xunlink(path.c_str(), &CallbackRecorder::callback, recorder.entry());
  }

  TempDir tmp;
  CallbackRecorder recorder;
};

TEST_F(RemoveTest, FileIsDeletedWithBeforeAndAfterSteps) {
  EXPECT_EQ(unlinkRecorded(win(tmp / "d/c.txt")), fu::kOk);
  EXPECT_FALSE(fileExists(tmp / "d/c.txt"));
  EXPECT_EQ(recorder.actionsAndDone(), (Steps{{2, 0}, {2, 1}}));
  EXPECT_EQ(recorder.steps[0].src, win(tmp / "d/c.txt"));
  EXPECT_EQ(recorder.steps[0].dst, "(null)");
}

TEST_F(RemoveTest, MissingNameIsNotAFailure) {
  EXPECT_EQ(fu::unlink((tmp / "d/none").c_str()), fu::kOk);
  EXPECT_EQ(fu::xunlink((tmp / "d/none").c_str()), fu::kOk);
}

TEST_F(RemoveTest, FolderThatStillHoldsFilesStaysWithoutError) {
  EXPECT_EQ(unlinkRecorded(tmp / "d/y.tmp/"), fu::kOk);
  EXPECT_TRUE(fileExists(tmp / "d/y.tmp/inner"));
  EXPECT_EQ(recorder.actionsAndDone(), (Steps{{4, 0}}));
}

TEST_F(RemoveTest, EmptyFolderIsRemoved) {
  EXPECT_EQ(unlinkRecorded(win(tmp / "d/keep") + "\\"), fu::kOk);
  EXPECT_FALSE(fileExists(tmp / "d/keep"));
  EXPECT_EQ(recorder.actionsAndDone(), (Steps{{4, 0}, {4, 1}}));
  EXPECT_EQ(recorder.steps[0].src, win(tmp / "d/keep"));
}

TEST_F(RemoveTest, FilterRemovesMatchingFilesAndEmptyMatchingFolders) {
  EXPECT_EQ(fu::unlink((tmp / "d/*.tmp").c_str()), fu::kOk);
  EXPECT_FALSE(fileExists(tmp / "d/a.tmp"));
  EXPECT_FALSE(fileExists(tmp / "d/B.TMP"));
  EXPECT_FALSE(fileExists(tmp / "d/x.tmp"));
  EXPECT_TRUE(fileExists(tmp / "d/y.tmp/inner"));
  EXPECT_TRUE(fileExists(tmp / "d/keep"));
  EXPECT_TRUE(fileExists(tmp / "d/c.txt"));
}

TEST_F(RemoveTest, CallbackCanSkipOrStopRemoval) {
  recorder.answer = [](const fu::CallbackEntry&) { return fu::kCallbackSkip; };
  EXPECT_EQ(unlinkRecorded(tmp / "d/*.tmp"), fu::kOk);
  EXPECT_EQ(xunlinkRecorded(tmp / "d"), fu::kOk);
  EXPECT_TRUE(fileExists(tmp / "d/a.tmp"));
  EXPECT_TRUE(fileExists(tmp / "d/x.tmp"));
  recorder.steps.clear();
  recorder.answer = [](const fu::CallbackEntry&) { return 7; };
  EXPECT_EQ(unlinkRecorded(tmp / "d/*.tmp"), 7);
  EXPECT_EQ(xunlinkRecorded(tmp / "d/"), 7);
  EXPECT_EQ(recorder.actionsAndDone().size(), 2u);
  EXPECT_TRUE(fileExists(tmp / "d/a.tmp"));
  EXPECT_TRUE(fileExists(tmp / "d/B.TMP"));
}

TEST_F(RemoveTest, SystemRefusalIsAFailure) {
  EXPECT_EQ(fu::unlink("/proc/version"), fu::kErrRemoveFailed);
  EXPECT_EQ(fu::unlink("\\proc"), fu::kErrRemoveFailed);
}

TEST_F(RemoveTest, BadPathsGiveCodes) {
  EXPECT_EQ(fu::unlink(nullptr), fu::kErrInvalidArgument);
  EXPECT_EQ(fu::unlink(""), fu::kErrInvalidArgument);
  EXPECT_EQ(fu::xunlink(nullptr), fu::kErrInvalidArgument);
  EXPECT_EQ(fu::xunlink(""), fu::kErrInvalidArgument);
  const std::string overlong = tmp.path() + "/" + std::string(5000, 'r');
  EXPECT_EQ(fu::unlink(overlong.c_str()), fu::kErrRemoveFailed);
  EXPECT_EQ(fu::xunlink(overlong.c_str()), fu::kErrRemoveFailed);
  EXPECT_EQ(fu::xunlink((overlong + "/*").c_str()), fu::kOk);
}

TEST_F(RemoveTest, TreeGoesChildrenBeforeTheirFolder) {
  EXPECT_EQ(xunlinkRecorded(win(tmp / "d/y.tmp")), fu::kOk);
  EXPECT_FALSE(fileExists(tmp / "d/y.tmp"));
  EXPECT_EQ(recorder.actionsAndDone(), (Steps{{2, 0}, {2, 1}, {4, 0}, {4, 1}}));
  EXPECT_EQ(recorder.steps[0].src, win(tmp / "d/y.tmp/inner"));
  EXPECT_EQ(recorder.steps[2].src, win(tmp / "d/y.tmp"));
}

TEST_F(RemoveTest, WholeTreeIsRemoved) {
  makeDirs(tmp / "d/keep/deeper/deepest");
  writeFile(tmp / "d/keep/deeper/deepest/f", "");
  EXPECT_EQ(fu::xunlink((tmp / "d/").c_str()), fu::kOk);
  EXPECT_FALSE(fileExists(tmp / "d"));
}

TEST_F(RemoveTest, FilterRemovesFilesAndMatchingTreesAndKeepsTheFolder) {
  EXPECT_EQ(fu::xunlink(win(tmp / "d/*.tmp").c_str()), fu::kOk);
  EXPECT_FALSE(fileExists(tmp / "d/a.tmp"));
  EXPECT_FALSE(fileExists(tmp / "d/B.TMP"));
  EXPECT_FALSE(fileExists(tmp / "d/y.tmp"));
  EXPECT_FALSE(fileExists(tmp / "d/x.tmp"));
  EXPECT_TRUE(fileExists(tmp / "d/keep"));
  EXPECT_TRUE(fileExists(tmp / "d/c.txt"));
}

TEST_F(RemoveTest, ExactNameDoesNotTakeNamesDifferingInCase) {
  makeDirs(tmp / "d/C.TXT");
  writeFile(tmp / "d/C.TXT/precious", "");
  writeFile(tmp / "d/C.txt", "");
  EXPECT_EQ(fu::xunlink((tmp / "d/c.txt").c_str()), fu::kOk);
  EXPECT_FALSE(fileExists(tmp / "d/c.txt"));
  EXPECT_TRUE(fileExists(tmp / "d/C.TXT/precious"));
  EXPECT_TRUE(fileExists(tmp / "d/C.txt"));
}

TEST_F(RemoveTest, LinksAreRemovedAsLinksNeverThroughThem) {
  makeDirs(tmp / "elsewhere");
  writeFile(tmp / "elsewhere/precious", "");
  ASSERT_EQ(::symlink((tmp / "elsewhere").c_str(), (tmp / "d/y.tmp/link").c_str()), 0);
  ASSERT_EQ(::symlink((tmp / "elsewhere").c_str(), (tmp / "d/keep.lnk").c_str()), 0);
  EXPECT_EQ(fu::unlink((tmp / "d/keep.lnk").c_str()), fu::kOk);
  EXPECT_FALSE(fileExists(tmp / "d/keep.lnk"));
  EXPECT_EQ(fu::xunlink((tmp / "d").c_str()), fu::kOk);
  EXPECT_FALSE(fileExists(tmp / "d"));
  EXPECT_TRUE(fileExists(tmp / "elsewhere/precious"));
}

}  // namespace
