#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <functional>
#include <string>

#include "FileOpTestSupport.h"

namespace {

namespace fu = OrvelFileOpUtil;
using namespace OrvelTest;

mode_t modeOf(const std::string& path) {
  struct stat status;
  EXPECT_EQ(::stat(path.c_str(), &status), 0) << path;
  return status.st_mode & 07777;
}

// Every operation given a null, an empty and an overlong path: its code (false is 0), and
// nothing touched.
TEST(FileOpArgumentsTest, NullEmptyAndOverlongPaths) {
  TempDir tmp;
  writeFile(tmp / "f", "kept");
  const std::string file = tmp / "f";
  const char* f = file.c_str();
  CallbackRecorder rec;
  auto* cb = &CallbackRecorder::callback;
  struct Case {
    const char* what;
    std::function<int(const char*)> call;
    int onNull, onEmpty, onOverlong;
  };
  const int kInvalid = fu::kErrInvalidArgument;
  const Case cases[] = {
      {"createDir", [](const char* p) { return fu::createDir(p); }, kInvalid, kInvalid, -5},
      {"copy from", [](const char* p) { return fu::copy(p, "/tmp/", 1) < 0; }, 1, 1, 1},
      {"copy to", [f](const char* p) { return fu::copy(f, p, 1); }, kInvalid, kInvalid, -5},
      {"xcopy from", [](const char* p) { return fu::xcopy(p, "/tmp/", 1) < 0; }, 1, 1, 1},
      {"move", [](const char* p) { return fu::move(p, p, 1); }, kInvalid, kInvalid, -2},
      {"xmove", [](const char* p) { return fu::xmove(p, p, 1) < 0; }, 1, 1, 1},
      {"unlink", [](const char* p) { return fu::unlink(p); }, kInvalid, kInvalid, -1},
      {"xunlink", [](const char* p) { return fu::xunlink(p); }, kInvalid, kInvalid, -1},
      {"chdirmode", [](const char* p) { return fu::chdirmode(p, 0640); }, kInvalid, kInvalid, -9},
      {"getDirSize", [](const char* p) { return fu::getDirSize(p); }, -1, -1, -1},
      {"isDir", [](const char* p) { return fu::isDir(p); }, 0, 0, 0},
      {"isDirName", [](const char* p) { return fu::isDirName(p); }, 0, 0, 0},
      {"exist", [](const char* p) { return fu::exist(p); }, 0, 0, 0},
      {"isExist", [](const char* p) { return fu::isExist(p); }, 0, 0, 0},
      {"isEmptyDir", [](const char* p) { return fu::isEmptyDir(p); }, 0, 0, 0},
      {"rename from", [](const char* p) { return fu::rename(p, "/tmp/x"); }, 0, 0, 0},
      {"rename to", [f](const char* p) { return fu::rename(f, p); }, 0, 0, 0},
      {"filesizeEqualTo", [](const char* p) { return fu::filesizeEqualTo(p, 0); }, 0, 0, 0},
      {"comp first", [f](const char* p) { return fu::comp(p, f); }, 0, 0, 0},
      {"comp second", [f](const char* p) { return fu::comp(f, p); }, 0, 0, 0},
      {"xaccess", [&](const char* p) { return fu::xaccess(p, cb, rec.entry()); }, 0, 0, 0},
      {"getDirName", [](const char* p) { return fu::getDirName(p).empty(); }, 1, 1, 0},
      {"getFileName", [](const char* p) { return fu::getFileName(p).size(); }, 0, 0, 5000}};
  const std::string overlong = "/tmp/" + std::string(5000, 'p');
  for (const Case& c : cases) {
    EXPECT_EQ(c.onNull, c.call(nullptr)) << c.what;
    EXPECT_EQ(c.onEmpty, c.call("")) << c.what;
    EXPECT_EQ(c.onOverlong, c.call(overlong.c_str())) << c.what;
  }
  EXPECT_EQ(fu::xunlink((overlong + "/*").c_str()), fu::kOk);
  EXPECT_FALSE(fu::QxDirList((overlong + "/*").c_str()).hasNext());
  EXPECT_EQ(fu::chowngrp(nullptr, nullptr), 0);
  EXPECT_TRUE(rec.steps.empty());
  EXPECT_EQ(namesIn(tmp.path()), std::set<std::string>{"f"});
  EXPECT_EQ(readFile(file), "kept");
}

TEST(PathNamesTest, DirNameAndFileNameSplitAtTheLastSeparator) {
  const char* const rows[][3] = {{"D:/a/b.txt", "D:/a\\", "b.txt"},
                                 {"D:\\a\\", "D:\\a\\", ""},
                                 {"\\name", "", "name"},
                                 {"name", "", "name"}};
  for (const auto& row : rows) {
    EXPECT_EQ(row[1], fu::getDirName(row[0])) << row[0];
    EXPECT_EQ(row[2], fu::getFileName(row[0])) << row[0];
    EXPECT_EQ(*row[2] == '\0', fu::isDirName(row[0])) << row[0];
  }
}

TEST(PathQueriesTest, QueriesOfFilesFoldersLinksPipesAndMissingNames) {
  TempDir tmp;
  writeFile(tmp / "file.bin", "12345");
  makeDirs(tmp / "dir/inner");
  makeDirs(tmp / "full");
  writeFile(tmp / "full/.hidden", "");
  ASSERT_EQ(::mkfifo((tmp / "pipe").c_str(), 0600), 0);  // exist() must not wait for a writer
  struct Row {
    std::string path;
    bool isDir, exist, isExist, isEmptyDir, sizeIs5;
  };
  const Row rows[] = {{win(tmp / "file.bin"), false, true, true, false, true},
                      {win(tmp / "dir"), true, false, true, false, false},
                      {tmp / "dir/", true, false, true, false, false},
                      {win(tmp / "dir/inner") + "\\", true, false, true, true, false},
                      {tmp / "full", true, false, true, false, false},
                      {tmp / "missing", false, false, false, false, false},
                      {tmp / "pipe", false, true, true, false, false},
                      {"\\", true, false, true, false, false}};
  for (const Row& row : rows) {
    const char* p = row.path.c_str();
    EXPECT_EQ(row.isDir, fu::isDir(p)) << p;
    EXPECT_EQ(row.exist, fu::exist(p)) << p;
    EXPECT_EQ(row.isExist, fu::isExist(p)) << p;
    EXPECT_EQ(row.isEmptyDir, fu::isEmptyDir(p)) << p;
    EXPECT_EQ(row.sizeIs5, fu::filesizeEqualTo(p, 5)) << p;
  }
  EXPECT_FALSE(fu::filesizeEqualTo((tmp / "file.bin").c_str(), 4));
  EXPECT_FALSE(fu::filesizeEqualTo((tmp / "file.bin").c_str(), -1));
  EXPECT_FALSE(fu::filesizeEqualTo((tmp / "dir").c_str(), 0));

  EXPECT_TRUE(fu::rename(win(tmp / "file.bin").c_str(), win(tmp / "renamed.bin").c_str()));
  EXPECT_EQ(readFile(tmp / "renamed.bin"), "12345");
  EXPECT_TRUE(fu::rename((tmp / "dir/").c_str(), (win(tmp / "dir2") + "\\").c_str()));
  EXPECT_EQ(namesIn(tmp.path()), (std::set<std::string>{"renamed.bin", "dir2", "full", "pipe"}));
  EXPECT_FALSE(fu::rename((tmp / "missing").c_str(), (tmp / "other").c_str()));
}

TEST(PathQueriesTest, CompFindsADifferenceInTheLastByteOfALaterBlock) {
  TempDir tmp;
  std::string content(600 * 1024 + 3, 'q');
  writeFile(tmp / "one", content);
  writeFile(tmp / "two", content);
  writeFile(tmp / "empty1", "");
  writeFile(tmp / "empty2", "");
  EXPECT_TRUE(fu::comp(win(tmp / "one").c_str(), (tmp / "two").c_str()));
  EXPECT_TRUE(fu::comp((tmp / "empty1").c_str(), (tmp / "empty2").c_str()));
  EXPECT_FALSE(fu::comp((tmp / "empty1").c_str(), (tmp / "missing").c_str()));
  EXPECT_FALSE(fu::comp(tmp.path().c_str(), tmp.path().c_str()));
  content.back() = 'r';
  writeFile(tmp / "two", content);
  EXPECT_FALSE(fu::comp((tmp / "one").c_str(), (tmp / "two").c_str()));
  writeFile(tmp / "two", content + "x");
  EXPECT_FALSE(fu::comp((tmp / "one").c_str(), (tmp / "two").c_str()));
}

TEST(PathQueriesTest, ModeOfOnePathAndOfAListingThatGoesOnAfterAFailure) {
  TempDir tmp;
  makeDirs(tmp / "dir");
  writeFile(tmp / "dir/a", "");
  writeFile(tmp / "dir/b", "");
  makeDirs(tmp / "dir/sub");
  EXPECT_EQ(fu::chdirmode(win(tmp / "dir/a").c_str(), 0640), fu::kOk);
  EXPECT_EQ(modeOf(tmp / "dir/a"), 0640u);
  EXPECT_EQ(fu::chdirmode((tmp / "missing").c_str(), 0640), fu::kErrModeChange);
  ASSERT_EQ(::symlink((tmp / "gone").c_str(), (tmp / "dir/dangling").c_str()), 0);
  EXPECT_EQ(fu::chdirmode((win(tmp / "dir") + "\\*").c_str(), 0700), fu::kErrModeChange);
  for (const char* name : {"dir/a", "dir/b", "dir/sub"}) EXPECT_EQ(modeOf(tmp / name), 0700u);
  ::unlink((tmp / "dir/dangling").c_str());
  ASSERT_EQ(::chmod((tmp / "dir").c_str(), 0751), 0);
  EXPECT_EQ(fu::chdirmode((tmp / "dir/").c_str(), 0644), fu::kOk);
  EXPECT_EQ(modeOf(tmp / "dir/a"), 0644u);
  EXPECT_EQ(modeOf(tmp / "dir"), 0751u);  // the folder itself is not part of its listing
  EXPECT_EQ(fu::chowngrp((tmp / "dir/a").c_str(), "nogroup"), 0);
  EXPECT_EQ(modeOf(tmp / "dir/a"), 0644u);
}

}  // namespace
