#include <gtest/gtest.h>
#include <unistd.h>

#include <set>
#include <string>

#include "FileOpTestSupport.h"

namespace {

using OrvelFileOpUtil::QxDirList;
using namespace OrvelTest;
using Paths = std::set<std::string>;

Paths drain(QxDirList& listing) {
  Paths paths;
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

TEST_F(QxDirListTest, FolderFilterOrFileSelectsNamesAndKeepsEverySubfolder) {
  for (const std::string& path : {tmp.path(), tmp.path() + "/", win(tmp.path()) + "\\"}) {
    QxDirList listing(path.c_str());
    EXPECT_EQ(listing.getFilter(), "*") << path;
    EXPECT_EQ(listing.getFileCount(), 2) << path;
    EXPECT_EQ(drain(listing), (Paths{inTmp("a.log"), inTmp("b.txt"), inTmp("sub")}));
    EXPECT_EQ(listing.getFileCount(), 2) << "whatever was handed out";
    EXPECT_EQ(listing.getNext(), "");
  }
  QxDirList filtered((tmp.path() + "\\*.LOG").c_str());
  EXPECT_EQ(filtered.getFilter(), "*.LOG");
  EXPECT_EQ(filtered.getFileCount(), 1);
  EXPECT_EQ(drain(filtered), (Paths{inTmp("a.log"), inTmp("sub")}));
  QxDirList file((tmp / "a.log").c_str());
  EXPECT_EQ(file.getFilter(), "a.log");
  EXPECT_EQ(drain(file), (Paths{inTmp("a.log"), inTmp("sub")}));
  QxDirList missing((tmp / "missing/*").c_str());
  EXPECT_FALSE(missing.hasNext());
  EXPECT_EQ(missing.getNext(), "");
  EXPECT_EQ(missing.getFileCount(), 0);
}

TEST_F(QxDirListTest, WildcardsMatchTheWholeNameWithoutCase) {
  for (const char* name : {"x", "yy", "abc", "aXbYc", "AbC", "abcb", "ac", "xabc", "aaab_c"})
    writeFile(tmp / name, "");
  QxDirList one((tmp / "?").c_str());
  EXPECT_EQ(drain(one), (Paths{inTmp("x"), inTmp("sub")}));
  QxDirList stars((tmp / "a*b*c").c_str());
  EXPECT_EQ(stars.getFileCount(), 4);
  EXPECT_EQ(drain(stars),
            (Paths{inTmp("abc"), inTmp("aXbYc"), inTmp("AbC"), inTmp("aaab_c"), inTmp("sub")}));
}

TEST_F(QxDirListTest, NullPathListsTheCurrentFolderAndARootPathTheRoot) {
  char previous[4096];
  ASSERT_NE(getcwd(previous, sizeof previous), nullptr);
  ASSERT_EQ(chdir(tmp.path().c_str()), 0);
  QxDirList listing(nullptr);
  const Paths paths = drain(listing);
  QxDirList root("\\*");
  const Paths rootPaths = drain(root);
  ASSERT_EQ(chdir(previous), 0);
  EXPECT_EQ(listing.getFilter(), "*");
  EXPECT_EQ(paths, (Paths{"a.log", "b.txt", "sub"}));
  EXPECT_EQ(rootPaths.count("\\proc"), 1u);
  EXPECT_EQ(rootPaths.count("\\sub"), 0u);
}

}  // namespace
