#include <gtest/gtest.h>
#include <unistd.h>

#include <string>

#include "FileOpTestSupport.h"

namespace {

namespace fu = OrvelFileOpUtil;
using namespace OrvelTest;

class CreateDirTest : public ::testing::Test {
 protected:
  int create(const std::string& path) {
    return fu::createDir(path.c_str(), &CallbackRecorder::callback, recorder.entry());
  }
  TempDir tmp;
  CallbackRecorder recorder;
};

TEST_F(CreateDirTest, MakesAMissingChainParentFirstAndTakesWhatExists) {
  const std::string z = win(tmp / "x/y/z"), y = win(tmp / "x/y"), x = win(tmp / "x");
  EXPECT_EQ(create(z + "\\"), fu::kOk);
  EXPECT_TRUE(isDirectory(tmp / "x/y/z"));
  std::string seen;
  for (const SeenStep& step : recorder.steps) seen += step.src + "|" + step.dst + " ";
  EXPECT_EQ(z + "|(null) " + y + "|(null) " + x + "|(null) " + x + "|(null) " + y + "|(null) " + z +
                "|(null) ",
            seen);
  EXPECT_EQ(recorder.take(), (Steps{{3, 0}, {3, 0}, {3, 0}, {3, 1}, {3, 1}, {3, 1}}));
  EXPECT_EQ(create(tmp / "x"), fu::kOk);
  EXPECT_EQ(recorder.take(), (Steps{{3, 0}, {3, 1}}));
  writeFile(tmp / "file", "keep");
  EXPECT_EQ(create(tmp / "file"), fu::kErrDestination);
  EXPECT_EQ(recorder.take(), (Steps{{3, 0}}));
  EXPECT_EQ(readFile(tmp / "file"), "keep");
  EXPECT_EQ(fu::createDir((tmp / "file/sub").c_str()), fu::kErrDestination);
  std::string deep = tmp.path();
  while (deep.size() < 5000) deep += "/d";
  EXPECT_EQ(fu::createDir(deep.c_str()), fu::kErrDestination);
}

TEST_F(CreateDirTest, CallbackCanSkipOrStopTheCreation) {
  recorder.answer = [](const fu::CallbackEntry&) { return fu::kCallbackSkip; };
  EXPECT_EQ(create(tmp / "a"), fu::kOk);
  EXPECT_FALSE(fileExists(tmp / "a"));
  recorder.answer = [](const fu::CallbackEntry&) { return 7; };
  EXPECT_EQ(create(tmp / "a"), 7);
  EXPECT_FALSE(fileExists(tmp / "a"));
  // A skipped parent makes the child fail instead of looping.
  const std::string parent = win(tmp / "p");
  recorder.answer = [parent](const fu::CallbackEntry& e) {
    return parent == e.srcPath ? fu::kCallbackSkip : fu::kCallbackContinue;
  };
  EXPECT_EQ(create(win(tmp / "p/c")), fu::kErrDestination);
  EXPECT_FALSE(fileExists(tmp / "p"));
}

// Drive names and share roots are relative paths on Linux; they are tried in a scratch folder so
// that anything made by mistake shows up there.
TEST_F(CreateDirTest, DriveNamesAndShareRootsNeedNoCreationAndWhatLiesBelowThemFails) {
  char previous[4096];
  ASSERT_NE(::getcwd(previous, sizeof previous), nullptr);
  ASSERT_EQ(::chdir(tmp.path().c_str()), 0);
  EXPECT_EQ(create("D:"), fu::kOk);
  EXPECT_EQ(fu::createDir("D:\\"), fu::kOk);
  EXPECT_EQ(fu::createDir("\\\\server\\share"), fu::kOk);
  EXPECT_EQ(fu::createDir("\\\\server\\share\\"), fu::kOk);
  EXPECT_EQ(recorder.take(), (Steps{{3, 0}}));
  EXPECT_EQ(fu::createDir("D:\\x\\y"), fu::kErrDestination);
  EXPECT_EQ(fu::createDir("\\\\nosuchserver\\share\\dir"), fu::kErrDestination);
  EXPECT_TRUE(namesIn(tmp.path()).empty());
  ASSERT_EQ(::chdir(previous), 0);
}

}  // namespace
