// The central store as the scanners of an installation share it: several processes change or
// fetch the rows of one type at once, a writer may hold the database while another waits for it,
// and every scanner may log in with a login role of its own. Whatever fails leaves the rows as
// they were.
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/inotify.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <climits>
#include <filesystem>
#include <functional>
#include <memory>
#include <thread>

#include "ChildProcess.h"
#include "FakeClock.h"
#include "OrvelCommon/BoundedCopy.h"
#include "OrvelCommon/CentralDatabase.h"
#include "OrvelCommon/PasswordCipher.h"
#include "OrvelKF/KFBlobManager.h"
#include "ProductHome.h"

namespace fs = std::filesystem;
using OrvelTest::Backend;

namespace {

// How long the agent waits for another process's lock: its busy time-out on SQLite.
constexpr unsigned kAgentBusyTimeoutMs = 30000;
// A bound for waits that only a broken test would reach.
constexpr int kStuckMs = 60000;

bool readableInTime(int fd) {
  pollfd entry{fd, POLLIN, 0};
  return ::poll(&entry, 1, kStuckMs) == 1;
}

// A pipe for one-byte messages between the test and its child processes.
class Pipe {
 public:
  Pipe() { EXPECT_EQ(0, ::pipe(m_fds)); }
  ~Pipe() {
    ::close(m_fds[0]);
    ::close(m_fds[1]);
  }
  Pipe(const Pipe&) = delete;
  Pipe& operator=(const Pipe&) = delete;

  void send(char message) { (void)!::write(m_fds[1], &message, 1); }
  // 0 when nothing came in time.
  char receive() {
    char message = 0;
    return readableInTime(m_fds[0]) && ::read(m_fds[0], &message, 1) == 1 ? message : 0;
  }

 private:
  int m_fds[2] = {-1, -1};
};

// Another writer of the installation, in a process of its own, holding the component table (on
// SQLite the write lock of the whole database) until it is told to let go.
class TableHolder {
 public:
  explicit TableHolder(const OrvelTest::ProductHome& home) {
    m_pid = OrvelTest::startChild([&home, this]() {
      auto conn = home.connect();
      if (!conn || conn->beginTransaction() != 0) return 10;
      if (home.backend() == Backend::kPostgres &&
          conn->executeScript("lock table tb_kite_feed in exclusive mode") != 0)
        return 11;
      m_held.send('h');
      m_letGo.receive();
      conn->rollback();
      m_gone.send('g');
      return 0;
    });
    EXPECT_EQ('h', m_held.receive());
  }
  ~TableHolder() { release(); }

  // From a waiting writer: returns once the table is free.
  void letGo() {
    m_letGo.send('l');
    m_gone.receive();
  }
  void release() {
    if (m_pid < 0) return;
    m_letGo.send('l');
    EXPECT_EQ(0, OrvelTest::waitChild(m_pid));
    m_pid = -1;
  }

 private:
  Pipe m_held, m_letGo, m_gone;
  pid_t m_pid = -1;
};

// The clock of a writer that waits longer than its busy time-out: waiting takes no real time, and
// the first wait after the time-out has passed lets the holder go.
class OutlastingClock : public OrvelTest::FakeClock {
 public:
  explicit OutlastingClock(TableHolder& holder) : m_holder(holder) {}
  void sleepMilliseconds(unsigned milliseconds) override {
    if (m_waitedMs >= kAgentBusyTimeoutMs && !m_holderGone) {
      m_holderGone = true;
      m_holder.letGo();
    }
    m_waitedMs += milliseconds;
    FakeClock::sleepMilliseconds(milliseconds);
  }

 private:
  TableHolder& m_holder;
  unsigned m_waitedMs = 0;
  bool m_holderGone = false;
};

// The clock of a writer queued behind the holder: its first wait tells the test that it waits
// and lasts until the test lets it go on; later waits are real (writers then take turns).
class GateClock : public OrvelPlatform::Clock {
 public:
  GateClock(Pipe& waiting, Pipe& goOn) : m_waiting(waiting), m_goOn(goOn) {
    OrvelPlatform::setClock(this);
  }
  ~GateClock() override { OrvelPlatform::setClock(nullptr); }
  std::time_t now() override { return std::time(nullptr); }
  void sleepMilliseconds(unsigned milliseconds) override {
    if (m_opened) {
      std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
      return;
    }
    m_opened = true;
    m_waiting.send('w');
    m_goOn.receive();
  }

 private:
  Pipe& m_waiting;
  Pipe& m_goOn;
  bool m_opened = false;
};

std::string patternBytes(std::size_t size) {
  std::string bytes(size, '\0');
  for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>(i * 131 % 251);
  return bytes;
}

const char* const kSeedRows = "1:5.701.00 101:5.700.00 ";

}  // namespace

class KFBlobConcurrency : public OrvelTest::HomeTest {
 protected:
  using Change = std::function<int()>;

  static _uiKFData request(int type, const char* version, const std::string& path, long size) {
    _uiKFData data{};
    data.type = type;
    data.file_size = static_cast<int>(size);
    ORVEL::boundedCopy(data.version, sizeof data.version, version);
    ORVEL::boundedCopy(data.file_name, sizeof data.file_name, "ksv$pat.701");
    ORVEL::boundedCopy(data.file_path, sizeof data.file_path, path.c_str());
    return data;
  }
  OrvelErrC upload(int type, const char* version, const std::string& bytes) {
    return home->upload(type, version, bytes, "ksv$pat.701");
  }
  static int rollback() {
    std::string version;
    return KFBlobManager::RollbackKFBlob(1, version);
  }
  static OrvelErrC fetch(int type, const std::string& path, long size) {
    _uiKFData data = request(type, "", path, size);
    return KFBlobManager::GetKFBlob(data);
  }
  void seed() {
    home->exec("delete from tb_kite_feed");
    ASSERT_EQ(ERRC_SUCCESS, upload(1, "5.700.00", "previous"));
    ASSERT_EQ(ERRC_SUCCESS, upload(1, "5.701.00", "current"));
    ASSERT_EQ(kSeedRows, home->componentRows());
  }

  // Runs each change in a process of its own, all of them queued behind another writer; once
  // every one waits, the writer lets go and they go on in the order given (on PostgreSQL the
  // server picks the order). The results (as exit codes), in that order.
  std::vector<int> runQueued(const std::vector<Change>& changes) {
    TableHolder holder(*home);
    Pipe waiting;
    std::vector<std::unique_ptr<Pipe>> goOn;
    std::vector<pid_t> writers;
    for (const Change& change : changes) {
      goOn.push_back(std::make_unique<Pipe>());
      Pipe& mine = *goOn.back();
      writers.push_back(OrvelTest::startChild([&]() {
        GateClock clock(waiting, mine);
        return change() & 0xff;
      }));
    }
    EXPECT_TRUE(allWait(changes.size(), waiting));
    holder.release();
    std::vector<int> results;
    for (std::size_t i = 0; i < writers.size(); ++i) {
      goOn[i]->send('g');
      results.push_back(OrvelTest::waitChild(writers[i]));
    }
    return results;
  }

 private:
  // On SQLite each writer's clock says that it waits, on PostgreSQL the server.
  bool allWait(std::size_t writers, Pipe& waiting) {
    if (GetParam() == Backend::kSqlite) {
      for (std::size_t i = 0; i < writers; ++i)
        if (waiting.receive() != 'w') return false;
      return true;
    }
    for (int ms = 0; ms < kStuckMs; ms += 2) {
      if (home->scalar("select count(*) as n from pg_stat_activity where datname = "
                       "current_database() and wait_event_type = 'Lock'") ==
          static_cast<std::int64_t>(writers))
        return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return false;
  }
};

// Two rollbacks of one type, or a rollback and an upload, at once: the outcome is that of one
// after the other, in either order, never a mix that loses a row.
TEST_P(KFBlobConcurrency, ChangesOfOneTypeAtOnceTakeTurns) {
  const Change newUpload = [this]() { return static_cast<int>(upload(1, "5.702.00", "new")); };
  struct Outcome {
    std::vector<int> results;
    std::string rows;
  };
  struct Case {
    const char* what;
    std::vector<Change> changes;
    std::vector<Outcome> serialOutcomes;
  } cases[] = {
      {"two rollbacks", {rollback, rollback}, {{{1, 0}, "1:5.700.00 "}, {{0, 1}, "1:5.700.00 "}}},
      {"an upload and a rollback",
       {newUpload, rollback},
       {{{0, 1}, "1:5.701.00 "}, {{0, 1}, "1:5.702.00 101:5.700.00 "}}},
  };
  for (const Case& c : cases) {
    seed();
    const std::vector<int> results = runQueued(c.changes);
    const std::string after = home->componentRows();
    bool serial = false;
    for (const Outcome& outcome : c.serialOutcomes)
      serial = serial || (outcome.results == results && outcome.rows == after);
    EXPECT_TRUE(serial) << c.what << ": results " << ::testing::PrintToString(results) << ", rows "
                        << after;
  }
}

// A change whose move or insert finds no row (here a trigger of the table skips it) fails and
// leaves the rows as they were, rather than commit the rest of the change alone.
TEST_P(KFBlobConcurrency, AChangeWhoseStatementChangesNoRowChangesNothing) {
  const Change rollbackKeepingTheVersion = []() {
    std::string version = "kept";
    const int result = KFBlobManager::RollbackKFBlob(1, version);
    return version == "kept" ? result : 2;
  };
  struct Case {
    const char* skipped;
    Change change;
    int failure;
    const char* logged;
  } cases[] = {
      {"update of type", rollbackKeepingTheVersion, -1,
       "KFBlobManager::RollbackKFBlob: Exception \"the row to move was not found\" thrown for "
       "statement update tb_kite_feed set type = 1 where"},
      {"insert", [this]() { return static_cast<int>(upload(1, "5.702.00", "new")); },
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
    EXPECT_EQ(kSeedRows, home->componentRows()) << c.skipped;
    EXPECT_NE(std::string::npos, home->log().find(c.logged)) << c.skipped;
    home->exec(sqlite ? "drop trigger skip" : "drop trigger skip on tb_kite_feed");
  }
}

// A writer that waited longer than the busy time-out for the database fails before it changed
// anything, even when the database is free again by its next statement.
class KFBlobBusyDatabase : public KFBlobConcurrency {};

TEST_P(KFBlobBusyDatabase, AChangeWhoseTransactionCannotBeginChangesNothing) {
  struct Case {
    const char* what;
    Change change;
    int failure;
  } cases[] = {
      {"upload of a file that does not open",
       [this]() {
         return static_cast<int>(
             KFBlobManager::AddKFBlob(request(1, "5.702.00", *home / "no-such-file", 10)));
       },
       ERRC_DB_FAILURE},
      {"rollback", rollback, -1},
  };
  for (const Case& c : cases) {
    seed();
    TableHolder holder(*home);
    const pid_t writer = OrvelTest::startChild([&]() {
      OutlastingClock clock(holder);
      return c.change() & 0xff;
    });
    EXPECT_EQ(c.failure & 0xff, OrvelTest::waitChild(writer)) << c.what;
    holder.release();
    EXPECT_EQ(kSeedRows, home->componentRows()) << c.what;
  }
  EXPECT_NE(std::string::npos,
            home->log().find("QxDBAgent::startTransaction: call beginTransaction() failed"));
}

// A fetch that fails while another process fetches the same path leaves that fetch alone: each
// writes a temporary file of its own, and neither leaves one behind.
TEST_P(KFBlobConcurrency, AFailedFetchLeavesAnotherFetchOfThePathAlone) {
  const std::string pattern = patternBytes(16 << 20);
  ASSERT_EQ(ERRC_SUCCESS, upload(10, "1.234.56", pattern));
  const std::string stage = *home / "stage";
  fs::create_directory(stage);
  const std::string target = stage + "/ksv$pat.701";

  const int created = ::inotify_init1(IN_CLOEXEC);
  ASSERT_GE(::inotify_add_watch(created, stage.c_str(), IN_CREATE), 0);
  const pid_t whole = OrvelTest::startChild([&]() {
    ::setpriority(PRIO_PROCESS, 0, 19);  // slow, so that it is caught half-way
    return fetch(10, target, 0) == ERRC_SUCCESS ? 0 : 1;
  });
  char event[sizeof(inotify_event) + NAME_MAX + 1];
  ASSERT_TRUE(readableInTime(created) && ::read(created, event, sizeof event) > 0);
  ::kill(whole, SIGSTOP);
  int status = 0;
  ASSERT_EQ(whole, ::waitpid(whole, &status, WUNTRACED));
  ::close(created);
  EXPECT_FALSE(fs::exists(target)) << "the fetch was done before it could be stopped half-way";

  EXPECT_EQ(ERRC_DB_FAILURE, fetch(10, target, static_cast<long>(pattern.size()) + 10240));
  ::kill(whole, SIGCONT);
  EXPECT_EQ(0, OrvelTest::waitChild(whole));
  ASSERT_TRUE(fs::exists(target));
  EXPECT_TRUE(OrvelTest::readFile(target) == pattern);
  EXPECT_EQ(1, std::distance(fs::directory_iterator(stage), fs::directory_iterator()));
}

// Scanners that log in with roles of their own, members of the installation's scanner group role
// (which owns the database), on a PostgreSQL server. The roles live for one test.
class KFBlobScannerRoles : public KFBlobConcurrency {
 protected:
  void SetUp() override {
    KFBlobConcurrency::SetUp();
    if (IsSkipped() || HasFatalFailure()) return;
    const std::string id = std::to_string(::getpid());
    group = "orvel_t_scanners_" + id;
    scannerA = "orvel_t_scanner_a_" + id;
    scannerB = "orvel_t_scanner_b_" + id;
    home->exec("create role " + group + " nologin role " + home->setting().uid);
    for (const std::string& scanner : {scannerA, scannerB})
      home->exec("create role " + scanner + " login password '" + kPassword + "' in role " + group);
    // The tables go again, to be created by a scanner of the group.
    home->exec("alter database " + home->setting().database + " owner to " + group);
    home->exec("drop owned by " + home->setting().uid);
    loginAs(scannerA);
    AdminDBSetting setting;
    ASSERT_TRUE(OrvelConfigFileManager::getAdminDBSetting(home->path().c_str(), setting));
    std::string error;
    ASSERT_EQ(0, ORVEL::createCentralDatabase(setting, home->path().c_str(), error)) << error;
  }
  void TearDown() override {
    const AdminDBSetting server = home ? home->setting() : AdminDBSetting{};
    KFBlobConcurrency::TearDown();  // drops the database first: the group owns it
    if (group.empty()) return;
    ORVEL::QxDBConnection conn;
    ASSERT_EQ(0, conn.connect(server.dsn.c_str(), server.uid.c_str(), server.passwd.c_str(),
                              "postgres", 10, 1, 0));
    const std::string drop = "drop role " + scannerA + ", " + scannerB + ", " + group;
    EXPECT_EQ(0, conn.executeScript(drop.c_str())) << conn.lastError();
  }

  // The scanner's own [AdminDB] settings: the same server and database, its own role.
  void loginAs(const std::string& role) {
    std::string password;
    ASSERT_TRUE(ORVEL::NewEncryptStr(kPassword, password));
    OrvelTest::PgServer server;
    ASSERT_TRUE(OrvelTest::pgServer(server));
    OrvelTest::writeFile(*home / "config/orvel.ini",
                         "[AdminDB]\nbackend = postgresql\nhost = " + server.host + "\nport = " +
                             server.port + "\ndatabase = " + home->setting().database +
                             "\nuser = " + role + "\npassword = " + password + "\n");
    OrvelTest::forgetProcessSettings();
  }

  static constexpr const char* kPassword = "scanner-secret";
  std::string group, scannerA, scannerB;
};

TEST_P(KFBlobScannerRoles, EveryScannerRoleReplacesAndRollsBackTheRowsOfAnother) {
  ASSERT_EQ(ERRC_SUCCESS, upload(1, "5.700.00", "written by A"));
  ASSERT_EQ(ERRC_SUCCESS, upload(1, "5.701.00", "written by A again"));
  loginAs(scannerB);
  EXPECT_EQ(ERRC_SUCCESS, upload(1, "5.702.00", "written by B"));
  std::string version;
  EXPECT_EQ(1, KFBlobManager::RollbackKFBlob(1, version));
  EXPECT_EQ("5.701.00", version);
  EXPECT_EQ(ERRC_SUCCESS, fetch(1, *home / "fetched", 0));
  EXPECT_EQ("written by A again", OrvelTest::readFile(*home / "fetched"));
  loginAs(scannerA);
  EXPECT_EQ(ERRC_SUCCESS, upload(1, "5.703.00", "written by A at last"));
  EXPECT_EQ("1:5.703.00 101:5.701.00 ", home->componentRows());

  // One object per row, every one the group's; none left without its row.
  EXPECT_EQ(2, home->largeObjects());
  EXPECT_EQ(0, home->scalar("select count(*) as n from pg_largeobject_metadata m where not exists "
                            "(select 1 from tb_kite_feed f where f.content = m.oid)"));
  EXPECT_EQ(0, home->scalar("select count(*) as n from pg_largeobject_metadata m, pg_database d "
                            "where d.datname = current_database() and m.lomowner <> d.datdba"));
}

INSTANTIATE_TEST_SUITE_P(Backends, KFBlobConcurrency, ORVEL_DB_BACKENDS);
INSTANTIATE_TEST_SUITE_P(PostgreSQL, KFBlobScannerRoles, ::testing::Values(Backend::kPostgres),
                         OrvelTest::backendName);
// PostgreSQL has no busy time-out: a writer waits for a lock as long as it is held.
INSTANTIATE_TEST_SUITE_P(Sqlite, KFBlobBusyDatabase, ::testing::Values(Backend::kSqlite),
                         OrvelTest::backendName);
