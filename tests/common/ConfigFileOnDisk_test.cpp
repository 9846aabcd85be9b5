#include "OrvelCommon/ConfigFileOnDisk.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "ChildProcess.h"
#include "TempDir.h"

using ORVEL::ConfigFileOnDisk;
using OrvelTest::readFile;
using OrvelTest::writeFile;

namespace {

std::string valueOf(ConfigFileOnDisk& file, const char* section, const char* key) {
  std::string value = "<not found>";
  file.getparam(section, key, value);
  return value;
}

// A folder that holds the settings file alone: no temporary was left beside it.
bool holdsOneFile(const std::string& folder) {
  return std::distance(std::filesystem::directory_iterator(folder), {}) == 1;
}

class ConfigFileOnDiskTest : public ::testing::Test {
 protected:
  OrvelTest::TempDir m_dir;
  std::string m_path = m_dir / "orvel.ini";
};

TEST_F(ConfigFileOnDiskTest, ReadsValuesExactlyAsWrittenWhateverSurroundsThem) {
  writeFile(m_path,
            "\xEF\xBB\xBF[general]\r\nearly = before\r\n[update]\r\n"
            "version = 1.234.00 \r\n  url =  http://host/p?a=b&c=d  \r\n"
            "# hash = comment\r\n; semi = comment\r\nno equals sign here\r\nCase=upper\r\n"
            "case=lower\r\nempty=\r\n[ spaced ]\r\nk=v\r\n[last]\nfinal=no line end");
  ConfigFileOnDisk file(m_path.c_str());
  EXPECT_TRUE(file.m_readable);
  const char* const found[][3] = {{"general", "early", "before"},
                                  {"update", "version", "1.234.00"},
                                  {"update", "url", "http://host/p?a=b&c=d"},
                                  {"update", "Case", "upper"},
                                  {"update", "case", "lower"},
                                  {"update", "empty", ""},
                                  {"spaced", "k", "v"},
                                  {"last", "final", "no line end"},
                                  {"update", "# hash", nullptr},
                                  {"update", "no equals sign here", nullptr},
                                  {"update", "early", nullptr}};
  for (const auto& f : found) EXPECT_EQ(f[2] ? f[2] : "<not found>", valueOf(file, f[0], f[1]));
}

TEST_F(ConfigFileOnDiskTest, ChangesTouchOneLineKeepEveryOtherByteAndAreAppendedWithTheLineEnd) {
  const std::string original =
      "; settings\r\n[update]\r\na = 1 \r\nb=2\r\n\r\n; about general\r\n[general]\r\n"
      "locale=en_US\r\n";
  writeFile(m_path, original);
  ConfigFileOnDisk file(m_path.c_str());
  ASSERT_TRUE(file.setparam("update", "a", "10"));
  ASSERT_TRUE(file.setparam("update", "c", "x = y"));
  ASSERT_TRUE(file.setparam("hqagent", "QXHQ_Server", "host"));
  ASSERT_TRUE(file.setparam("", "top", "t"));
  ASSERT_TRUE(file.setparam("", "top", "u"));  // the file's first line
  EXPECT_EQ(readFile(m_path),
            "top=u\r\n; settings\r\n[update]\r\na = 10\r\nb=2\r\nc=x = y\r\n\r\n; about general\r\n"
            "[general]\r\nlocale=en_US\r\n[hqagent]\r\nQXHQ_Server=host\r\n");

  // The first of duplicates is changed; a missing line end is added.
  writeFile(m_path, "[s]\nk=1\nk=2\n[t]\nx=1");
  ASSERT_TRUE(file.setparam("s", "k", "9"));
  ASSERT_TRUE(file.setparam("t", "y", "2"));
  EXPECT_EQ(readFile(m_path), "[s]\nk=9\nk=2\n[t]\nx=1\ny=2\n");
}

// A settings file that is a link stays one: the change goes to the file it leads to.
TEST_F(ConfigFileOnDiskTest, AChangeGoesThroughALinkAndKeepsIt) {
  ASSERT_EQ(::mkdir((m_dir / "real").c_str(), 0755), 0);
  writeFile(m_dir / "real/orvel.ini", "[update]\nk=1\n");
  ASSERT_EQ(::symlink("real/orvel.ini", m_path.c_str()), 0);
  ConfigFileOnDisk file(m_path.c_str());
  ASSERT_TRUE(file.setparam("update", "k", "2"));
  EXPECT_TRUE(std::filesystem::is_symlink(m_path));
  EXPECT_EQ(readFile(m_dir / "real/orvel.ini"), "[update]\nk=2\n");
  EXPECT_TRUE(holdsOneFile(m_dir / "real"));
}

TEST_F(ConfigFileOnDiskTest, RefusedOrFailedChangesLeaveTheOriginalAndNoTemporary) {
  const std::string original = "; keep me\n[update]\nk=1\n";
  writeFile(m_path, original);
  ConfigFileOnDisk file(m_path.c_str());
  const char* const refused[][3] = {
      {nullptr, "k", "v"},   {"update", nullptr, "v"},      {"update", "k", nullptr},
      {"update", "", "v"},   {"update", "k", "two\nlines"}, {"update", "a=b", "v"},
      {"update", " k", "v"}, {"update", "[k", "v"},         {"update", ";k", "v"},
      {"up]date", "k", "v"}, {" update", "k", "v"}};
  for (const auto& r : refused)
    EXPECT_FALSE(file.setparam(r[0], r[1], r[2]))
        << (r[0] ? r[0] : "-") << "/" << (r[1] ? r[1] : "-");
  EXPECT_EQ(readFile(m_path), original);
  // The file size limit makes the write of the new file fail, as a full disk would.
  int rc = OrvelTest::runInChild([&] {
    ::signal(SIGXFSZ, SIG_IGN);
    rlimit limit{1024, 1024};
    if (::setrlimit(RLIMIT_FSIZE, &limit) != 0) return 2;
    ConfigFileOnDisk file(m_path.c_str());
    return file.setparam("update", "k", std::string(4000, 'v').c_str()) ? 1 : 0;
  });
  EXPECT_EQ(rc, 0);
  EXPECT_EQ(readFile(m_path), original);
  EXPECT_TRUE(holdsOneFile(m_dir.path()));

  writeFile(m_dir / "not-a-folder", "x");
  for (const std::string& path : {m_dir / "not-a-folder/orvel.ini", m_dir / "missing/orvel.ini",
                                  m_dir.path(), std::string()}) {
    ConfigFileOnDisk other(path.empty() ? nullptr : path.c_str());
    EXPECT_FALSE(other.m_readable);
    EXPECT_FALSE(other.setparam("update", "k", "v")) << path;
  }
  EXPECT_FALSE(OrvelTest::fileExists(m_dir / "missing"));
}

TEST_F(ConfigFileOnDiskTest, ConcurrentChangesFromSeveralProcessesAreAllKept) {
  constexpr int kWriters = 4;
  constexpr int kKeysEach = 25;
  writeFile(m_path, "; shared\n[update]\n");
  const auto keyOf = [](int w, int i) { return "w" + std::to_string(w) + "_" + std::to_string(i); };
  std::vector<pid_t> children;
  for (int w = 0; w < kWriters; ++w) {
    children.push_back(OrvelTest::startChild([&, w] {
      ConfigFileOnDisk file(m_path.c_str());
      for (int i = 0; i < kKeysEach; ++i)
        if (!file.setparam(i % 2 ? "update" : "general", keyOf(w, i).c_str(), keyOf(w, i).c_str()))
          return 1;
      return 0;
    }));
  }
  for (pid_t child : children) EXPECT_EQ(OrvelTest::waitChild(child), 0);
  ConfigFileOnDisk file(m_path.c_str());
  for (int w = 0; w < kWriters; ++w)
    for (int i = 0; i < kKeysEach; ++i)
      EXPECT_EQ(valueOf(file, i % 2 ? "update" : "general", keyOf(w, i).c_str()), keyOf(w, i));
  EXPECT_TRUE(holdsOneFile(m_dir.path()));
}

}  // namespace
