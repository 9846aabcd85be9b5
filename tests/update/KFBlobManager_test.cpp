#include "OrvelKF/KFBlobManager.h"

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>

#include "ChildProcess.h"
#include "OrvelCommon/BoundedCopy.h"
#include "ProductHome.h"

namespace fs = std::filesystem;
using A = QxUpdateTestAccess;

namespace {

std::string content(std::size_t size, char seed) {
  std::string text(size, '\0');
  for (std::size_t i = 0; i < size; ++i) text[i] = static_cast<char>(seed + i * 31 % 251);
  return text;
}

_uiKFData request(int type, const char* version, const std::string& path, const char* name) {
  _uiKFData data{};
  data.type = type;
  ORVEL::boundedCopy(data.version, sizeof data.version, version);
  ORVEL::boundedCopy(data.file_name, sizeof data.file_name, name);
  ORVEL::boundedCopy(data.file_path, sizeof data.file_path, path.c_str());
  std::error_code ec;
  auto size = fs::file_size(path, ec);
  data.file_size = ec ? 0 : static_cast<int>(size);
  return data;
}

}  // namespace

class KFBlobStore : public OrvelTest::HomeTest {
 protected:
  OrvelErrC upload(int type, const char* version, const std::string& text) {
    return home->upload(type, version, text);
  }
  std::string rows() { return home->componentRows(); }
  std::string fetch(int type, std::string path, OrvelErrC expected = ERRC_SUCCESS) {
    _uiKFData data = request(type, "", "", "");
    ORVEL::boundedCopy(data.file_path, sizeof data.file_path, path.c_str());
    EXPECT_EQ(expected, KFBlobManager::GetKFBlob(data));
    return data.file_path;
  }
};

TEST_P(KFBlobStore, UploadsKeepOneCurrentAndOneBackupRow) {
  EXPECT_EQ(ERRC_SUCCESS, upload(1, "5.763.00", "first"));
  EXPECT_NE(std::string::npos,
            home->log().find("KFBlobManager::_removeKFRow: can not find the row with type = 1"));
  EXPECT_EQ("1:5.763.00 ", rows());

  EXPECT_EQ(ERRC_DB_UP_TO_DATE, upload(1, "5.763.00", "same"));
  EXPECT_EQ(ERRC_DB_UP_TO_DATE, upload(1, "5.700.00", "older"));
  EXPECT_NE(std::string::npos,
            home->log().find("Component in database has been up-to-date: 5.763.00 >= 5.700.00"));
  EXPECT_EQ("1:5.763.00 ", rows());

  EXPECT_EQ(ERRC_SUCCESS, upload(1, "5.765.00", "second"));
  EXPECT_EQ(ERRC_SUCCESS, upload(1, "5.767.00", "third"));
  EXPECT_EQ("1:5.767.00 101:5.765.00 ", rows());

  std::vector<_uiKFDataNoFile> all;
  ASSERT_EQ(ERRC_SUCCESS, KFBlobManager::GetKFRows(all));
  EXPECT_EQ(5, all[0].file_size);
  EXPECT_STREQ("ksv$pat.576", all[0].file_name);
  EXPECT_LT(std::labs(all[0].update_time - std::time(nullptr)), 3600 * 24);
}

TEST_P(KFBlobStore, AnUploadWhoseFileDoesNotOpenChangesNothing) {
  ASSERT_EQ(ERRC_SUCCESS, upload(2, "1.100.00", "one"));
  ASSERT_EQ(ERRC_SUCCESS, upload(2, "1.200.00", "two"));
  const std::int64_t objects = home->largeObjects();

  _uiKFData missing = request(2, "1.300.00", *home / "no-such-file", "x");
  missing.file_size = 10;
  EXPECT_EQ(ERRC_FILE_OPEN, KFBlobManager::AddKFBlob(missing));
  EXPECT_EQ("2:1.200.00 102:1.100.00 ", rows());
  EXPECT_EQ("two", OrvelTest::readFile(fetch(2, *home / "got")));
  EXPECT_EQ(objects, home->largeObjects());
  EXPECT_NE(std::string::npos, home->log().find("KFBlobManager::_addKFBlob: can not open file: " +
                                                *home / "no-such-file"));

  // A file shorter than announced fails while streaming: rolled back as well.
  const std::string shortFile = *home / "short";
  OrvelTest::writeFile(shortFile, "abc");
  _uiKFData truncated = request(2, "1.400.00", shortFile, "x");
  truncated.file_size = 20000;
  EXPECT_EQ(ERRC_DB_FAILURE, KFBlobManager::AddKFBlob(truncated));
  EXPECT_EQ("2:1.200.00 102:1.100.00 ", rows());
  EXPECT_EQ(objects, home->largeObjects());
}

TEST_P(KFBlobStore, FetchesStreamToFilesAndFailuresLeaveNoHalfFile) {
  const std::string big = content(3 * 1024 * 1024 + 17, 'a');  // many 10240-byte chunks
  ASSERT_EQ(ERRC_SUCCESS, upload(10, "1.234.56", big));
  fs::create_directory(*home / "stage");

  // A folder path gets the stored file name.
  const std::string written = fetch(10, home->path() + "/stage\\");
  EXPECT_EQ(home->path() + "/stage\\ksv$pat.576", written);
  EXPECT_EQ(big, OrvelTest::readFile(*home / "stage/ksv$pat.576"));

  // No row of that type: nothing written, an older file of the name stays.
  OrvelTest::writeFile(*home / "stage/keep", "older pattern");
  fetch(3, *home / "stage/keep", ERRC_DB_FAILURE);
  EXPECT_EQ("older pattern", OrvelTest::readFile(*home / "stage/keep"));
  EXPECT_EQ(2, std::distance(fs::directory_iterator(*home / "stage"), fs::directory_iterator()));

  // A stored size of 0 is refused.
  home->exec("update tb_kite_feed set file_size = 0 where type = 10");
  fetch(10, *home / "stage/zero", ERRC_DB_FAILURE);
  EXPECT_FALSE(fs::exists(*home / "stage/zero"));
  EXPECT_NE(std::string::npos, home->log().find("invalid file size read from central database"));

  // The content is shorter than the size asked for: the half file goes.
  _uiKFData tooMuch = request(10, "", "", "");
  ORVEL::boundedCopy(tooMuch.file_path, sizeof tooMuch.file_path, (*home / "stage/long").c_str());
  tooMuch.file_size = static_cast<int>(big.size()) + 10240;
  EXPECT_EQ(ERRC_DB_FAILURE, KFBlobManager::GetKFBlob(tooMuch));
  EXPECT_FALSE(fs::exists(*home / "stage/long"));
  EXPECT_EQ(2, std::distance(fs::directory_iterator(*home / "stage"), fs::directory_iterator()));

  // A destination that cannot be created.
  fetch(10, *home / "no/such/folder/file", ERRC_FILE_OPEN);
}

TEST_P(KFBlobStore, RollbackRestoresThePreviousRowOnceAndCyclesLeaveNoOrphanedContent) {
  const std::int64_t before = home->largeObjects();
  ASSERT_EQ(ERRC_SUCCESS, upload(6, "17461.002", "old rules"));
  ASSERT_EQ(ERRC_SUCCESS, upload(6, "17461.010", "new rules"));
  std::string version;
  EXPECT_EQ(1, KFBlobManager::RollbackKFBlob(6, version));
  EXPECT_EQ("17461.002", version);
  EXPECT_EQ("6:17461.002 ", rows());
  EXPECT_EQ("old rules", OrvelTest::readFile(fetch(6, *home / "rolled")));
  version = "kept";
  EXPECT_EQ(0, KFBlobManager::RollbackKFBlob(6, version));
  EXPECT_EQ("kept", version);
  EXPECT_NE(
      std::string::npos,
      home->log().find("KFBlobManager::RollbackKFBlob: can not find the row with type = 106"));
  for (int cycle = 0; cycle < 3; ++cycle) {
    const std::string v1 = "5." + std::to_string(700 + 2 * cycle) + ".00";
    const std::string v2 = "5." + std::to_string(701 + 2 * cycle) + ".00";
    ASSERT_EQ(ERRC_SUCCESS, upload(1, v1.c_str(), content(50000, 'x')));
    ASSERT_EQ(ERRC_SUCCESS, upload(1, v2.c_str(), content(50000, 'y')));
    ASSERT_EQ(1, KFBlobManager::RollbackKFBlob(1, version));
    EXPECT_EQ(v1, version);
  }
  // Two current rows and no backup: exactly two objects on PostgreSQL.
  EXPECT_EQ("1:5.704.00 6:17461.002 ", rows());
  EXPECT_EQ(GetParam() == OrvelTest::Backend::kPostgres ? before + 2 : 0, home->largeObjects());
}

TEST_P(KFBlobStore, ConcurrentUploadsOfOneTypeLeaveOneCurrentRow) {
  std::vector<pid_t> children;
  for (int process = 0; process < 4; ++process) {
    const std::string version = "5.80" + std::to_string(process) + ".00";
    const std::string path = *home / ("concurrent-" + std::to_string(process));
    OrvelTest::writeFile(path, content(200000, static_cast<char>('a' + process)));
    children.push_back(OrvelTest::startChild([&] {
      OrvelTest::forgetProcessSettings();
      const OrvelErrC result = KFBlobManager::AddKFBlob(request(1, version.c_str(), path, "p"));
      return result == ERRC_SUCCESS || result == ERRC_DB_UP_TO_DATE || result == ERRC_DB_FAILURE
                 ? 0
                 : 1;
    }));
  }
  for (pid_t child : children) EXPECT_EQ(0, OrvelTest::waitChild(child));
  EXPECT_EQ(1, home->scalar("select count(*) as n from tb_kite_feed where type = 1"));
  EXPECT_LE(home->scalar("select count(*) as n from tb_kite_feed where type = 101"), 1);
  // Whatever row won holds the whole content of its upload.
  const std::string got = OrvelTest::readFile(fetch(1, *home / "winner"));
  ASSERT_EQ(200000u, got.size());
  EXPECT_EQ(content(200000, got[0]), got);
  if (GetParam() == OrvelTest::Backend::kPostgres) {
    EXPECT_EQ(home->scalar("select count(*) as n from tb_kite_feed"), home->largeObjects());
  }
}

TEST_P(KFBlobStore, UploadCounterAndNullVersions) {
  int number = 0;
  EXPECT_TRUE(KFBlobManager::GetKFUploadsNum(number));
  EXPECT_EQ(1, number);
  number = 99;
  EXPECT_TRUE(KFBlobManager::GetKFUploadsNum(number));
  EXPECT_EQ(1, number);

  // A row without a version is replaced by any upload.
  ASSERT_EQ(ERRC_SUCCESS, upload(4, "1.000.01", "x"));
  home->exec("update tb_kite_feed set version = NULL where type = 4");
  EXPECT_EQ("4: ", rows());
  EXPECT_EQ(ERRC_SUCCESS, upload(4, "1.000.02", "y"));
  EXPECT_EQ("4:1.000.02 104: ", rows());
  std::string version;
  EXPECT_EQ(-1, KFBlobManager::RollbackKFBlob(4, version));
  EXPECT_NE(
      std::string::npos,
      home->log().find("KFBlobManager::RollbackKFBlob: get version from tb_kite_feed failed"));
}

TEST_P(KFBlobStore, TheUpdateObjectZipsPatternsAndCountsUploads) {
  QxUpdate update;
  ASSERT_TRUE(update.ok());
  fs::create_directories(*home / "temp/kf");
  OrvelTest::writeFile(*home / "ksv$pat.576", content(100000, 'p'));
  std::string path = home->path() + "\\ksv$pat.576";
  std::string name = "ksv$pat.576";
  ASSERT_TRUE(A::kfBlob(update, VIRUS_PATTERN, path, "5.763.00", name));
  EXPECT_EQ(home->path() + "\\temp\\kf\\ksv$pat.576.zip", path);
  EXPECT_EQ("ksv$pat.576.zip", name);
  EXPECT_TRUE(A::uploaded(update));

  // Same version again: only a caller-given source counts that as success.
  std::string path2 = home->path() + "\\ksv$pat.576", name2 = "ksv$pat.576";
  EXPECT_FALSE(A::kfBlob(update, VIRUS_PATTERN, path2, "5.763.00", name2));
  A::setSourceInUse(update, true);
  path2 = home->path() + "\\ksv$pat.576", name2 = "ksv$pat.576";
  EXPECT_TRUE(A::kfBlob(update, VIRUS_PATTERN, path2, "5.763.00", name2));

  // Engines other than the spam engine travel as they are.
  OrvelTest::writeFile(*home / "dexa32.dll", "engine");
  std::string enginePath = home->path() + "\\dexa32.dll", engineName = "dexa32.dll";
  ASSERT_TRUE(A::kfBlob(update, DEXA_ENGINE, enginePath, "1.200.0003", engineName));
  EXPECT_EQ("dexa32.dll", engineName);
  EXPECT_EQ("engine", OrvelTest::readFile(fetch(DEXA_ENGINE, *home / "engine")));

  std::string none = home->path() + "\\missing.dll", noneName = "missing.dll";
  EXPECT_FALSE(A::kfBlob(update, DEXA_ENGINE, none, "1.300.0000", noneName));
  EXPECT_NE(std::string::npos, home->log().find("QxUpdate::_KFBlob failed at stat for type 9"));

  int before = 0;
  ASSERT_TRUE(KFBlobManager::GetKFUploadsNum(before));
  EXPECT_TRUE(update.setUploadNumber());
  EXPECT_TRUE(update.setUploadNumber());
  int after = 0;
  ASSERT_TRUE(KFBlobManager::GetKFUploadsNum(after));
  EXPECT_EQ(before + 2, after);
}

INSTANTIATE_TEST_SUITE_P(Backends, KFBlobStore, ORVEL_DB_BACKENDS);
