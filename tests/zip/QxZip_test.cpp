// _zip and _unzip against the real tools: archives pass Info-ZIP's unzip, archives of Info-ZIP's
// zip and Python's zipfile extract, and _unzip refuses or extracts without harm to what the
// destination already holds.
#include "OrvelKF/QxZip.h"

#include <gtest/gtest.h>
#include <minizip/unzip.h>

#include <cstdlib>
#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "TempDir.h"

namespace fs = std::filesystem;
using OrvelTest::readFile;
using OrvelTest::TempDir;
using OrvelTest::writeFile;

namespace {

int run(const std::string& command) {
  int status = std::system((command + " >/dev/null 2>&1").c_str());
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

int unzipInto(std::string archive, std::string destination) {
  return ORVEL::_unzip(archive.data(), destination.data());
}

// Letters that deflate cannot shrink much: damage lands in the compressed data.
std::string bigText(std::size_t size) {
  std::string text(size, '\0');
  for (std::size_t i = 0; i < size; ++i)
    text[i] = static_cast<char>('a' + ((i * 7919) ^ (i >> 5)) % 26);
  return text;
}

// Stores (no compression) everything below folder, without folder entries, so that entry
// names and contents stand in the archive exactly as written.
void zipStored(const std::string& folder, const std::string& archive) {
  const std::string command =
      "cd '" + folder + "' && zip -q -0 -D -r '" + archive + "' . >/dev/null 2>&1";
  ASSERT_EQ(0, std::system(command.c_str())) << command;
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

}  // namespace

TEST(QxZip, ArchivesPassInfoZipKeepTheCodePageAndComeBackWhole) {
  TempDir dir;
  const std::string content = bigText(300000);  // several read chunks
  writeFile(dir / "ksv$pat.576", content);
  // The product hands over Windows-style paths.
  const std::string source = dir.path() + "\\ksv$pat.576";

  ASSERT_TRUE(ORVEL::_zip((dir / "ptn.zip").c_str(), source.c_str(), 0));
  EXPECT_EQ(0, run("unzip -t '" + dir / "ptn.zip" + "'"));

  fs::create_directory(dir / "out");
  EXPECT_EQ(0, unzipInto(dir / "ptn.zip", dir / "out"));
  EXPECT_EQ(content, readFile(dir / "out/ksv$pat.576"));
  // Entry names follow the code page: stored as Shift JIS bytes.
  const std::string name = "パターン.txt";
  writeFile(dir / name, "ja");
  ASSERT_TRUE(ORVEL::_zip((dir / "ja.zip").c_str(), (dir / name).c_str(), 932));
  EXPECT_NE(std::string::npos, readFile(dir / "ja.zip").find("\x83p\x83^\x81[\x83\x93.txt"));

  fs::create_directories(dir / "src/a/b");  // an archive of Info-ZIP's zip
  writeFile(dir / "src/a/b/data.bin", bigText(70000));
  writeFile(dir / "src/top.txt", "top");
  ASSERT_EQ(0, run("cd '" + dir / "src" + "' && zip -r '" + dir / "info.zip" + "' ."));
  EXPECT_EQ(0, unzipInto(dir / "info.zip", dir / "info"));
  EXPECT_EQ(bigText(70000) + "top",
            readFile(dir / "info/a/b/data.bin") + readFile(dir / "info/top.txt"));
}

TEST(QxZip, EntriesThatWouldLeaveTheDestinationAreRefusedBeforeAnythingIsWritten) {
  const std::vector<std::string> evil = {"/tmp/orvelkf-absolute.txt", "sub\\..\\..\\escaped.txt",
                                         "ok/../../escaped.txt", "C:\\escaped.txt"};
  TempDir dir;
  writeFile(dir / "craft.py",
            "import zipfile,sys\n"
            "for i,name in enumerate(sys.argv[2:]):\n"
            "  z=zipfile.ZipFile(sys.argv[1]+str(i),'w')\n"
            "  z.writestr('first.txt','written first')\n"
            "  z.writestr(name,'outside')\n");
  std::string command = "python3 '" + dir / "craft.py" + "' '" + dir / "evil" + "'";
  for (const std::string& name : evil) command += " '" + name + "'";
  ASSERT_EQ(0, run(command));
  for (std::size_t i = 0; i < evil.size(); ++i) {
    const std::string dest = dir / ("dest" + std::to_string(i));
    fs::create_directories(dest + "/a");
    EXPECT_EQ(ORVEL::UNZIP_UNSAFE_ENTRY, unzipInto(dir / ("evil" + std::to_string(i)), dest + "/a"))
        << evil[i];
    EXPECT_EQ(std::set<std::string>{"a"}, namesIn(dest)) << evil[i];
    EXPECT_TRUE(fs::is_empty(dest + "/a") && !fs::exists("/tmp/orvelkf-absolute.txt")) << evil[i];
  }
}

TEST(QxZip, DamagedArchivesAndBadPathsFailWithoutLeavingHalfFiles) {
  TempDir dir;
  writeFile(dir / "data", bigText(200000));
  ASSERT_TRUE(ORVEL::_zip((dir / "good.zip").c_str(), (dir / "data").c_str(), 0));
  const std::string good = readFile(dir / "good.zip");

  // Compressed bytes changed: the entry fails its check and its file goes.
  std::string damaged = good;
  for (std::size_t i = 100; i < 400; ++i) damaged[i] = static_cast<char>(damaged[i] ^ 0x5a);
  writeFile(dir / "damaged.zip", damaged);
  EXPECT_NE(0, unzipInto(dir / "damaged.zip", dir / "out2"));
  EXPECT_FALSE(fs::exists(dir / "out2/data"));

  writeFile(dir / "garbage.zip", "this is not an archive");
  EXPECT_EQ(-1, unzipInto(dir / "garbage.zip", dir / "out3"));
  EXPECT_EQ(-1, unzipInto(dir / "good.zip", ""));  // never the root folder
  fs::remove_all(dir.path());
  fs::create_directory(dir.path());
  writeFile(dir / "data", "x");
  // A missing source leaves no archive behind; a bare name has no folder part to cut at.
  EXPECT_FALSE(ORVEL::_zip(nullptr, (dir / "data").c_str(), 0) ||
               ORVEL::_zip((dir / "missing/a.zip").c_str(), (dir / "data").c_str(), 0) ||
               ORVEL::_zip((dir / "b.zip").c_str(), (dir / "nothing").c_str(), 0) ||
               ORVEL::_zip((dir / "c.zip").c_str(), "data", 0));
  EXPECT_EQ((std::set<std::string>{"data"}), namesIn(dir.path()));
}

// A name over the limit of 1023 characters, and one with a NUL inside that would be cut there and
// written under another name.
TEST(UnzipSafety, OverlongOrCutNamesAreRefusedBeforeAnythingIsWritten) {
  for (const std::string& name : {nameOfLength(1024), std::string("ksv$pat.301#hidden")}) {
    TempDir dir;
    fs::create_directories(fs::path(dir / ("src/" + name)).parent_path());
    writeFile(dir / "src/a-first.ptn", "first");
    writeFile(dir / ("src/" + name), "long");
    zipStored(dir / "src", dir / "bad.zip");
    std::string archive = readFile(dir / "bad.zip");
    for (std::size_t at = archive.find("301#"); at != std::string::npos; at = archive.find("301#"))
      archive[at + 3] = '\0';
    writeFile(dir / "bad.zip", archive);
    fs::create_directory(dir / "out");
    EXPECT_EQ(ORVEL::UNZIP_UNSAFE_ENTRY, unzipInto(dir / "bad.zip", dir / "out")) << name.size();
    EXPECT_TRUE(fs::is_empty(dir / "out")) << name.size();
  }
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
