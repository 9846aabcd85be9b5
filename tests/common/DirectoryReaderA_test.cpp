#include "OrvelCommon/DirectoryReaderA.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <map>
#include <string>

#include "TempDir.h"

namespace {

// name -> is a folder
std::map<std::string, bool> listAll(const char* folder) {
  std::map<std::string, bool> entries;
  ORVEL::DirectoryReaderA reader(folder);
  while (reader.GetNextEntry()) entries[reader.EntryName()] = reader.EntryIsDirectory();
  return entries;
}

TEST(DirectoryReaderATest, ListsFilesFoldersLinksAndDotEntriesAndNothingOfWhatCannotBeRead) {
  OrvelTest::TempDir dir;
  OrvelTest::writeFile(dir / "ksv$pat.301", "p");
  ASSERT_EQ(::mkdir((dir / "KF_Cache").c_str(), 0755), 0);
  ASSERT_EQ(::symlink("KF_Cache", (dir / "to-folder").c_str()), 0);
  ASSERT_EQ(::symlink("ksv$pat.301", (dir / "to-file").c_str()), 0);
  ASSERT_EQ(::symlink("missing", (dir / "dangling").c_str()), 0);
  const std::map<std::string, bool> expected = {
      {".", true},         {"..", true},       {"ksv$pat.301", false}, {"KF_Cache", true},
      {"to-folder", true}, {"to-file", false}, {"dangling", false}};
  EXPECT_EQ(listAll(dir.path().c_str()), expected);
  for (const std::string& path :
       {dir / "missing", dir / "ksv$pat.301", std::string(), dir / std::string(5000, 'n')})
    EXPECT_TRUE(listAll(path.c_str()).empty()) << path;
  EXPECT_TRUE(listAll(nullptr).empty());
}

}  // namespace
