#include "OrvelKF/QxZip.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
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

// Python's zipfile reads the archive, checks every CRC and prints
// "name|mode|made-by version" per entry, names decoded with the code page.
std::string describeWithPython(const std::string& archive, const std::string& encoding) {
  TempDir out;
  const std::string listing = out / "listing";
  const std::string script =
      "import zipfile,sys\n"
      "sys.stdout=open(sys.argv[3],'w')\n"
      "z=zipfile.ZipFile(sys.argv[1])\n"
      "assert z.testzip() is None\n"
      "for i in z.infolist():\n"
      "  n=i.filename.encode('cp437').decode(sys.argv[2]) if not i.flag_bits & 0x800 else i.filename\n"
      "  print('%s|%o|%d' % (n, i.external_attr >> 16, i.create_version))\n";
  writeFile(out / "describe.py", script);
  if (run("python3 " + out / "describe.py" + " '" + archive + "' " + encoding + " " + listing) != 0)
    return "python zipfile failed";
  return readFile(listing);
}

std::string mutableCopy(const std::string& text, std::vector<char>& storage) {
  storage.assign(text.begin(), text.end());
  storage.push_back('\0');
  return text;
}

int unzipInto(const std::string& archive, const std::string& destination) {
  std::vector<char> a, d;
  mutableCopy(archive, a);
  mutableCopy(destination, d);
  return ORVEL::_unzip(a.data(), d.data());
}

std::string bigText(std::size_t size) {
  std::string text;
  text.reserve(size);
  for (std::size_t i = 0; text.size() < size; ++i) text += "pattern line " + std::to_string(i * 7919 % 10007) + "\n";
  text.resize(size);
  return text;
}

}  // namespace

TEST(QxZip, AFileArchivePassesInfoZipAndPythonAndComesBackWhole) {
  TempDir dir;
  const std::string content = bigText(300000);  // several read chunks
  writeFile(dir / "ksv$pat.576", content);
  chmod((dir / "ksv$pat.576").c_str(), 0640);
  // The product hands over Windows-style paths.
  const std::string source = dir.path() + "\\ksv$pat.576";

  ASSERT_TRUE(ORVEL::_zip((dir / "ptn.zip").c_str(), source.c_str(), 0));
  EXPECT_EQ(0, run("unzip -t '" + dir / "ptn.zip" + "'"));
  EXPECT_EQ("ksv$pat.576|100640|20\n", describeWithPython(dir / "ptn.zip", "utf-8"));

  fs::create_directory(dir / "out");
  EXPECT_EQ(0, unzipInto(dir / "ptn.zip", dir / "out"));
  EXPECT_EQ(content, readFile(dir / "out/ksv$pat.576"));
  struct stat original {}, extracted {};
  stat((dir / "ksv$pat.576").c_str(), &original);
  stat((dir / "out/ksv$pat.576").c_str(), &extracted);
  // ZIP times have a two-second grain.
  EXPECT_LE(std::abs(static_cast<long>(original.st_mtime - extracted.st_mtime)), 2);
}

TEST(QxZip, AFolderArchiveKeepsRelativePathsWithSlashes) {
  TempDir dir;
  fs::create_directories(dir / "rules/sub/deeper");
  writeFile(dir / "rules/qx0100.rul", "base");
  writeFile(dir / "rules/sub/qx0100.sig", "sig");
  writeFile(dir / "rules/sub/deeper/empty", "");

  ASSERT_TRUE(ORVEL::_zip((dir / "rules.zip").c_str(), (dir.path() + "\\rules").c_str(), 0));
  EXPECT_EQ(0, run("unzip -t '" + dir / "rules.zip" + "'"));
  const std::string listing = describeWithPython(dir / "rules.zip", "utf-8");
  EXPECT_NE(std::string::npos, listing.find("qx0100.rul|"));
  EXPECT_NE(std::string::npos, listing.find("sub/qx0100.sig|"));
  EXPECT_NE(std::string::npos, listing.find("sub/deeper/empty|"));
  EXPECT_EQ(std::string::npos, listing.find('\\'));

  EXPECT_EQ(0, unzipInto(dir / "rules.zip", dir / "copy/"));
  EXPECT_EQ("sig", readFile(dir / "copy/sub/qx0100.sig"));
  EXPECT_EQ("", readFile(dir / "copy/sub/deeper/empty"));
}

TEST(QxZip, EntryNamesFollowTheCodePage) {
  TempDir dir;
  const std::string name = "パターン.txt";
  writeFile(dir / name, "ja");
  ASSERT_TRUE(ORVEL::_zip((dir / "ja.zip").c_str(), (dir / name).c_str(), 932));
  EXPECT_EQ(name + "|100644|20\n", describeWithPython(dir / "ja.zip", "cp932"));

  // Code pages other than the four double-byte ones keep the name's bytes.
  ASSERT_TRUE(ORVEL::_zip((dir / "west.zip").c_str(), (dir / name).c_str(), 1252));
  EXPECT_EQ(name + "|100644|20\n", describeWithPython(dir / "west.zip", "utf-8"));
}

TEST(QxZip, ArchivesOfInfoZipExtract) {
  TempDir dir;
  fs::create_directories(dir / "src/a/b");
  writeFile(dir / "src/a/b/data.bin", bigText(70000));
  writeFile(dir / "src/top.txt", "top");
  ASSERT_EQ(0, run("cd '" + dir / "src" + "' && zip -r '" + dir / "info.zip" + "' ."));

  EXPECT_EQ(0, unzipInto(dir / "info.zip", dir / "out"));
  EXPECT_EQ(bigText(70000), readFile(dir / "out/a/b/data.bin"));
  EXPECT_EQ("top", readFile(dir / "out/top.txt"));
}

TEST(QxZip, EntriesThatWouldLeaveTheDestinationAreRefusedBeforeAnythingIsWritten) {
  for (const std::string evil : {"../escaped.txt", "/tmp/orvelkf-absolute.txt", "sub\\..\\..\\escaped.txt",
                                 "ok/../../escaped.txt", "C:\\escaped.txt", "..\\escaped.txt"}) {
    TempDir dir;
    const std::string script = "import zipfile,sys\n"
                               "z=zipfile.ZipFile(sys.argv[1],'w')\n"
                               "z.writestr('first.txt','written first')\n"
                               "z.writestr(sys.argv[2],'outside')\n";
    writeFile(dir / "craft.py", script);
    ASSERT_EQ(0, run("python3 '" + dir / "craft.py" + "' '" + dir / "evil.zip" + "' '" + evil + "'"));
    fs::create_directory(dir / "dest");

    EXPECT_EQ(ORVEL::UNZIP_UNSAFE_ENTRY, unzipInto(dir / "evil.zip", dir / "dest")) << evil;
    EXPECT_TRUE(fs::is_empty(dir / "dest")) << evil;
    EXPECT_FALSE(fs::exists(dir / "escaped.txt")) << evil;
    EXPECT_FALSE(fs::exists("/tmp/orvelkf-absolute.txt")) << evil;
  }
}

TEST(QxZip, DamagedArchivesFailWithoutLeavingHalfFiles) {
  TempDir dir;
  writeFile(dir / "data", bigText(200000));
  ASSERT_TRUE(ORVEL::_zip((dir / "good.zip").c_str(), (dir / "data").c_str(), 0));
  const std::string good = readFile(dir / "good.zip");

  // Cut in the middle: the central directory is gone.
  writeFile(dir / "truncated.zip", good.substr(0, good.size() / 2));
  EXPECT_NE(0, unzipInto(dir / "truncated.zip", dir / "out1"));
  EXPECT_FALSE(fs::exists(dir / "out1/data"));

  // Compressed bytes changed: the entry fails its check and its file goes.
  std::string damaged = good;
  for (std::size_t i = 100; i < 400; ++i) damaged[i] = static_cast<char>(damaged[i] ^ 0x5a);
  writeFile(dir / "damaged.zip", damaged);
  EXPECT_NE(0, unzipInto(dir / "damaged.zip", dir / "out2"));
  EXPECT_FALSE(fs::exists(dir / "out2/data"));

  writeFile(dir / "garbage.zip", "this is not an archive");
  EXPECT_EQ(-1, unzipInto(dir / "garbage.zip", dir / "out3"));
  EXPECT_EQ(-1, unzipInto(dir / "missing.zip", dir / "out3"));
  EXPECT_EQ(-1, unzipInto(dir / "good.zip", ""));  // never the root folder
  EXPECT_EQ(-1, ORVEL::_unzip(nullptr, nullptr));
}

TEST(QxZip, BadSourcesAndArchivePathsFail) {
  TempDir dir;
  writeFile(dir / "data", "x");
  EXPECT_FALSE(ORVEL::_zip(nullptr, (dir / "data").c_str(), 0));
  EXPECT_FALSE(ORVEL::_zip((dir / "a.zip").c_str(), nullptr, 0));
  EXPECT_FALSE(ORVEL::_zip((dir / "a.zip").c_str(), "", 0));
  EXPECT_FALSE(ORVEL::_zip((dir / "missing/a.zip").c_str(), (dir / "data").c_str(), 0));
  // A missing source fails and leaves no archive behind.
  EXPECT_FALSE(ORVEL::_zip((dir / "b.zip").c_str(), (dir / "nothing").c_str(), 0));
  EXPECT_FALSE(fs::exists(dir / "b.zip"));
  // A bare name has no folder part to cut at.
  EXPECT_FALSE(ORVEL::_zip((dir / "c.zip").c_str(), "data", 0));
}

TEST(QxZip, ThousandsOfEntriesRoundTrip) {
  TempDir dir;
  fs::create_directories(dir / "many");
  for (int i = 0; i < 3000; ++i) writeFile(dir / ("many/f" + std::to_string(i)), std::to_string(i));
  ASSERT_TRUE(ORVEL::_zip((dir / "many.zip").c_str(), (dir / "many").c_str(), 0));
  EXPECT_EQ(0, run("unzip -t '" + dir / "many.zip" + "'"));
  EXPECT_EQ(0, unzipInto(dir / "many.zip", dir / "out"));
  EXPECT_EQ("2999", readFile(dir / "out/f2999"));
  EXPECT_EQ(3000, std::distance(fs::directory_iterator(dir / "out"), fs::directory_iterator()));
}
