// The component rows of the central database as the scanners of an installation share them:
// uploads that keep one current and one backup row, fetches to files, rollbacks and a writer that
// waited too long for another. Whatever fails leaves the rows as they were. Processes racing for
// one type are the fault tests' business.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <functional>

#include "FakeClock.h"
#include "OrvelCommon/BoundedCopy.h"
#include "OrvelCommon/CentralDatabase.h"
#include "OrvelCommon/PasswordCipher.h"
#include "OrvelKF/KFBlobManager.h"
#include "ProductHome.h"

namespace fs = std::filesystem;
using A = QxUpdateTestAccess;
using OrvelTest::Backend;
using OrvelTest::readFile;

namespace {

// How long the agent waits for another process's lock: its busy time-out on SQLite.
constexpr unsigned kAgentBusyTimeoutMs = 30000;
const char* const kSeedRows = "1:5.701.00 101:5.700.00 ";

std::string content(std::size_t size, char seed) {
  std::string text(size, '\0');
  for (std::size_t i = 0; i < size; ++i) text[i] = static_cast<char>(seed + i * 31 % 251);
  return text;
}

_uiKFData request(int type, const std::string& version, const std::string& path, long size) {
  _uiKFData data{};
  data.type = type;
  data.file_size = static_cast<int>(size);
  ORVEL::boundedCopy(data.version, sizeof data.version, version.c_str());
  ORVEL::boundedCopy(data.file_name, sizeof data.file_name, "ksv$pat.576");
  ORVEL::boundedCopy(data.file_path, sizeof data.file_path, path.c_str());
  return data;
}

// Fetches the row of type to path (a folder gets the stored name); the path written.
std::string fetch(int type, const std::string& path, OrvelErrC expected = ERRC_SUCCESS,
                  long size = 0) {
  _uiKFData data = request(type, "", path, size);
  EXPECT_EQ(expected, KFBlobManager::GetKFBlob(data)) << path;
  return data.file_path;
}

// Another writer of the installation on SQLite holds the write lock; the clock of the writer that
// waits for it takes no real time, and its first wait after the busy time-out lets the lock go.
class OutlastingClock : public OrvelTest::FakeClock {
 public:
  explicit OutlastingClock(const OrvelTest::ProductHome& home) : m_holder(home.connect()) {
    EXPECT_EQ(0, m_holder->beginTransaction());
  }
  void sleepMilliseconds(unsigned milliseconds) override {
    if (m_waitedMs >= kAgentBusyTimeoutMs && m_holder->inTransaction()) m_holder->rollback();
    m_waitedMs += milliseconds;
    FakeClock::sleepMilliseconds(milliseconds);
  }

 private:
  std::unique_ptr<ORVEL::QxDBConnection> m_holder;
  unsigned m_waitedMs = 0;
};

}  // namespace

class KFBlobStore : public OrvelTest::HomeTest {
 protected:
  std::string rows() { return home->componentRows(); }
  bool logHas(const std::string& text) { return home->log().find(text) != std::string::npos; }
  int uploads() {
    int number = 0;
    EXPECT_TRUE(KFBlobManager::GetKFUploadsNum(number));
    return number;
  }
  void seed() {
    home->exec("delete from tb_kite_feed");
    ASSERT_EQ(ERRC_SUCCESS, home->upload(1, "5.700.00", "previous"));
    ASSERT_EQ(ERRC_SUCCESS, home->upload(1, "5.701.00", "current"));
    ASSERT_EQ(kSeedRows, rows());
  }
};

TEST_P(KFBlobStore, UploadsKeepOneCurrentAndOneBackupRowAndRollbacksRestoreItOnce) {
  const std::int64_t objects = home->largeObjects();
  EXPECT_EQ(1, uploads()) << "a first call sets the counter up";
  EXPECT_EQ(ERRC_SUCCESS, home->upload(1, "5.763.00", "first"));
  EXPECT_EQ(ERRC_DB_UP_TO_DATE, home->upload(1, "5.700.00", "older"));
  EXPECT_TRUE(logHas("Component in database has been up-to-date: 5.763.00 >= 5.700.00"));
  EXPECT_EQ("1:5.763.00 ", rows());
  EXPECT_EQ(ERRC_SUCCESS, home->upload(1, "5.765.00", "second"));
  EXPECT_EQ(ERRC_SUCCESS, home->upload(1, "5.767.00", "third"));
  EXPECT_EQ("1:5.767.00 101:5.765.00 ", rows());

  std::string version;
  EXPECT_EQ(1, KFBlobManager::RollbackKFBlob(1, version));
  EXPECT_EQ("5.765.00", version);
  EXPECT_EQ("1:5.765.00 ", rows());
  EXPECT_EQ("second", readFile(fetch(1, *home / "fetched")));
  version = "kept";
  EXPECT_EQ(0, KFBlobManager::RollbackKFBlob(1, version));
  EXPECT_EQ("kept", version);
  ASSERT_EQ(ERRC_SUCCESS, home->upload(6, "5.800.00", content(50000, 'x')));
  ASSERT_EQ(ERRC_SUCCESS, home->upload(6, "5.801.00", content(50000, 'y')));
  ASSERT_EQ(1, KFBlobManager::RollbackKFBlob(6, version));
  // Two current rows and no backup: exactly two objects on PostgreSQL.
  EXPECT_EQ("1:5.765.00 6:5.800.00 ", rows());
  EXPECT_EQ(GetParam() == Backend::kPostgres ? objects + 2 : 0, home->largeObjects());

  // A row without a version is replaced by any upload, and cannot be rolled back to.
  home->exec("update tb_kite_feed set version = NULL where type = 1");
  EXPECT_EQ(ERRC_SUCCESS, home->upload(1, "1.000.02", "y"));
  EXPECT_EQ("1:1.000.02 6:5.800.00 101: ", rows());
  EXPECT_EQ(-1, KFBlobManager::RollbackKFBlob(1, version));
  EXPECT_TRUE(logHas("KFBlobManager::RollbackKFBlob: get version from tb_kite_feed failed"));
}

TEST_P(KFBlobStore, UploadsAndFetchesThatFailChangeNothingAndLeaveNoHalfFile) {
  const std::string big = content(3 * 1024 * 1024 + 17, 'a');  // many 10240-byte chunks
  ASSERT_EQ(ERRC_SUCCESS, home->upload(10, "1.234.00", "older"));
  ASSERT_EQ(ERRC_SUCCESS, home->upload(10, "1.234.56", big));
  const std::int64_t objects = home->largeObjects();
  EXPECT_EQ(ERRC_FILE_OPEN,
            KFBlobManager::AddKFBlob(request(10, "1.300.00", *home / "no-such-file", 10)));
  EXPECT_TRUE(logHas("KFBlobManager::_addKFBlob: can not open file: " + *home / "no-such-file"));
  // A file shorter than announced fails while streaming: rolled back as well.
  OrvelTest::writeFile(*home / "short", "abc");
  EXPECT_EQ(ERRC_DB_FAILURE,
            KFBlobManager::AddKFBlob(request(10, "1.400.00", *home / "short", 20000)));
  EXPECT_EQ("10:1.234.56 110:1.234.00 ", rows());
  EXPECT_EQ(objects, home->largeObjects());

  const std::string stage = *home / "stage";
  fs::create_directory(stage);
  EXPECT_EQ(stage + "\\ksv$pat.576", fetch(10, stage + "\\"));
  EXPECT_TRUE(big == readFile(stage + "/ksv$pat.576"));
  // No row of that type: nothing written, an older file of the name stays.
  OrvelTest::writeFile(stage + "/keep", "older pattern");
  fetch(3, stage + "/keep", ERRC_DB_FAILURE);
  EXPECT_EQ("older pattern", readFile(stage + "/keep"));
  // The content is shorter than the size asked for: the half file goes.
  fetch(10, stage + "/long", ERRC_DB_FAILURE, static_cast<long>(big.size()) + 10240);
  // A stored size of 0 is refused.
  home->exec("update tb_kite_feed set file_size = 0 where type = 10");
  fetch(10, stage + "/zero", ERRC_DB_FAILURE);
  EXPECT_TRUE(logHas("invalid file size read from central database"));
  EXPECT_EQ(2, std::distance(fs::directory_iterator(stage), fs::directory_iterator()));
  fetch(10, *home / "no/such/folder/file", ERRC_FILE_OPEN);

  // Rows that cannot be read, or a central database out of reach, fail and say why.
  home->exec("alter table tb_kite_feed rename to tb_gone");
  std::vector<_uiKFDataNoFile> all;
  EXPECT_EQ(ERRC_DB_FAILURE, KFBlobManager::GetKFRows(all));
  OrvelTest::writeFile(*home / "config/orvel.ini", "[general]\n");
  OrvelTest::forgetProcessSettings();
  std::string version = "kept";
  EXPECT_EQ(-1, KFBlobManager::RollbackKFBlob(10, version));
  EXPECT_EQ(ERRC_DB_FAILURE, KFBlobManager::AddKFBlob(request(10, "1.500.00", *home / "short", 3)));
  for (const char* call : {"RollbackKFBlob", "AddKFBlob"})
    EXPECT_TRUE(logHas(std::string("KFBlobManager::") + call + ": QxDBAgent init failed"));
}

// What the update object stores travels zipped or, for engines, as it is (the pipeline's tests).
TEST_P(KFBlobStore, TheUpdateObjectUploadsANewVersionOnceAndCountsUploads) {
  QxUpdate update;
  ASSERT_TRUE(update.ok());
  const int before = uploads();
  EXPECT_TRUE(update.setUploadNumber());
  EXPECT_EQ(before, uploads()) << "nothing uploaded: the counter stays";
  fs::create_directories(*home / "temp/kf");
  OrvelTest::writeFile(*home / "ksv$pat.576", content(100000, 'p'));
  // Same version again: only a caller-given source counts that as success.
  for (int round : {0, 1, 2}) {
    A::setSourceInUse(update, round == 2);
    std::string path = home->path() + "\\ksv$pat.576", name = "ksv$pat.576";
    EXPECT_EQ(round != 1, A::kfBlob(update, VIRUS_PATTERN, path, "5.763.00", name)) << round;
  }
  EXPECT_TRUE(update.setUploadNumber());
  EXPECT_TRUE(update.setUploadNumber());
  EXPECT_EQ(before + 2, uploads());
}

// A change whose move or insert finds no row (here a trigger of the table skips it) fails and
// leaves the rows as they were, rather than commit the rest of the change alone.
TEST_P(KFBlobStore, AChangeWhoseStatementChangesNoRowChangesNothing) {
  const std::function<int()> rollbackKeepingTheVersion = []() {
    std::string version = "kept";
    const int result = KFBlobManager::RollbackKFBlob(1, version);
    return version == "kept" ? result : 2;
  };
  struct Case {
    const char* skipped;
    std::function<int()> change;
    int failure;
    const char* logged;
  } cases[] = {
      {"update of type", rollbackKeepingTheVersion, -1,
       "KFBlobManager::RollbackKFBlob: Exception \"the row to move was not found\" thrown for "
       "statement update tb_kite_feed set type = 1 where"},
      {"insert", [this]() { return static_cast<int>(home->upload(1, "5.702.00", "new")); },
       ERRC_DB_FAILURE,
       "KFBlobManager::_addKFBlob: Exception \"excute update operation failed\" thrown for "
       "statement insert into tb_kite_feed"},
  };
  const bool sqlite = GetParam() == Backend::kSqlite;
  for (const Case& c : cases) {
    seed();
    home->exec(sqlite ? std::string("create trigger skip before ") + c.skipped +
                            " on tb_kite_feed begin select raise(ignore); end"
                      : std::string("create or replace function skip() returns trigger language "
                                    "plpgsql as $$ begin return null; end $$; create trigger skip "
                                    "before ") +
                            c.skipped + " on tb_kite_feed for each row execute function skip()");
    EXPECT_EQ(c.failure, c.change()) << c.skipped;
    EXPECT_EQ(kSeedRows, rows()) << c.skipped;
    EXPECT_TRUE(logHas(c.logged)) << c.skipped;
    home->exec(sqlite ? "drop trigger skip" : "drop trigger skip on tb_kite_feed");
  }
  // A writer that waited longer than the busy time-out for the database fails before it changed
  // anything, even when the database is free again by its next statement. PostgreSQL has no
  // busy time-out: a writer waits for a lock as long as it is held.
  if (!sqlite) return;
  seed();
  {
    OutlastingClock clock(*home);
    EXPECT_EQ(-1, rollbackKeepingTheVersion());
  }
  EXPECT_EQ(kSeedRows, rows());
  EXPECT_TRUE(logHas("QxDBAgent::startTransaction: call beginTransaction() failed"));
}

INSTANTIATE_TEST_SUITE_P(Backends, KFBlobStore, ORVEL_DB_BACKENDS);

// Scanners that log in with roles of their own, members of the installation's scanner group role
// (which owns the database), on a PostgreSQL server. The roles live for one test.
class KFBlobScannerRoles : public OrvelTest::PgHomeTest {
 protected:
  void SetUp() override {
    PgHomeTest::SetUp();
    if (IsSkipped() || HasFatalFailure()) return;
    const std::string id = std::to_string(::getpid()), owner = home->setting().uid;
    group = "orvel_t_scanners_" + id;
    scanners = {"orvel_t_scanner_a_" + id, "orvel_t_scanner_b_" + id};
    home->exec("create role " + group + " nologin role " + owner);
    for (const std::string& scanner : scanners)
      home->exec("create role " + scanner + " login password '" + kPassword + "' in role " + group);
    // The tables go again, to be created by a scanner of the group.
    home->exec("alter database " + home->setting().database + " owner to " + group);
    home->exec("drop owned by " + owner);
    ini = readFile(*home / "config/orvel.ini");
    ini.erase(ini.find("user = "));
    loginAs(0);
    AdminDBSetting setting;
    ASSERT_TRUE(OrvelConfigFileManager::getAdminDBSetting(home->path().c_str(), setting));
    std::string error;
    ASSERT_EQ(0, ORVEL::createCentralDatabase(setting, home->path().c_str(), error)) << error;
  }
  void TearDown() override {
    const AdminDBSetting server = home ? home->setting() : AdminDBSetting{};
    PgHomeTest::TearDown();  // drops the database first: the group owns it
    if (group.empty()) return;
    ORVEL::QxDBConnection conn;
    ASSERT_EQ(0, conn.connect(server.dsn.c_str(), server.uid.c_str(), server.passwd.c_str(),
                              "postgres", 10, 1, 0));
    const std::string drop = "drop role " + scanners[0] + ", " + scanners[1] + ", " + group;
    EXPECT_EQ(0, conn.executeScript(drop.c_str())) << conn.lastError();
  }
  // The scanner's own [AdminDB] settings: the same server and database, its own role.
  void loginAs(int scanner) {
    std::string password;
    ASSERT_TRUE(ORVEL::NewEncryptStr(kPassword, password));
    OrvelTest::writeFile(*home / "config/orvel.ini",
                         ini + "user = " + scanners[scanner] + "\npassword = " + password + "\n");
    OrvelTest::forgetProcessSettings();
  }

  static constexpr const char* kPassword = "scanner-secret";
  std::string group, ini;
  std::vector<std::string> scanners;
};

TEST_F(KFBlobScannerRoles, EveryScannerRoleReplacesAndRollsBackTheRowsOfAnother) {
  ASSERT_EQ(ERRC_SUCCESS, home->upload(1, "5.700.00", "written by A"));
  ASSERT_EQ(ERRC_SUCCESS, home->upload(1, "5.701.00", "written by A again"));
  loginAs(1);
  EXPECT_EQ(ERRC_SUCCESS, home->upload(1, "5.702.00", "written by B"));
  std::string version;
  EXPECT_EQ(1, KFBlobManager::RollbackKFBlob(1, version));
  EXPECT_EQ("5.701.00", version);
  EXPECT_EQ("written by A again", readFile(fetch(1, *home / "fetched")));
  loginAs(0);
  EXPECT_EQ(ERRC_SUCCESS, home->upload(1, "5.703.00", "written by A at last"));
  EXPECT_EQ("1:5.703.00 101:5.701.00 ", home->componentRows());
  // One object per row, every one the group's; none left without its row.
  EXPECT_EQ(2, home->largeObjects());
  EXPECT_EQ(0, home->scalar("select count(*) as n from pg_largeobject_metadata m where not exists "
                            "(select 1 from tb_kite_feed f where f.content = m.oid)"));
  EXPECT_EQ(0, home->scalar("select count(*) as n from pg_largeobject_metadata m, pg_database d "
                            "where d.datname = current_database() and m.lomowner <> d.datdba"));
}
