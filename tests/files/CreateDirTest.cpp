#include <gtest/gtest.h>
#include <unistd.h>

#include <string>

#include "FileOpTestSupport.h"

namespace {

namespace fu = OrvelFileOpUtil;
using namespace OrvelTest;

// Drive names and share roots are relative paths on Linux; the tests that use them run in a
// scratch folder so that anything made by mistake shows up there.
class WorkingFolder {
 public:
  explicit WorkingFolder(const std::string& path) {
    EXPECT_NE(::getcwd(m_previous, sizeof m_previous), nullptr);
    EXPECT_EQ(::chdir(path.c_str()), 0);
  }
  ~WorkingFolder() { EXPECT_EQ(::chdir(m_previous), 0); }

 private:
  char m_previous[4096];
};

TEST(CreateDirTest, MakesAMissingChainParentFirst) {
  TempDir tmp;
  CallbackRecorder recorder;
  const std::string z = win(tmp / "x/y/z");
  EXPECT_EQ(fu::createDir((z + "\\").c_str(), &CallbackRecorder::callback, recorder.entry()),
            fu::kOk);
  EXPECT_TRUE(isDirectory(tmp / "x/y/z"));
  const std::string y = win(tmp / "x/y");
  const std::string x = win(tmp / "x");
  ASSERT_EQ(recorder.steps.size(), 6u);
  const std::string expected[] = {z, y, x, x, y, z};
  for (std::size_t i = 0; i < 6; ++i) {
    EXPECT_EQ(recorder.steps[i].action, fu::kActionCreateDir);
    EXPECT_EQ(recorder.steps[i].done, i < 3 ? 0 : 1);
    EXPECT_EQ(recorder.steps[i].src, expected[i]);
    EXPECT_EQ(recorder.steps[i].dst, "(null)");
  }
}

TEST(CreateDirTest, ExistingFolderIsSuccessExistingFileIsNot) {
  TempDir tmp;
  makeDirs(tmp / "there");
  writeFile(tmp / "file", "keep");
  CallbackRecorder recorder;
  EXPECT_EQ(fu::createDir((tmp / "there").c_str(), &CallbackRecorder::callback, recorder.entry()),
            fu::kOk);
  EXPECT_EQ(recorder.actionsAndDone(), (Steps{{3, 0}, {3, 1}}));
  recorder.steps.clear();
  EXPECT_EQ(fu::createDir((tmp / "file").c_str(), &CallbackRecorder::callback, recorder.entry()),
            fu::kErrDestination);
  EXPECT_EQ(recorder.actionsAndDone(), (Steps{{3, 0}}));
  EXPECT_EQ(readFile(tmp / "file"), "keep");
  EXPECT_EQ(fu::createDir((tmp / "file/sub").c_str()), fu::kErrDestination);
}

TEST(CreateDirTest, CallbackCanSkipOrStopTheCreation) {
  TempDir tmp;
  CallbackRecorder recorder;
  recorder.answer = [](const fu::CallbackEntry&) { return fu::kCallbackSkip; };
  EXPECT_EQ(fu::createDir((tmp / "a").c_str(), &CallbackRecorder::callback, recorder.entry()),
            fu::kOk);
  EXPECT_FALSE(fileExists(tmp / "a"));
  recorder.answer = [](const fu::CallbackEntry&) { return 7; };
  EXPECT_EQ(fu::createDir((tmp / "a").c_str(), &CallbackRecorder::callback, recorder.entry()), 7);
  EXPECT_FALSE(fileExists(tmp / "a"));
}

TEST(CreateDirTest, SkippedParentMakesTheChildFailInsteadOfLooping) {
  TempDir tmp;
  CallbackRecorder recorder;
  const std::string parent = win(tmp / "p");
  recorder.answer = [parent](const fu::CallbackEntry& e) {
    return parent == e.srcPath ? fu::kCallbackSkip : fu::kCallbackContinue;
  };
  EXPECT_EQ(fu::createDir(win(tmp / "p/c").c_str(), &CallbackRecorder::callback, recorder.entry()),
            fu::kErrDestination);
  EXPECT_FALSE(fileExists(tmp / "p"));
}

TEST(CreateDirTest, DriveNamesAndShareRootsNeedNoCreation) {
  TempDir tmp;
  WorkingFolder inside(tmp.path());
  CallbackRecorder recorder;
  EXPECT_EQ(fu::createDir("D:", &CallbackRecorder::callback, recorder.entry()), fu::kOk);
  EXPECT_EQ(fu::createDir("D:\\"), fu::kOk);
  EXPECT_EQ(fu::createDir("\\\\server\\share"), fu::kOk);
  EXPECT_EQ(fu::createDir("\\\\server\\share\\"), fu::kOk);
  EXPECT_EQ(recorder.actionsAndDone(), (Steps{{3, 0}}));
  EXPECT_FALSE(fileExists(tmp / "D:"));
}

TEST(CreateDirTest, FolderBelowAMissingDriveOrShareFailsAndEnds) {
  TempDir tmp;
  WorkingFolder inside(tmp.path());
  EXPECT_EQ(fu::createDir("D:\\x\\y"), fu::kErrDestination);
  EXPECT_EQ(fu::createDir("\\\\nosuchserver\\share\\dir"), fu::kErrDestination);
  EXPECT_FALSE(fileExists(tmp / "D:"));
}

TEST(CreateDirTest, BadPathsGiveCodes) {
  EXPECT_EQ(fu::createDir(nullptr), fu::kErrInvalidArgument);
  EXPECT_EQ(fu::createDir(""), fu::kErrInvalidArgument);
  TempDir tmp;
  EXPECT_EQ(fu::createDir((tmp.path() + "/" + std::string(5000, 'd')).c_str()),
            fu::kErrDestination);
  std::string deep = tmp.path();
  while (deep.size() < 5000) deep += "/d";
  EXPECT_EQ(fu::createDir(deep.c_str()), fu::kErrDestination);
}

}  // namespace
