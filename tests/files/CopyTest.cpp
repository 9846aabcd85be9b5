#include <gtest/gtest.h>
#include <unistd.h>

#include <set>
#include <string>

#include "FileOpTestSupport.h"

namespace {

namespace fu = OrvelFileOpUtil;
using namespace OrvelTest;

std::set<std::string> namesIn(const std::string& folder) {
  std::set<std::string> names;
  for (const auto& found : std::filesystem::directory_iterator(folder)) {
    names.insert(found.path().filename().string());
  }
  return names;
}

class CopyTest : public ::testing::Test {
 protected:
  void SetUp() override {
    makeDirs(tmp / "in/sub.ptn");
    makeDirs(tmp / "in/other");
    makeDirs(tmp / "out");
    writeFile(tmp / "in/a.ptn", "alpha");
    writeFile(tmp / "in/B.PTN", "bravo");
    writeFile(tmp / "in/c.txt", "charlie");
    writeFile(tmp / "in/sub.ptn/inner.ptn", "inner");
    writeFile(tmp / "in/other/deep.txt", "deep");
  }
  int copyRecorded(const std::string& src, const std::string& dst, bool overwrite) {
    return fu::copy(src.c_str(), dst.c_str(), overwrite, &CallbackRecorder::callback,
                    recorder.entry());
  }

  TempDir tmp;
  CallbackRecorder recorder;
};

TEST_F(CopyTest, OneFileReportsFolderThenCopyStepsWithNormalisedPaths) {
  EXPECT_EQ(copyRecorded(tmp / "in/a.ptn", tmp / "out/new.ptn", false), fu::kOk);
  EXPECT_EQ(readFile(tmp / "out/new.ptn"), "alpha");
  EXPECT_EQ(recorder.actionsAndDone(), (Steps{{3, 0}, {3, 1}, {0, 0}, {0, 1}}));
  EXPECT_EQ(recorder.steps[2].src, win(tmp / "in/a.ptn"));
  EXPECT_EQ(recorder.steps[2].dst, win(tmp / "out/new.ptn"));
  EXPECT_EQ(recorder.entry()->userData, &recorder);
}

TEST_F(CopyTest, ExistingDestinationWithoutOverwriteSeesOnlyTheFolderStep) {
  writeFile(tmp / "out/a.ptn", "old");
  EXPECT_EQ(copyRecorded(tmp / "in/a.ptn", tmp / "out/a.ptn", false), fu::kErrDestinationExists);
  EXPECT_EQ(readFile(tmp / "out/a.ptn"), "old");
  EXPECT_EQ(recorder.actionsAndDone(), (Steps{{3, 0}, {3, 1}}));
}

TEST_F(CopyTest, OverwriteReplacesALongerFileCompletely) {
  writeFile(tmp / "out/a.ptn", "much longer old content");
  EXPECT_EQ(copyRecorded(tmp / "in/a.ptn", win(tmp / "out/a.ptn"), true), fu::kOk);
  EXPECT_EQ(readFile(tmp / "out/a.ptn"), "alpha");
  EXPECT_EQ(recorder.actionsAndDone(), (Steps{{3, 0}, {3, 1}, {1, 0}, {1, 1}}));
}

TEST_F(CopyTest, FilterCopiesMatchingFilesIntoANewFolderAndIgnoresSubfolders) {
  EXPECT_EQ(fu::copy(win(tmp / "in/*.ptn").c_str(), (win(tmp / "new") + "\\").c_str(), false),
            fu::kOk);
  EXPECT_EQ(namesIn(tmp / "new"), (std::set<std::string>{"a.ptn", "B.PTN"}));
  EXPECT_EQ(readFile(tmp / "new/B.PTN"), "bravo");
}

TEST_F(CopyTest, FolderSourceCopiesItsFilesOnly) {
  EXPECT_EQ(fu::copy((tmp / "in").c_str(), (tmp / "out").c_str(), false), fu::kOk);
  EXPECT_EQ(namesIn(tmp / "out"), (std::set<std::string>{"a.ptn", "B.PTN", "c.txt"}));
}

TEST_F(CopyTest, SingleFileIntoAFolderTakesExactlyThatName) {
  writeFile(tmp / "in/A.ptn", "other case");
  EXPECT_EQ(fu::copy((tmp / "in/a.ptn").c_str(), (tmp / "out/").c_str(), false), fu::kOk);
  EXPECT_EQ(namesIn(tmp / "out"), (std::set<std::string>{"a.ptn"}));
}

TEST_F(CopyTest, CallbackSkippingEveryStepCopiesNothing) {
  recorder.answer = [](const fu::CallbackEntry&) { return fu::kCallbackSkip; };
  EXPECT_EQ(copyRecorded(tmp / "in/*.ptn", tmp / "fresh/", false), fu::kOk);
  EXPECT_FALSE(fileExists(tmp / "fresh"));
  EXPECT_EQ(recorder.actionsAndDone(), (Steps{{3, 0}, {0, 0}, {0, 0}}));
  recorder.steps.clear();
  EXPECT_EQ(copyRecorded(tmp / "in/*.ptn", tmp / "out/", false), fu::kOk);
  EXPECT_TRUE(namesIn(tmp / "out").empty());
  EXPECT_EQ(recorder.actionsAndDone(), (Steps{{0, 0}, {0, 0}}));
}

TEST_F(CopyTest, CallbackStoppingReturnsItsValueAtTheFirstCopy) {
  recorder.answer = [](const fu::CallbackEntry& e) {
    return e.action == fu::kActionCopyNew ? 7 : fu::kCallbackContinue;
  };
  EXPECT_EQ(copyRecorded(tmp / "in/*.ptn", tmp / "out/", false), 7);
  EXPECT_TRUE(namesIn(tmp / "out").empty());
  EXPECT_EQ(recorder.actionsAndDone(), (Steps{{0, 0}}));
}

TEST_F(CopyTest, DestinationThatIsAFolderIsRefused) {
  makeDirs(tmp / "out/a.ptn");
  EXPECT_EQ(fu::copy((tmp / "in/a.ptn").c_str(), (tmp / "out/").c_str(), true),
            fu::kErrDestination);
  writeFile(tmp / "blocker", "");
  EXPECT_EQ(fu::copy((tmp / "in/a.ptn").c_str(), (tmp / "blocker/x").c_str(), true),
            fu::kErrDestination);
  const std::string tooLongName = tmp / std::string(300, 'n');
  EXPECT_EQ(fu::copy((tmp / "in/a.ptn").c_str(), tooLongName.c_str(), true), fu::kErrDestination);
}

TEST_F(CopyTest, SourceFolderOrFilterOntoAFileIsInvalid) {
  EXPECT_EQ(fu::copy((tmp / "in").c_str(), (tmp / "out/file").c_str(), true),
            fu::kErrInvalidArgument);
  EXPECT_EQ(fu::copy((tmp / "in/*.ptn").c_str(), (tmp / "out/file").c_str(), true),
            fu::kErrInvalidArgument);
  EXPECT_EQ(fu::copy((tmp / "in/a.ptn").c_str(), "file-without-folder", true),
            fu::kErrInvalidArgument);
  EXPECT_FALSE(fileExists("file-without-folder"));
  EXPECT_TRUE(namesIn(tmp / "out").empty());
}

TEST_F(CopyTest, UnreadableSourcesGiveOpenOrReadFailures) {
  EXPECT_EQ(fu::copy((tmp / "in/missing").c_str(), (tmp / "out/x").c_str(), true),
            fu::kErrOpenSource);
  EXPECT_EQ(fu::copy((tmp / "in/missing").c_str(), (tmp / "out/").c_str(), true),
            fu::kErrOpenSource);
  ASSERT_EQ(::symlink((tmp / "gone").c_str(), (tmp / "in/dangling").c_str()), 0);
  EXPECT_EQ(fu::copy((tmp / "in/dangling").c_str(), (tmp / "out/x").c_str(), true),
            fu::kErrOpenSource);
  // Memory of a process cannot be read at address 0.
  EXPECT_EQ(fu::copy("/proc/self/mem", (tmp / "out/mem").c_str(), true), fu::kErrRead);
}

TEST_F(CopyTest, FullDeviceGivesAWriteFailure) {
  writeFile(tmp / "in/big", std::string(300 * 1024, 'z'));
  EXPECT_EQ(fu::copy((tmp / "in/big").c_str(), "/dev/full", true), fu::kErrWrite);
}

TEST_F(CopyTest, CopyOntoItselfKeepsTheData) {
  EXPECT_EQ(fu::copy((tmp / "in/a.ptn").c_str(), win(tmp / "in/a.ptn").c_str(), true),
            fu::kErrDestination);
  EXPECT_EQ(fu::copy((tmp / "in/*.ptn").c_str(), (tmp / "in/").c_str(), true), fu::kErrDestination);
  ASSERT_EQ(::link((tmp / "in/a.ptn").c_str(), (tmp / "out/hard").c_str()), 0);
  EXPECT_EQ(fu::copy((tmp / "in/a.ptn").c_str(), (tmp / "out/hard").c_str(), true),
            fu::kErrDestination);
  EXPECT_EQ(readFile(tmp / "in/a.ptn"), "alpha");
  EXPECT_EQ(readFile(tmp / "in/B.PTN"), "bravo");
}

TEST_F(CopyTest, LargeFileArrivesWholeWithAndWithoutCallback) {
  std::string content(1024 * 1024 + 17, '\0');
  for (std::size_t i = 0; i < content.size(); ++i) content[i] = static_cast<char>(i * 7919 >> 3);
  writeFile(tmp / "in/large", content);
  EXPECT_EQ(fu::copy((tmp / "in/large").c_str(), (tmp / "out/plain").c_str(), false), fu::kOk);
  EXPECT_EQ(copyRecorded(tmp / "in/large", tmp / "out/reported", false), fu::kOk);
  EXPECT_EQ(readFile(tmp / "out/plain"), content);
  EXPECT_EQ(readFile(tmp / "out/reported"), content);
}

TEST_F(CopyTest, FileWithoutAStatedSizeIsCopiedWhole) {
  // Kernel files report size 0 but have content; the copy must not trust the size.
  EXPECT_EQ(fu::copy("/proc/self/status", (tmp / "out/status").c_str(), false), fu::kOk);
  EXPECT_NE(readFile(tmp / "out/status").find("Name:"), std::string::npos);
}

TEST_F(CopyTest, BadPathsGiveInvalidArgumentOrAFailureCode) {
  EXPECT_EQ(fu::copy(nullptr, (tmp / "out/").c_str(), true), fu::kErrInvalidArgument);
  EXPECT_EQ(fu::copy((tmp / "in/a.ptn").c_str(), "", true), fu::kErrInvalidArgument);
  EXPECT_EQ(fu::xcopy("", nullptr, true), fu::kErrInvalidArgument);
  EXPECT_EQ(fu::move(nullptr, nullptr, true), fu::kErrInvalidArgument);
  EXPECT_EQ(fu::xmove("", "", true), fu::kErrInvalidArgument);
  const std::string overlong = tmp.path() + "/" + std::string(5000, 'o');
  EXPECT_LT(fu::copy(overlong.c_str(), (tmp / "out/").c_str(), true), 0);
  EXPECT_LT(fu::copy((tmp / "in/a.ptn").c_str(), overlong.c_str(), true), 0);
  EXPECT_LT(fu::xcopy(overlong.c_str(), (overlong + "/").c_str(), true), 0);
  EXPECT_TRUE(fileExists(tmp / "in/a.ptn"));
}

class TreeCopyTest : public CopyTest {};

TEST_F(TreeCopyTest, FolderLandsInAFolderOfItsOwnNameWithItsWholeTree) {
  makeDirs(tmp / "in/other/empty");
  EXPECT_EQ(fu::xcopy(win(tmp / "in/other").c_str(), (win(tmp / "x") + "\\").c_str(), false),
            fu::kOk);
  EXPECT_EQ(readFile(tmp / "x/other/deep.txt"), "deep");
  EXPECT_TRUE(isDirectory(tmp / "x/other/empty"));
}

TEST_F(TreeCopyTest, FolderOntoAFileIsInvalid) {
  EXPECT_EQ(fu::xcopy((tmp / "in/other").c_str(), (tmp / "x/file").c_str(), false),
            fu::kErrInvalidArgument);
  EXPECT_FALSE(fileExists(tmp / "x"));
}

TEST_F(TreeCopyTest, FilterTakesMatchingSubfolderTreesOnly) {
  EXPECT_EQ(fu::xcopy((tmp / "in/*.ptn").c_str(), (tmp / "out/").c_str(), false), fu::kOk);
  EXPECT_EQ(namesIn(tmp / "out"), (std::set<std::string>{"a.ptn", "B.PTN", "sub.ptn"}));
  EXPECT_EQ(readFile(tmp / "out/sub.ptn/inner.ptn"), "inner");
}

TEST_F(TreeCopyTest, ReportsEveryFolderAndFileInOrder) {
  EXPECT_EQ(fu::xcopy((tmp / "in/other").c_str(), (tmp / "x/").c_str(), false,
                      &CallbackRecorder::callback, recorder.entry()),
            fu::kOk);
  EXPECT_EQ(recorder.actionsAndDone(), (Steps{{3, 0}, {3, 0}, {3, 1}, {3, 1}, {0, 0}, {0, 1}}));
  EXPECT_EQ(recorder.steps[0].src, win(tmp / "x/other"));
  EXPECT_EQ(recorder.steps[5].dst, win(tmp / "x/other/deep.txt"));
}

TEST_F(TreeCopyTest, CopyIntoItsOwnTreeEnds) {
  EXPECT_EQ(fu::xcopy((tmp / "in/other").c_str(), (tmp / "in/other/").c_str(), false), fu::kOk);
  EXPECT_EQ(namesIn(tmp / "in/other/other"), (std::set<std::string>{"deep.txt"}));
  EXPECT_EQ(fu::xcopy((tmp / "in").c_str(), (tmp / "in/sub.ptn/").c_str(), false), fu::kOk);
  EXPECT_EQ(readFile(tmp / "in/sub.ptn/in/other/deep.txt"), "deep");
  EXPECT_EQ(readFile(tmp / "in/sub.ptn/in/sub.ptn/inner.ptn"), "inner");
  EXPECT_FALSE(fileExists(tmp / "in/sub.ptn/in/sub.ptn/in"));
}

class MoveTest : public CopyTest {};

TEST_F(MoveTest, FileMovesWithCopyThenDeleteSteps) {
  EXPECT_EQ(fu::move((tmp / "in/a.ptn").c_str(), (tmp / "out/").c_str(), false,
                     &CallbackRecorder::callback, recorder.entry()),
            fu::kOk);
  EXPECT_EQ(readFile(tmp / "out/a.ptn"), "alpha");
  EXPECT_FALSE(fileExists(tmp / "in/a.ptn"));
  EXPECT_EQ(recorder.actionsAndDone(), (Steps{{0, 0}, {0, 1}, {2, 0}, {2, 1}}));
  EXPECT_EQ(recorder.steps[2].src, win(tmp / "in/a.ptn"));
}

TEST_F(MoveTest, FailedCopyKeepsTheSource) {
  writeFile(tmp / "out/a.ptn", "old");
  EXPECT_EQ(fu::move((tmp / "in/a.ptn").c_str(), (tmp / "out/").c_str(), false),
            fu::kErrDestinationExists);
  EXPECT_EQ(readFile(tmp / "in/a.ptn"), "alpha");
  EXPECT_EQ(fu::move((tmp / "in/a.ptn").c_str(), (tmp / "in/a.ptn").c_str(), true),
            fu::kErrDestination);
  EXPECT_EQ(readFile(tmp / "in/a.ptn"), "alpha");
}

TEST_F(MoveTest, FilteredMoveTakesTheMatchingFiles) {
  EXPECT_EQ(fu::move((tmp / "in/*.ptn").c_str(), (tmp / "out/").c_str(), false), fu::kOk);
  EXPECT_EQ(namesIn(tmp / "out"), (std::set<std::string>{"a.ptn", "B.PTN"}));
  EXPECT_EQ(namesIn(tmp / "in"), (std::set<std::string>{"c.txt", "sub.ptn", "other"}));
}

TEST_F(MoveTest, TreeMovesAndItsParentStays) {
  EXPECT_EQ(fu::xmove((tmp / "in/other").c_str(), (tmp / "x/").c_str(), false), fu::kOk);
  EXPECT_EQ(readFile(tmp / "x/other/deep.txt"), "deep");
  EXPECT_FALSE(fileExists(tmp / "in/other"));
  EXPECT_TRUE(fileExists(tmp / "in/a.ptn"));
}

TEST_F(MoveTest, TreeMoveIntoItselfIsRefusedAndLosesNothing) {
  EXPECT_EQ(fu::xmove((tmp / "in").c_str(), (tmp / "in/other/").c_str(), false),
            fu::kErrInvalidArgument);
  EXPECT_EQ(readFile(tmp / "in/a.ptn"), "alpha");
  EXPECT_EQ(readFile(tmp / "in/other/deep.txt"), "deep");
}

}  // namespace
