#include <gtest/gtest.h>
#include <unistd.h>

#include <set>
#include <string>

#include "FileOpTestSupport.h"

namespace {

namespace fu = OrvelFileOpUtil;
using namespace OrvelTest;
using Names = std::set<std::string>;

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
  // Paths below the scratch folder; absolute ones stay as they are.
  std::string at(const std::string& path) const {
    return path[0] == '/' || path[0] == '\\' ? path : tmp / path;
  }
  using Operation = int (*)(const char*, const char*, bool, fu::Callback, fu::CallbackEntry*);
  // The operation, reporting to the recorder.
  int run(Operation op, const std::string& src, const std::string& dst, bool over = false) {
    return op(at(src).c_str(), at(dst).c_str(), over, &CallbackRecorder::callback,
              recorder.entry());
  }
  int copy(const std::string& src, const std::string& dst, bool over = true) {
    return fu::copy(at(src).c_str(), at(dst).c_str(), over);
  }
  std::string read(const std::string& path) const { return readFile(tmp / path); }

  TempDir tmp;
  CallbackRecorder recorder;
};

TEST_F(CopyTest, OneFileReportsFolderThenCopyStepsAndOverwritesOnlyWhenAllowed) {
  EXPECT_EQ(run(fu::copy, "in/a.ptn", "out/new.ptn"), fu::kOk);
  EXPECT_EQ(read("out/new.ptn"), "alpha");
  ASSERT_EQ(recorder.steps.size(), 4u);
  EXPECT_EQ(recorder.steps[2].src + ">" + recorder.steps[2].dst,
            win(tmp / "in/a.ptn") + ">" + win(tmp / "out/new.ptn"));
  EXPECT_EQ(recorder.take(), (Steps{{3, 0}, {3, 1}, {0, 0}, {0, 1}}));
  writeFile(tmp / "out/a.ptn", "much longer old content");
  EXPECT_EQ(run(fu::copy, "in/a.ptn", "out/a.ptn"), fu::kErrDestinationExists);
  EXPECT_EQ(read("out/a.ptn"), "much longer old content");
  EXPECT_EQ(run(fu::copy, "in/a.ptn", win(tmp / "out/a.ptn"), true), fu::kOk);
  EXPECT_EQ(read("out/a.ptn"), "alpha");
  EXPECT_EQ(recorder.take(), (Steps{{3, 0}, {3, 1}, {3, 0}, {3, 1}, {1, 0}, {1, 1}}));
}

TEST_F(CopyTest, FiltersAndFoldersSelectTheirFilesOnlyAndACallbackSkipsOrStops) {
  EXPECT_EQ(copy(win(tmp / "in/*.ptn"), win(tmp / "new") + "\\", false), fu::kOk);
  EXPECT_EQ(namesIn(tmp / "new"), (Names{"a.ptn", "B.PTN"}));
  EXPECT_EQ(copy("in", "out", false), fu::kOk);
  EXPECT_EQ(namesIn(tmp / "out"), (Names{"a.ptn", "B.PTN", "c.txt"}));
  writeFile(tmp / "in/A.ptn", "other case");  // a single file takes exactly its own name
  EXPECT_EQ(copy("in/a.ptn", "single/", false), fu::kOk);
  EXPECT_EQ(namesIn(tmp / "single"), Names{"a.ptn"});

  recorder.answer = [](const fu::CallbackEntry&) { return fu::kCallbackSkip; };
  EXPECT_EQ(run(fu::copy, "in/*.ptn", "fresh/"), fu::kOk);
  EXPECT_FALSE(fileExists(tmp / "fresh"));
  EXPECT_EQ(recorder.take(), (Steps{{3, 0}, {0, 0}, {0, 0}, {0, 0}}));
  recorder.answer = [](const fu::CallbackEntry& e) { return e.action == 0 ? 7 : 0; };
  EXPECT_EQ(run(fu::copy, "in/*.ptn", "fresh/"), 7);
  EXPECT_EQ(namesIn(tmp / "fresh"), Names{});
}

TEST_F(CopyTest, DestinationsThatCannotBeWrittenAndSourcesThatCannotBeRead) {
  makeDirs(tmp / "out/a.ptn");
  writeFile(tmp / "blocker", "");
  writeFile(tmp / "in/big", std::string(300 * 1024, 'z'));
  ASSERT_EQ(::link((tmp / "in/B.PTN").c_str(), (tmp / "hard").c_str()), 0);
  const std::pair<std::string, std::string> destinationFaults[] = {
      {"in/a.ptn", "out/"}, {"in/a.ptn", "blocker/x"}, {"in/a.ptn", win(at("in/a.ptn"))},
      {"in/*.ptn", "in/"},  {"in/B.PTN", "hard"},      {"in/a.ptn", std::string(300, 'n')}};
  for (const auto& [src, dst] : destinationFaults)
    EXPECT_EQ(copy(src, dst), fu::kErrDestination) << dst;
  // A folder or a filter cannot go onto a file, nor a file into no folder at all.
  EXPECT_EQ(copy("in", "out/file"), fu::kErrInvalidArgument);
  EXPECT_EQ(copy("in/*.ptn", "out/file"), fu::kErrInvalidArgument);
  EXPECT_EQ(fu::copy(at("in/a.ptn").c_str(), "file-without-folder", true), fu::kErrInvalidArgument);
  EXPECT_FALSE(fileExists("file-without-folder"));
  EXPECT_EQ(copy("in/missing", "out/"), fu::kErrOpenSource);
  EXPECT_EQ(namesIn(tmp / "out"), Names{"a.ptn"});
  EXPECT_EQ(copy("/proc/self/mem", "out/mem"), fu::kErrRead);  // address 0 cannot be read
  EXPECT_EQ(copy("in/big", "/dev/full"), fu::kErrWrite);
  EXPECT_EQ(read("in/a.ptn") + read("in/B.PTN"), "alphabravo");
}

TEST_F(CopyTest, LargeFilesAndFilesWithoutAStatedSizeArriveWhole) {
  std::string content(1024 * 1024 + 17, '\0');
  for (std::size_t i = 0; i < content.size(); ++i) content[i] = static_cast<char>(i * 7919 >> 3);
  writeFile(tmp / "in/large", content);
  EXPECT_EQ(run(fu::copy, "in/large", "out/large"), fu::kOk);
  EXPECT_EQ(read("out/large"), content);
  // Kernel files report size 0 but have content; the copy must not trust the size.
  EXPECT_EQ(copy("/proc/self/status", "out/status", false), fu::kOk);
  EXPECT_NE(read("out/status").find("Name:"), std::string::npos);
}

TEST_F(CopyTest, TreeCopyTakesFoldersWholeReportsEveryStepAndEndsInsideItsOwnTree) {
  EXPECT_EQ(run(fu::xcopy, "in/other", "z/"), fu::kOk);
  EXPECT_EQ(recorder.steps[0].src, win(tmp / "z/other"));
  EXPECT_EQ(recorder.steps[5].dst, win(tmp / "z/other/deep.txt"));
  EXPECT_EQ(recorder.take(), (Steps{{3, 0}, {3, 0}, {3, 1}, {3, 1}, {0, 0}, {0, 1}}));
  makeDirs(tmp / "in/other/empty");
  EXPECT_EQ(fu::xcopy(win(tmp / "in/other").c_str(), (win(tmp / "x") + "\\").c_str(), false), 0);
  EXPECT_TRUE(isDirectory(tmp / "x/other/empty"));
  EXPECT_EQ(fu::xcopy(at("in/other").c_str(), at("y/file").c_str(), false),
            fu::kErrInvalidArgument);
  EXPECT_EQ(fu::xcopy(at("in/*.ptn").c_str(), at("out/").c_str(), false), fu::kOk);
  EXPECT_EQ(namesIn(tmp / "out"), (Names{"a.ptn", "B.PTN", "sub.ptn"}));
  EXPECT_EQ(read("out/sub.ptn/inner.ptn"), "inner");
  EXPECT_EQ(fu::xcopy(at("in").c_str(), at("in/sub.ptn/").c_str(), false), fu::kOk);
  EXPECT_EQ(read("in/sub.ptn/in/other/deep.txt"), "deep");
  EXPECT_FALSE(fileExists(tmp / "in/sub.ptn/in/sub.ptn/in"));
}

TEST_F(CopyTest, MovesCopyThenDeleteAndKeepTheSourceWhenTheCopyFails) {
  EXPECT_EQ(run(fu::move, "in/a.ptn", "out/"), fu::kOk);
  EXPECT_EQ(read("out/a.ptn"), "alpha");
  EXPECT_EQ(recorder.steps[2].src, win(tmp / "in/a.ptn"));
  EXPECT_EQ(recorder.take(), (Steps{{0, 0}, {0, 1}, {2, 0}, {2, 1}}));
  writeFile(tmp / "out/B.PTN", "old");
  EXPECT_EQ(fu::move(at("in/B.PTN").c_str(), at("out/").c_str(), false), fu::kErrDestinationExists);
  EXPECT_EQ(fu::move(at("in/*.ptn").c_str(), at("moved/").c_str(), false), fu::kOk);
  EXPECT_EQ(namesIn(tmp / "moved"), Names{"B.PTN"});
  EXPECT_EQ(fu::xmove(at("in").c_str(), at("in/other/").c_str(), false), fu::kErrInvalidArgument);
  EXPECT_EQ(fu::xmove(at("in/other").c_str(), at("x/").c_str(), false), fu::kOk);
  EXPECT_EQ(read("x/other/deep.txt"), "deep");
  EXPECT_EQ(namesIn(tmp / "in"), (Names{"c.txt", "sub.ptn"}));
}

}  // namespace
