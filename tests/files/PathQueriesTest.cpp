#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "FileOpTestSupport.h"

namespace {

namespace fu = OrvelFileOpUtil;
using namespace OrvelTest;

const std::string kOverlong = "/" + std::string(5000, 'p');

mode_t modeOf(const std::string& path) {
  struct stat status;
  EXPECT_EQ(::stat(path.c_str(), &status), 0) << path;
  return status.st_mode & 07777;
}

TEST(PathNamesTest, DirNameKeepsEverythingUpToTheLastSeparatorWrittenBackslash) {
  EXPECT_EQ(fu::getDirName("D:/a/b.txt"), "D:/a\\");
  EXPECT_EQ(fu::getDirName("D:\\a\\"), "D:\\a\\");
  EXPECT_EQ(fu::getDirName("\\name"), "");
  EXPECT_EQ(fu::getDirName("name"), "");
  EXPECT_EQ(fu::getDirName(""), "");
  EXPECT_EQ(fu::getDirName(nullptr), "");
}

TEST(PathNamesTest, FileNameIsWhatFollowsTheLastSeparator) {
  EXPECT_EQ(fu::getFileName("D:\\a\\"), "");
  EXPECT_EQ(fu::getFileName("D:\\a/b.txt"), "b.txt");
  EXPECT_EQ(fu::getFileName("plain"), "plain");
  EXPECT_EQ(fu::getFileName(""), "");
  EXPECT_EQ(fu::getFileName(nullptr), "");
}

TEST(PathNamesTest, DirNameIsAStringRule) {
  EXPECT_TRUE(fu::isDirName("D:\\x\\"));
  EXPECT_TRUE(fu::isDirName("nowhere/"));
  EXPECT_FALSE(fu::isDirName("D:\\x"));
  EXPECT_FALSE(fu::isDirName(""));
  EXPECT_FALSE(fu::isDirName(nullptr));
}

class PathQueriesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    writeFile(tmp / "file.bin", "12345");
    makeDirs(tmp / "dir");
  }
  TempDir tmp;
};

TEST_F(PathQueriesTest, IsDirAcceptsBothSeparatorsAndOneTrailingSeparator) {
  EXPECT_TRUE(fu::isDir(win(tmp / "dir").c_str()));
  EXPECT_TRUE(fu::isDir((tmp / "dir/").c_str()));
  EXPECT_TRUE(fu::isDir((win(tmp / "dir") + "\\").c_str()));
  EXPECT_TRUE(fu::isDir("\\"));
  EXPECT_FALSE(fu::isDir((tmp / "file.bin").c_str()));
  EXPECT_FALSE(fu::isDir((tmp / "missing").c_str()));
  EXPECT_FALSE(fu::isDir(""));
  EXPECT_FALSE(fu::isDir(nullptr));
  EXPECT_FALSE(fu::isDir(kOverlong.c_str()));
}

TEST_F(PathQueriesTest, ExistMeansAReadableFileIsExistAlsoTakesFolders) {
  EXPECT_TRUE(fu::exist(win(tmp / "file.bin").c_str()));
  EXPECT_FALSE(fu::exist((tmp / "dir").c_str()));
  EXPECT_FALSE(fu::exist((tmp / "missing").c_str()));
  EXPECT_FALSE(fu::exist(""));
  EXPECT_FALSE(fu::exist(nullptr));
  EXPECT_TRUE(fu::isExist(win(tmp / "file.bin").c_str()));
  EXPECT_TRUE(fu::isExist((tmp / "dir").c_str()));
  EXPECT_FALSE(fu::isExist((tmp / "missing").c_str()));
  EXPECT_FALSE(fu::isExist(nullptr));
  EXPECT_FALSE(fu::isExist(kOverlong.c_str()));
}

TEST_F(PathQueriesTest, ExistDoesNotWaitForTheWriterOfAPipe) {
  ASSERT_EQ(::mkfifo((tmp / "pipe").c_str(), 0600), 0);
  EXPECT_TRUE(fu::exist((tmp / "pipe").c_str()));
}

TEST_F(PathQueriesTest, EmptyDirNeedsAnExistingFolderWithoutEntries) {
  EXPECT_TRUE(fu::isEmptyDir((tmp / "dir").c_str()));
  makeDirs(tmp / "dir/inner");
  EXPECT_FALSE(fu::isEmptyDir(win(tmp / "dir").c_str()));
  EXPECT_TRUE(fu::isEmptyDir(win(tmp / "dir/inner/").c_str()));
  writeFile(tmp / "dir/inner/.hidden", "");
  EXPECT_FALSE(fu::isEmptyDir((tmp / "dir/inner").c_str()));
  EXPECT_FALSE(fu::isEmptyDir((tmp / "file.bin").c_str()));
  EXPECT_FALSE(fu::isEmptyDir((tmp / "missing").c_str()));
  EXPECT_FALSE(fu::isEmptyDir(nullptr));
}

TEST_F(PathQueriesTest, RenameMovesFilesAndFoldersGivenInEitherStyle) {
  EXPECT_TRUE(fu::rename(win(tmp / "file.bin").c_str(), win(tmp / "renamed.bin").c_str()));
  EXPECT_FALSE(fileExists(tmp / "file.bin"));
  EXPECT_EQ(readFile(tmp / "renamed.bin"), "12345");
  EXPECT_TRUE(fu::rename((tmp / "dir/").c_str(), (win(tmp / "dir2") + "\\").c_str()));
  EXPECT_TRUE(isDirectory(tmp / "dir2"));
  EXPECT_FALSE(fu::rename((tmp / "missing").c_str(), (tmp / "other").c_str()));
  EXPECT_FALSE(fu::rename(nullptr, (tmp / "other").c_str()));
  EXPECT_FALSE(fu::rename((tmp / "renamed.bin").c_str(), ""));
  EXPECT_FALSE(fu::rename(kOverlong.c_str(), (tmp / "other").c_str()));
}

TEST_F(PathQueriesTest, FileSizeMustMatchExactly) {
  EXPECT_TRUE(fu::filesizeEqualTo(win(tmp / "file.bin").c_str(), 5));
  EXPECT_FALSE(fu::filesizeEqualTo((tmp / "file.bin").c_str(), 4));
  EXPECT_FALSE(fu::filesizeEqualTo((tmp / "file.bin").c_str(), -1));
  EXPECT_FALSE(fu::filesizeEqualTo((tmp / "dir").c_str(), 0));
  EXPECT_FALSE(fu::filesizeEqualTo((tmp / "missing").c_str(), 0));
  EXPECT_FALSE(fu::filesizeEqualTo(nullptr, 0));
}

TEST_F(PathQueriesTest, CompFindsADifferenceInTheLastByteOfALaterBlock) {
  std::string content(600 * 1024 + 3, 'q');
  writeFile(tmp / "one", content);
  writeFile(tmp / "two", content);
  EXPECT_TRUE(fu::comp(win(tmp / "one").c_str(), (tmp / "two").c_str()));
  content.back() = 'r';
  writeFile(tmp / "two", content);
  EXPECT_FALSE(fu::comp((tmp / "one").c_str(), (tmp / "two").c_str()));
  writeFile(tmp / "two", content + "x");
  EXPECT_FALSE(fu::comp((tmp / "one").c_str(), (tmp / "two").c_str()));
}

TEST_F(PathQueriesTest, CompNeedsTwoReadableFiles) {
  writeFile(tmp / "empty1", "");
  writeFile(tmp / "empty2", "");
  EXPECT_TRUE(fu::comp((tmp / "empty1").c_str(), (tmp / "empty2").c_str()));
  EXPECT_FALSE(fu::comp((tmp / "empty1").c_str(), (tmp / "missing").c_str()));
  EXPECT_FALSE(fu::comp((tmp / "dir").c_str(), (tmp / "dir").c_str()));
  EXPECT_FALSE(fu::comp(nullptr, (tmp / "empty1").c_str()));
  EXPECT_FALSE(fu::comp((tmp / "empty1").c_str(), ""));
  EXPECT_FALSE(fu::comp(kOverlong.c_str(), kOverlong.c_str()));
}

TEST_F(PathQueriesTest, ModeOfOnePath) {
  EXPECT_EQ(fu::chdirmode(win(tmp / "file.bin").c_str(), 0640), fu::kOk);
  EXPECT_EQ(modeOf(tmp / "file.bin"), 0640u);
  EXPECT_EQ(fu::chdirmode((tmp / "missing").c_str(), 0640), fu::kErrModeChange);
  EXPECT_EQ(fu::chdirmode(nullptr, 0640), fu::kErrInvalidArgument);
  EXPECT_EQ(fu::chdirmode("", 0640), fu::kErrInvalidArgument);
  EXPECT_EQ(fu::chdirmode(kOverlong.c_str(), 0640), fu::kErrModeChange);
}

TEST_F(PathQueriesTest, ModeOfAListingGoesOnAfterAFailure) {
  writeFile(tmp / "dir/a", "");
  writeFile(tmp / "dir/b", "");
  makeDirs(tmp / "dir/sub");
  ASSERT_EQ(::symlink((tmp / "gone").c_str(), (tmp / "dir/dangling").c_str()), 0);
  EXPECT_EQ(fu::chdirmode((win(tmp / "dir") + "\\*").c_str(), 0700), fu::kErrModeChange);
  EXPECT_EQ(modeOf(tmp / "dir/a"), 0700u);
  EXPECT_EQ(modeOf(tmp / "dir/b"), 0700u);
  EXPECT_EQ(modeOf(tmp / "dir/sub"), 0700u);
  ::unlink((tmp / "dir/dangling").c_str());
  ASSERT_EQ(::chmod((tmp / "dir").c_str(), 0751), 0);
  EXPECT_EQ(fu::chdirmode((tmp / "dir/").c_str(), 0644), fu::kOk);
  EXPECT_EQ(modeOf(tmp / "dir/a"), 0644u);
  EXPECT_EQ(modeOf(tmp / "dir"), 0751u);  // the folder itself is not part of its listing
}

TEST_F(PathQueriesTest, ChowngrpChangesNothing) {
  const mode_t before = modeOf(tmp / "file.bin");
  EXPECT_EQ(fu::chowngrp((tmp / "file.bin").c_str(), "nogroup"), 0);
  EXPECT_EQ(fu::chowngrp(nullptr, nullptr), 0);
  EXPECT_EQ(modeOf(tmp / "file.bin"), before);
}

}  // namespace
