// The file operations against real folders: codes, what is left on disk and every step a
// callback is shown.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <filesystem>
#include <functional>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "OrvelKF/OrvelFileOpUtil.h"
#include "TempDir.h"

namespace {

namespace fu = OrvelFileOpUtil;
using namespace OrvelTest;
using Paths = std::set<std::string>;
using Steps = std::vector<std::pair<int, int>>;

// The path as the product writes it, with "\\" separators.
std::string win(std::string path) {
  std::replace(path.begin(), path.end(), '/', '\\');
  return path;
}

void makeDirs(const std::string& path) { std::filesystem::create_directories(path); }

Paths namesIn(const std::string& folder) {
  Paths names;
  for (const auto& found : std::filesystem::directory_iterator(folder))
    names.insert(found.path().filename().string());
  return names;
}

// One tree of files for the operations that change folders, and a callback that records every
// step it is shown. After a done step it answers 7, a caller's own stop value: a step that is
// done cannot be undone or stopped, so every operation must go on and report the later steps.
class FileOpTest : public ::testing::Test {
 protected:
  struct Step {
    int action, done;
    std::string src, dst;  // "(null)" when the record had none
  };
  using PathOp = int (*)(const char*, fu::Callback, fu::CallbackEntry*);
  using CopyOp = int (*)(const char*, const char*, bool, fu::Callback, fu::CallbackEntry*);

  void SetUp() override {
    entry.structSize = fu::kCallbackEntrySize;
    entry.userData = this;
    for (const char* folder : {"in/sub.ptn", "in/other", "out"}) makeDirs(tmp / folder);
    for (const auto& [name, content] : {std::pair{"in/a.ptn", "alpha"},
                                        {"in/B.PTN", "bravo"},
                                        {"in/c.txt", "charlie"},
                                        {"in/sub.ptn/inner.ptn", "inner"},
                                        {"in/other/deep.txt", "deep"}})
      writeFile(tmp / name, content);
  }
  static int record(fu::CallbackEntry* e) {
    auto* self = static_cast<FileOpTest*>(e->userData);
    self->steps.push_back({e->action, e->done, e->srcPath ? e->srcPath : "(null)",
                           e->dstPath ? e->dstPath : "(null)"});
    return self->answer(*e);
  }
  // Paths below the scratch folder; absolute ones stay as they are.
  std::string at(const std::string& p) const { return p[0] == '/' || p[0] == '\\' ? p : tmp / p; }
  int run(PathOp op, const std::string& path) { return op(at(path).c_str(), &record, &entry); }
  int run(CopyOp op, const std::string& src, const std::string& dst, bool over = false) {
    return op(at(src).c_str(), at(dst).c_str(), over, &record, &entry);
  }
  int copy(const std::string& src, const std::string& dst, bool over = true) {
    return fu::copy(at(src).c_str(), at(dst).c_str(), over);
  }
  bool walk(const std::string& path) { return fu::xaccess(at(path).c_str(), &record, &entry); }
  // The (action, done) pairs seen since the last call.
  Steps take() {
    Steps result;
    for (const Step& step : steps) result.emplace_back(step.action, step.done);
    steps.clear();
    return result;
  }
  std::string read(const std::string& path) const { return readFile(tmp / path); }

  TempDir tmp;
  fu::CallbackEntry entry{};
  std::vector<Step> steps;
  std::function<int(const fu::CallbackEntry&)> answer = [](const fu::CallbackEntry& e) {
    return e.done ? 7 : fu::kCallbackContinue;
  };
};

// Every operation given a null, an empty and an overlong path: its code, and nothing touched.
TEST_F(FileOpTest, NullEmptyAndOverlongPathsAreRefused) {
  const std::string file = tmp / "in/a.ptn", overlong = "/tmp/" + std::string(5000, 'p');
  const char* f = file.c_str();
  for (const char* p : {static_cast<const char*>(nullptr), "", overlong.c_str()}) {
    const bool isLong = p && *p;
    SCOPED_TRACE(isLong ? "overlong" : p ? "empty" : "null");
    const int invalid = fu::kErrInvalidArgument;
    EXPECT_EQ(fu::createDir(p), isLong ? fu::kErrDestination : invalid);
    EXPECT_EQ(fu::copy(f, p, true), isLong ? fu::kErrDestination : invalid);
    EXPECT_EQ(fu::move(p, p, true), isLong ? fu::kErrOpenSource : invalid);
    EXPECT_EQ(fu::chdirmode(p, 0640), isLong ? fu::kErrModeChange : invalid);
    EXPECT_EQ(fu::unlink(p), fu::kErrRemoveFailed);
    EXPECT_EQ(fu::xunlink(p), fu::kErrRemoveFailed);
    EXPECT_EQ(fu::getDirSize(p), -1);
    EXPECT_TRUE(fu::copy(p, "/tmp/", 1) < 0 && fu::xcopy(p, "/tmp/", 1) < 0 &&
                fu::xmove(p, p, 1) < 0);
    EXPECT_FALSE(fu::isDir(p) || fu::isDirName(p) || fu::exist(p) || fu::isExist(p) ||
                 fu::isEmptyDir(p) || fu::rename(p, "/tmp/x") || fu::rename(f, p) ||
                 fu::filesizeEqualTo(p, 0) || fu::comp(p, f) || fu::comp(f, p) ||
                 fu::xaccess(p, &record, &entry));
  }
  EXPECT_EQ(read("in/a.ptn"), "alpha");
  EXPECT_TRUE(steps.empty());
}

TEST_F(FileOpTest, PathQueriesModesAndListings) {
  const char* const names[][3] = {
      {"D:/a/b.txt", "D:/a\\", "b.txt"}, {"D:\\a\\", "D:\\a\\", ""}, {"\\name", "", "name"}};
  for (const auto& row : names) {
    EXPECT_EQ(row[1], fu::getDirName(row[0])) << row[0];
    EXPECT_EQ(row[2], fu::getFileName(row[0])) << row[0];
    EXPECT_EQ(*row[2] == '\0', fu::isDirName(row[0])) << row[0];
  }
  makeDirs(tmp / "full");
  writeFile(tmp / "full/.hidden", "");
  ASSERT_EQ(::mkfifo(at("pipe").c_str(), 0600), 0);  // exist() must not wait for a writer
  // isDir, exist, isExist, isEmptyDir, filesizeEqualTo 5
  auto answers = [](const char* p) {
    std::string yes;
    for (bool b :
         {fu::isDir(p), fu::exist(p), fu::isExist(p), fu::isEmptyDir(p), fu::filesizeEqualTo(p, 5)})
      yes += b ? 'y' : '-';
    return yes;
  };
  const std::pair<std::string, const char*> rows[] = {{win(tmp / "in/a.ptn"), "-yy-y"},
                                                      {win(tmp / "out") + "\\", "y-yy-"},
                                                      {tmp / "full", "y-y--"},
                                                      {tmp / "missing", "-----"},
                                                      {tmp / "pipe", "-yy--"}};
  for (const auto& [path, expected] : rows) EXPECT_EQ(answers(path.c_str()), expected) << path;
  EXPECT_TRUE(fu::rename(at("in/other/").c_str(), (win(tmp / "dir2") + "\\").c_str()));

  // comp reads in blocks: the one difference sits in the last byte of a later one.
  std::string content(600 * 1024 + 3, 'q');
  writeFile(tmp / "one", content);
  for (const auto& [other, same] :
       {std::pair<std::string, bool>{content, true}, {content.substr(1) + "r", false}}) {
    writeFile(tmp / "two", other);
    EXPECT_EQ(same, fu::comp(win(tmp / "one").c_str(), at("two").c_str())) << other.size();
  }

  // A listing hands out the names its filter (or file name) matches, whole and without case, and
  // every subfolder whatever the filter.
  for (const char* name : {"x", "abc", "aXbYc", "AbC", "abcb", "ac", "xabc", "aaab_c"})
    writeFile(tmp / ("out/" + std::string(name)), "");
  makeDirs(tmp / "out/sub");
  const std::string out = tmp / "out";
  const Paths all = namesIn(out);
  const struct {
    std::string path, filter;
    int count;
    Paths listed;
  } listings[] = {{out, "*", 8, all},
                  {out + "\\x", "x", 1, {"x", "sub"}},
                  {out + "/a*b*c", "a*b*c", 4, {"abc", "aXbYc", "AbC", "aaab_c", "sub"}},
                  {out + "/missing/*", "*", 0, {}}};
  for (const auto& row : listings) {
    fu::QxDirList listing(row.path.c_str());
    EXPECT_EQ(listing.getFilter(), row.filter) << row.path;
    EXPECT_EQ(listing.getFileCount(), row.count) << row.path;
    Paths listed;
    while (listing.hasNext()) listed.insert(listing.getNext().substr(out.size() + 1));
    EXPECT_EQ(listed, row.listed) << row.path;
  }
  // Names come back whole, with the product's separator.
  EXPECT_EQ(fu::QxDirList((out + "/x").c_str()).getNext(), win(out + "/x"));
}

TEST_F(FileOpTest, CreateDirMakesTheMissingChainParentFirstAndACallbackSkipsOrStops) {
  const std::string z = win(tmp / "x/y/z"), x = win(tmp / "x");
  EXPECT_EQ(run(fu::createDir, z + "\\"), fu::kOk);
  EXPECT_TRUE(std::filesystem::is_directory(tmp / "x/y/z"));
  EXPECT_EQ(steps[0].src + steps[2].src + steps[3].src + steps[3].dst, z + x + x + "(null)");
  EXPECT_EQ(take(), (Steps{{3, 0}, {3, 0}, {3, 0}, {3, 1}, {3, 1}, {3, 1}}));
  EXPECT_EQ(run(fu::createDir, "in/a.ptn"), fu::kErrDestination);
  EXPECT_EQ(take(), (Steps{{3, 0}}));

  answer = [](const fu::CallbackEntry&) { return 7; };
  EXPECT_EQ(run(fu::createDir, "a"), 7);
  // A skipped parent makes the child fail instead of looping.
  const std::string parent = win(tmp / "p");
  answer = [parent](const fu::CallbackEntry& e) {
    return parent == e.srcPath ? fu::kCallbackSkip : fu::kCallbackContinue;
  };
  EXPECT_EQ(run(fu::createDir, win(tmp / "p/c")), fu::kErrDestination);
  EXPECT_FALSE(fileExists(tmp / "a") || fileExists(tmp / "p"));

  // Drive names and bare file names are relative paths on Linux: tried in an empty folder,
  // anything made by mistake shows there.
  char previous[4096];
  ASSERT_NE(::getcwd(previous, sizeof previous), nullptr);
  ASSERT_EQ(::chdir((tmp / "out").c_str()), 0);
  EXPECT_EQ(fu::createDir("D:\\x\\y"), fu::kErrDestination);
  EXPECT_EQ(fu::copy(at("in/a.ptn").c_str(), "file-without-folder", true), fu::kErrInvalidArgument);
  EXPECT_TRUE(namesIn(tmp / "out").empty());
  ASSERT_EQ(::chdir(previous), 0);
}

TEST_F(FileOpTest, CopyReportsItsStepsTakesWhatItsFilterSelectsAndFailsWithExactCodes) {
  EXPECT_EQ(run(fu::copy, "in/a.ptn", "out/new.ptn"), fu::kOk);
  EXPECT_EQ(read("out/new.ptn"), "alpha");
  ASSERT_EQ(steps.size(), 4u);
  EXPECT_EQ(steps[2].src + ">" + steps[2].dst,
            win(tmp / "in/a.ptn") + ">" + win(tmp / "out/new.ptn"));
  EXPECT_EQ(take(), (Steps{{3, 0}, {3, 1}, {0, 0}, {0, 1}}));
  writeFile(tmp / "out/a.ptn", "much longer old content");
  EXPECT_EQ(run(fu::copy, "in/a.ptn", "out/a.ptn"), fu::kErrDestinationExists);
  EXPECT_EQ(read("out/a.ptn"), "much longer old content");
  EXPECT_EQ(run(fu::copy, "in/a.ptn", win(tmp / "out/a.ptn"), true), fu::kOk);
  EXPECT_EQ(read("out/a.ptn"), "alpha");
  EXPECT_EQ(take(), (Steps{{3, 0}, {3, 1}, {3, 0}, {3, 1}, {1, 0}, {1, 1}}));

  EXPECT_EQ(copy(win(tmp / "in/*.ptn"), win(tmp / "new") + "\\", false), fu::kOk);
  EXPECT_EQ(namesIn(tmp / "new"), (Paths{"a.ptn", "B.PTN"}));
  EXPECT_EQ(copy("in", "new"), fu::kOk);  // an existing folder, named without a separator
  EXPECT_EQ(namesIn(tmp / "new"), (Paths{"a.ptn", "B.PTN", "c.txt"}));
  writeFile(tmp / "in/A.ptn", "other case");  // a single file takes exactly its own name
  EXPECT_EQ(copy("in/a.ptn", "single/", false), fu::kOk);
  EXPECT_EQ(namesIn(tmp / "single"), Paths{"a.ptn"});
  // Whole content, also of large files.
  std::string content(1024 * 1024 + 17, '\0');
  for (std::size_t i = 0; i < content.size(); ++i) content[i] = static_cast<char>(i * 7919 >> 3);
  writeFile(tmp / "in/large", content);
  EXPECT_EQ(copy("in/large", "out/large"), fu::kOk);
  EXPECT_TRUE(read("out/large") == content);

  // Destinations that cannot be written and sources that cannot be read.
  std::filesystem::remove_all(tmp / "out");
  makeDirs(tmp / "out/a.ptn");
  writeFile(tmp / "blocker", "");
  ASSERT_EQ(::link((tmp / "in/B.PTN").c_str(), (tmp / "hard").c_str()), 0);
  // A folder or a filter cannot go onto a file; /proc/self/mem cannot be read at 0.
  const int kDst = fu::kErrDestination, kBad = fu::kErrInvalidArgument, kOpen = fu::kErrOpenSource;
  const std::tuple<std::string, std::string, int> faults[] = {
      {"in/a.ptn", "out/", kDst},   {"in/a.ptn", "blocker/x", kDst},
      {"in/*.ptn", "in/", kDst},    {"in/a.ptn", win(at("in/a.ptn")), kDst},
      {"in/B.PTN", "hard", kDst},   {"in", "out/file", kBad},
      {"in/missing", "out/", kOpen}};
  for (const auto& [src, dst, code] : faults) EXPECT_EQ(copy(src, dst), code) << src << " " << dst;
  EXPECT_EQ(namesIn(tmp / "out"), Paths{"a.ptn"});
  EXPECT_EQ(copy("/proc/self/mem", "out/mem"), fu::kErrRead);
  EXPECT_EQ(copy("in/large", "/dev/full"), fu::kErrWrite);
  EXPECT_EQ(read("in/a.ptn") + read("in/B.PTN"), "alphabravo");
}

// A tree copy takes folders whole and ends inside its own tree; a link to a folder is not
// followed (it may lead back up the tree, or out of it), a link to a file is copied as content.
TEST_F(FileOpTest, TreeCopyAndMoves) {
  makeDirs(tmp / "in/other/empty");
  ASSERT_EQ(::symlink("..", (tmp / "in/other/up").c_str()), 0);
  ASSERT_EQ(::symlink(tmp.path().c_str(), (tmp / "in/other/out").c_str()), 0);
  ASSERT_EQ(::symlink("../a.ptn", (tmp / "in/other/a.lnk").c_str()), 0);
  EXPECT_EQ(fu::xcopy(win(tmp / "in/other").c_str(), (win(tmp / "x") + "\\").c_str(), false), 0);
  EXPECT_EQ(namesIn(tmp / "x/other"), (Paths{"deep.txt", "empty", "a.lnk"}));
  EXPECT_EQ(read("x/other/a.lnk"), "alpha");
  EXPECT_EQ(fu::xcopy(at("in").c_str(), at("in/sub.ptn/").c_str(), false), fu::kOk);
  EXPECT_EQ(read("in/sub.ptn/in/other/deep.txt"), "deep");
  EXPECT_FALSE(fileExists(tmp / "in/sub.ptn/in/sub.ptn/in"));
  ASSERT_TRUE(std::filesystem::remove_all(tmp / "in/sub.ptn/in") > 0);

  // A move copies, then deletes, and keeps the source when the copy fails.
  EXPECT_EQ(run(fu::move, "in/a.ptn", "moved/"), fu::kOk);
  EXPECT_EQ(read("moved/a.ptn"), "alpha");
  EXPECT_EQ(take(), (Steps{{3, 0}, {3, 1}, {0, 0}, {0, 1}, {2, 0}, {2, 1}}));
  EXPECT_EQ(fu::move(at("in/B.PTN").c_str(), at("in/c.txt").c_str(), false),
            fu::kErrDestinationExists);
  ::unlink(at("in/other/a.lnk").c_str());  // left dangling by the move
  EXPECT_EQ(fu::xmove(at("in").c_str(), at("in/other/").c_str(), false), fu::kErrInvalidArgument);
  EXPECT_EQ(namesIn(tmp / "in"), (Paths{"B.PTN", "c.txt", "sub.ptn", "other"}));
}

TEST_F(FileOpTest, RemovalTakesFilesEmptyFoldersAndWholeTreesButNeverGoesThroughLinks) {
  makeDirs(tmp / "in/empty.ptn");
  EXPECT_EQ(run(fu::unlink, win(tmp / "in/c.txt")), fu::kOk);
  EXPECT_EQ(run(fu::unlink, "in/sub.ptn/"), fu::kOk);  // a folder with entries stays, no error
  EXPECT_EQ(run(fu::unlink, win(tmp / "in/empty.ptn") + "\\"), fu::kOk);
  EXPECT_EQ(take(), (Steps{{2, 0}, {2, 1}, {4, 0}, {4, 0}, {4, 1}}));
  EXPECT_EQ(namesIn(tmp / "in"), (Paths{"a.ptn", "B.PTN", "sub.ptn", "other"}));
  EXPECT_TRUE(fu::unlink(at("none").c_str()) == fu::kOk && fu::xunlink(at("none").c_str()) == 0);
  EXPECT_EQ(fu::unlink("/proc/version"), fu::kErrRemoveFailed);

  // An exact name does not take names differing in case.
  makeDirs(tmp / "in/A.PTN");
  makeDirs(tmp / "in/empty.ptn");
  EXPECT_EQ(fu::xunlink(at("in/A.ptn").c_str()), fu::kOk);
  EXPECT_EQ(namesIn(tmp / "in"),
            (Paths{"a.ptn", "B.PTN", "A.PTN", "empty.ptn", "sub.ptn", "other"}));

  EXPECT_EQ(fu::unlink(at("in/*.ptn").c_str()), fu::kOk);  // files and empty folders
  EXPECT_EQ(namesIn(tmp / "in"), (Paths{"sub.ptn", "other"}));
  makeDirs(tmp / "in/x.ptn");
  EXPECT_EQ(fu::xunlink(win(tmp / "in/*.ptn").c_str()), fu::kOk);  // whole trees
  EXPECT_EQ(namesIn(tmp / "in"), Paths{"other"});

  makeDirs(tmp / "in/deeper/deepest");
  ASSERT_EQ(::symlink((tmp / "out").c_str(), (tmp / "in/deeper/link").c_str()), 0);
  ASSERT_EQ(::symlink((tmp / "out").c_str(), (tmp / "in/out.lnk").c_str()), 0);
  writeFile(tmp / "out/precious", "");
  EXPECT_EQ(fu::unlink(at("in/out.lnk").c_str()), fu::kOk);
  EXPECT_EQ(namesIn(tmp / "in"), (Paths{"deeper", "other"}));
  EXPECT_EQ(fu::xunlink(at("in/").c_str()), fu::kOk);
  EXPECT_EQ(namesIn(tmp.path()), Paths{"out"});
  EXPECT_EQ(namesIn(tmp / "out"), Paths{"precious"});
}

TEST_F(FileOpTest, WalkReportsEveryEntryFoldersFirstWithSizes) {
  EXPECT_FALSE(walk("missing") || fu::xaccess(at("in").c_str(), &record, nullptr));
  EXPECT_EQ(fu::getDirSize(win(tmp / "in").c_str()), 5 + 5 + 7 + 5 + 4);

  EXPECT_TRUE(walk("in"));
  Paths seen;  // action and path below the scratch folder
  std::string order;
  for (const Step& step : steps) {
    seen.insert(std::to_string(step.action) + step.src.substr(tmp.path().size()));
    order += step.src + " ";
  }
  EXPECT_EQ(seen, (Paths{"6\\in\\a.ptn", "6\\in\\B.PTN", "6\\in\\c.txt", "5\\in\\sub.ptn",
                         "6\\in\\sub.ptn\\inner.ptn", "5\\in\\other", "6\\in\\other\\deep.txt"}));
  EXPECT_LT(order.find(win(tmp / "in/other ")), order.find(win(tmp / "in/other/deep.txt")));

  // Sparse files: 3 GiB of size without using the disk; sizes stop at the largest value.
  writeFile(tmp / "in/huge1", "");
  ASSERT_EQ(::truncate(at("in/huge1").c_str(), 3LL << 30), 0);
  EXPECT_EQ(fu::getDirSize(at("in").c_str()), INT_MAX);
}
}  // namespace
