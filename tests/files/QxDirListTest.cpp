#include <gtest/gtest.h>
#include <unistd.h>

#include <set>
#include <string>

#include "FileOpTestSupport.h"

namespace {

using OrvelFileOpUtil::QxDirList;
using namespace OrvelTest;

std::set<std::string> drain(QxDirList& listing) {
  std::set<std::string> paths;
  while (listing.hasNext()) paths.insert(listing.getNext());
  return paths;
}

class QxDirListTest : public ::testing::Test {
 protected:
  void SetUp() override {
    writeFile(tmp / "a.log", "a");
    writeFile(tmp / "b.txt", "b");
    makeDirs(tmp / "sub");
  }
  std::string inTmp(const std::string& name) const { return win(tmp / name); }

  TempDir tmp;
};

TEST_F(QxDirListTest, FilterComparesLettersWithoutCaseAndKeepsEverySubfolder) {
  QxDirList listing((tmp.path() + "\\*.LOG").c_str());
  EXPECT_EQ(listing.getFilter(), "*.LOG");
  EXPECT_EQ(listing.getFileCount(), 1);
  EXPECT_EQ(drain(listing), (std::set<std::string>{inTmp("a.log"), inTmp("sub")}));
}

TEST_F(QxDirListTest, FolderWithOrWithoutSeparatorListsEverything) {
  for (const std::string& path : {tmp.path(), tmp.path() + "/", win(tmp.path()) + "\\"}) {
    QxDirList listing(path.c_str());
    EXPECT_EQ(listing.getFilter(), "*") << path;
    EXPECT_EQ(listing.getFileCount(), 2) << path;
    EXPECT_EQ(drain(listing),
              (std::set<std::string>{inTmp("a.log"), inTmp("b.txt"), inTmp("sub")}));
  }
}

TEST_F(QxDirListTest, FileNameListsThatFileAndTheSubfolders) {
  QxDirList listing((tmp / "a.log").c_str());
  EXPECT_EQ(listing.getFilter(), "a.log");
  EXPECT_EQ(drain(listing), (std::set<std::string>{inTmp("a.log"), inTmp("sub")}));
}

TEST_F(QxDirListTest, MissingFolderListsNothing) {
  QxDirList listing((tmp / "missing/*").c_str());
  EXPECT_FALSE(listing.hasNext());
  EXPECT_EQ(listing.getNext(), "");
  EXPECT_EQ(listing.getFileCount(), 0);
}

TEST_F(QxDirListTest, QuestionMarkKeepsOneCharacterNamesOnly) {
  writeFile(tmp / "x", "");
  writeFile(tmp / "yy", "");
  QxDirList listing((tmp / "?").c_str());
  EXPECT_EQ(drain(listing), (std::set<std::string>{inTmp("x"), inTmp("sub")}));
}

TEST_F(QxDirListTest, StarsMatchAnyRunAndTheWholeNameMustMatch) {
  for (const char* name : {"abc", "aXbYc", "AbC", "abcb", "ac", "xabc", "aaab_c"}) {
    writeFile(tmp / name, "");
  }
  QxDirList listing((tmp / "a*b*c").c_str());
  EXPECT_EQ(listing.getFileCount(), 4);
  EXPECT_EQ(drain(listing), (std::set<std::string>{inTmp("abc"), inTmp("aXbYc"), inTmp("AbC"),
                                                   inTmp("aaab_c"), inTmp("sub")}));
}

TEST_F(QxDirListTest, CountDoesNotDependOnWhatWasHandedOut) {
  QxDirList listing(tmp.path().c_str());
  while (listing.hasNext()) listing.getNext();
  EXPECT_EQ(listing.getFileCount(), 2);
  EXPECT_EQ(listing.getNext(), "");
}

TEST_F(QxDirListTest, CopiesCarryOnFromTheSamePositionIndependently) {
  QxDirList original(tmp.path().c_str());
  original.getNext();
  QxDirList copied(original);
  QxDirList assigned(nullptr);
  assigned = original;
  const std::string second = original.getNext();
  EXPECT_NE(second, "");
  EXPECT_EQ(copied.getNext(), second);
  EXPECT_EQ(assigned.getNext(), second);
  EXPECT_EQ(assigned.getFilter(), "*");
  EXPECT_EQ(assigned.getFileCount(), 2);
}

TEST_F(QxDirListTest, NullPathListsTheCurrentFolder) {
  char previous[4096];
  ASSERT_NE(getcwd(previous, sizeof previous), nullptr);
  ASSERT_EQ(chdir(tmp.path().c_str()), 0);
  QxDirList listing(nullptr);
  const std::set<std::string> paths = drain(listing);
  ASSERT_EQ(chdir(previous), 0);
  EXPECT_EQ(listing.getFilter(), "*");
  EXPECT_EQ(paths, (std::set<std::string>{"a.log", "b.txt", "sub"}));
}

TEST_F(QxDirListTest, RootPathListsTheRootNotTheCurrentFolder) {
  QxDirList listing("\\*");
  const std::set<std::string> paths = drain(listing);
  EXPECT_EQ(paths.count("\\proc"), 1u);
  EXPECT_EQ(paths.count("\\sub"), 0u);
}

TEST_F(QxDirListTest, OverlongPathListsNothing) {
  const std::string longPath = tmp.path() + "/" + std::string(5000, 'x') + "/*";
  QxDirList listing(longPath.c_str());
  EXPECT_FALSE(listing.hasNext());
  EXPECT_EQ(listing.getFileCount(), 0);
}

}  // namespace
