// What a callback answers after a step that is done cannot undo or stop it: every operation goes
// on to the end and returns 0.
#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "FileOpTestSupport.h"

namespace {

namespace fu = OrvelFileOpUtil;
using namespace OrvelTest;

TEST(CallbackAnswerTest, AnswersAfterADoneStepAreNotStops) {
  TempDir tmp;
  CallbackRecorder recorder;
  const auto cb = &CallbackRecorder::callback;
  fu::CallbackEntry* const entry = recorder.entry();
  struct Case {
    const char* what;
    std::function<int()> run;
    std::function<void()> check;
  };
  const Case cases[] = {
      {"copy into an existing folder",
       [&] {
         return fu::copy((tmp / "in/*.ptn").c_str(), (tmp / "out/").c_str(), false, cb, entry);
       },
       [&] {
         EXPECT_EQ(readFile(tmp / "out/a.ptn"), "alpha");
         EXPECT_EQ(readFile(tmp / "out/b.ptn"), "bravo");
       }},
      {"xcopy of a tree",
       [&] { return fu::xcopy((tmp / "in").c_str(), (tmp / "tree/").c_str(), false, cb, entry); },
       [&] { EXPECT_EQ(readFile(tmp / "tree/in/sub/c.ptn"), "charlie"); }},
      {"move of a file",
       [&] {
         return fu::move((tmp / "in/a.ptn").c_str(), (tmp / "moved/").c_str(), false, cb, entry);
       },
       [&] {
         EXPECT_EQ(readFile(tmp / "moved/a.ptn"), "alpha");
         EXPECT_FALSE(fileExists(tmp / "in/a.ptn"));
       }},
      {"unlink of a filter", [&] { return fu::unlink((tmp / "out/*.ptn").c_str(), cb, entry); },
       [&] { EXPECT_TRUE(std::filesystem::is_empty(tmp / "out")); }},
      {"xunlink of a tree", [&] { return fu::xunlink((tmp / "tree").c_str(), cb, entry); },
       [&] { EXPECT_FALSE(fileExists(tmp / "tree")); }},
      {"createDir of a chain", [&] { return fu::createDir((tmp / "x/y/z").c_str(), cb, entry); },
       [&] { EXPECT_TRUE(isDirectory(tmp / "x/y/z")); }},
  };

  makeDirs(tmp / "in/sub");
  makeDirs(tmp / "out");
  writeFile(tmp / "in/a.ptn", "alpha");
  writeFile(tmp / "in/b.ptn", "bravo");
  writeFile(tmp / "in/sub/c.ptn", "charlie");
  // 7 is what a caller's own stop value looks like; after a step it stops nothing.
  recorder.answer = [](const fu::CallbackEntry& e) { return e.done ? 7 : fu::kCallbackContinue; };
  for (const Case& c : cases) {
    recorder.steps.clear();
    EXPECT_EQ(c.run(), fu::kOk) << c.what;
    c.check();
    int reportedDone = 0;
    for (const SeenStep& step : recorder.steps) reportedDone += step.done;
    EXPECT_GE(reportedDone, 2) << c.what;  // the after-calls are still made
  }
}

}  // namespace
