// Archives made by Info-ZIP's zip that _unzip must refuse or extract without harm to what the
// destination already holds.
#include <gtest/gtest.h>
#include <minizip/unzip.h>

#include <cstdlib>
#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "OrvelKF/QxZip.h"
#include "TempDir.h"

namespace {

namespace fs = std::filesystem;
using OrvelTest::readFile;
using OrvelTest::TempDir;
using OrvelTest::writeFile;

// Stores (no compression) everything below folder, without folder entries, so that entry
// names and contents stand in the archive exactly as written.
void zipStored(const std::string& folder, const std::string& archive) {
  const std::string command =
      "cd '" + folder + "' && zip -q -0 -D -r '" + archive + "' . >/dev/null 2>&1";
  ASSERT_EQ(0, std::system(command.c_str())) << command;
}

int unzipInto(std::string archive, std::string destination) {
  return ORVEL::_unzip(archive.data(), destination.data());
}

std::set<std::string> namesIn(const std::string& folder) {
  std::set<std::string> names;
  for (const auto& found : fs::directory_iterator(folder)) names.insert(found.path().filename());
  return names;
}

// A relative name of exactly length characters: folders of 199 characters (a file name may
// have at most 255) and a file name for the rest.
std::string nameOfLength(std::size_t length) {
  std::string name;
  while (length - name.size() > 250) name += std::string(199, 'd') + "/";
  return name + std::string(length - name.size(), 'f');
}

TEST(UnzipSafety, NamesLongerThanTheLimitAreRefusedBeforeAnythingIsWritten) {
  struct Case {
    std::size_t length;
    int expected;
  };
  for (const Case c : {Case{1023, 0}, Case{1024, ORVEL::UNZIP_UNSAFE_ENTRY},
                       Case{1059, ORVEL::UNZIP_UNSAFE_ENTRY}}) {
    TempDir dir;
    const std::string name = nameOfLength(c.length);
    fs::create_directories(fs::path(dir / ("src/" + name)).parent_path());
    writeFile(dir / "src/a-first.ptn", "first");
    writeFile(dir / ("src/" + name), "long");
    zipStored(dir / "src", dir / "long.zip");
    fs::create_directory(dir / "out");

    EXPECT_EQ(c.expected, unzipInto(dir / "long.zip", dir / "out")) << c.length;
    if (c.expected == 0) {
      EXPECT_EQ("long", readFile(dir / ("out/" + name)));
    } else {
      EXPECT_TRUE(fs::is_empty(dir / "out")) << c.length;
    }
  }

  // A name with a NUL inside would be cut there and written under another name.
  TempDir dir;
  fs::create_directory(dir / "src");
  writeFile(dir / "src/a-first.ptn", "first");
  writeFile(dir / "src/ksv$pat.301#hidden", "cut");
  zipStored(dir / "src", dir / "nul.zip");
  std::string archive = readFile(dir / "nul.zip");
  for (std::size_t at = archive.find("301#"); at != std::string::npos; at = archive.find("301#"))
    archive[at + 3] = '\0';
  writeFile(dir / "nul.zip", archive);
  fs::create_directory(dir / "out");
  EXPECT_EQ(ORVEL::UNZIP_UNSAFE_ENTRY, unzipInto(dir / "nul.zip", dir / "out"));
  EXPECT_TRUE(fs::is_empty(dir / "out"));
}

// The destination holds a good pattern; the archive's entry of that name is damaged (one
// stored byte changed, so its CRC fails). The good file stays, and no temporary is left.
TEST(UnzipSafety, AnEntryReplacesItsFileOnlyWhenWholeAndChecked) {
  TempDir dir;
  fs::create_directories(dir / "src/rules");
  writeFile(dir / "src/ksv$pat.301", "new pattern 301");
  writeFile(dir / "src/rules/qx0100.rul", "new rules");
  zipStored(dir / "src", dir / "good.zip");
  fs::create_directories(dir / "out/rules");
  writeFile(dir / "out/ksv$pat.301", "installed pattern 300");

  EXPECT_EQ(0, unzipInto(dir / "good.zip", dir / "out"));
  EXPECT_EQ("new pattern 301", readFile(dir / "out/ksv$pat.301"));
  EXPECT_EQ((std::set<std::string>{"ksv$pat.301", "rules"}), namesIn(dir / "out"));
  EXPECT_EQ((std::set<std::string>{"qx0100.rul"}), namesIn(dir / "out/rules"));

  std::string damaged = readFile(dir / "good.zip");
  const std::size_t content = damaged.find("new pattern 301");
  ASSERT_NE(std::string::npos, content);
  damaged[content] = 'N';
  writeFile(dir / "damaged.zip", damaged);
  writeFile(dir / "out/ksv$pat.301", "installed pattern 300");

  EXPECT_EQ(UNZ_CRCERROR, unzipInto(dir / "damaged.zip", dir / "out"));
  EXPECT_EQ("installed pattern 300", readFile(dir / "out/ksv$pat.301"));
  EXPECT_EQ((std::set<std::string>{"ksv$pat.301", "rules"}), namesIn(dir / "out"));
}

}  // namespace
