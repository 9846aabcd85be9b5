// Symbolic links inside a tree that xcopy copies: a link to a folder is not followed (it may lead
// back up the tree, or out of it) and is left out; a link to a file is copied as the file's
// content, as copy does.
#include <gtest/gtest.h>
#include <unistd.h>

#include <set>
#include <string>

#include "FileOpTestSupport.h"

namespace {

namespace fu = OrvelFileOpUtil;
using namespace OrvelTest;

TEST(TreeCopyLinkTest, LinksToFoldersAreLeftOutAndLinksToFilesCopiedAsContent) {
  TempDir tmp;
  makeDirs(tmp / "in/other");
  makeDirs(tmp / "elsewhere");
  writeFile(tmp / "in/a.ptn", "alpha");
  writeFile(tmp / "in/other/deep.txt", "deep");
  writeFile(tmp / "elsewhere/precious", "");
  ASSERT_EQ(::symlink("..", (tmp / "in/other/up").c_str()), 0);
  ASSERT_EQ(::symlink(".", (tmp / "in/other/self").c_str()), 0);
  ASSERT_EQ(::symlink((tmp / "elsewhere").c_str(), (tmp / "in/other/out").c_str()), 0);
  ASSERT_EQ(::symlink("../a.ptn", (tmp / "in/other/a.lnk").c_str()), 0);

  EXPECT_EQ(fu::xcopy((tmp / "in").c_str(), (tmp / "x/").c_str(), false), fu::kOk);
  std::set<std::string> copied;
  for (const auto& found : std::filesystem::recursive_directory_iterator(tmp / "x")) {
    copied.insert(found.path().lexically_relative(tmp / "x").string());
  }
  EXPECT_EQ(copied, (std::set<std::string>{"in", "in/a.ptn", "in/other", "in/other/deep.txt",
                                           "in/other/a.lnk"}));
  EXPECT_FALSE(std::filesystem::is_symlink(tmp / "x/in/other/a.lnk"));
  EXPECT_EQ(readFile(tmp / "x/in/other/a.lnk"), "alpha");
}

}  // namespace
