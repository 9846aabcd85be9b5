// kfctl as an administrator runs it: a home made by init, a console update from a signed feed,
// the status, the rollback, events, settings and secrets, and the main failures with their exit
// codes.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <nlohmann/json.hpp>

#include "Feed.h"
#include "OrvelCommon/ConfigFileOnDisk.h"
#include "OrvelCommon/LockFileLock.h"
#include "OrvelEngines/EngineFiles.h"
#include "OrvelKF/KFBlobManager.h"
#include "ProductHome.h"

namespace fs = std::filesystem;
using OrvelTest::readFile;

namespace {

struct Answer {
  int exit;
  std::string out, err;
  nlohmann::json json() const { return nlohmann::json::parse(out, nullptr, false); }
};

// One record of a --json answer by its "component" field.
nlohmann::json record(const Answer& run, const char* component) {
  for (const nlohmann::json& r : run.json())
    if (r.value("component", "") == component) return r;
  return nlohmann::json();
}

// The exit code and the fields of the component's record, as "exit field|field...".
std::string fields(const Answer& run, const char* component,
                   std::initializer_list<const char*> keys) {
  std::string text = std::to_string(run.exit) + " ";
  const nlohmann::json r = record(run, component);
  for (const char* key : keys) text += (r.contains(key) ? r[key].get<std::string>() : "-") + "|";
  return text;
}

}  // namespace

class Kfctl : public ::testing::TestWithParam<OrvelTest::Backend> {
 protected:
  void SetUp() override {
    const bool postgres = GetParam() == OrvelTest::Backend::kPostgres;
    if ((postgres && !std::getenv("ORVEL_TEST_PG_HOST")) ||
        OrvelEndToEnd::serverVariable("ORVEL_NGINX_ROOT").empty()) {
      if (OrvelTest::runningUnderCi()) FAIL() << "start the test servers (scripts/servers)";
      GTEST_SKIP() << "no test servers";
    }
  }

  Answer kfctl(const std::string& arguments, const std::string& input = "") {
    OrvelTest::writeFile(m_scratch / "in", input);
    const std::string command = std::string(KFCTL_EXE) + " --home '" + m_home + "' " + arguments +
                                " < '" + (m_scratch / "in") + "' > '" + (m_scratch / "out") +
                                "' 2> '" + (m_scratch / "err") + "'";
    const int status = std::system(command.c_str());
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, readFile(m_scratch / "out"),
            readFile(m_scratch / "err")};
  }

  // init of this case's backend; a PostgreSQL database is made empty for it.
  Answer init() {
    if (GetParam() == OrvelTest::Backend::kSqlite) return kfctl("init");
    if (!m_database) m_database = std::make_unique<OrvelTest::ProductHome>(GetParam(), false);
    const AdminDBSetting& db = m_database->setting();
    return kfctl("init --pg-host " + OrvelEndToEnd::serverVariable("ORVEL_TEST_PG_HOST") +
                     " --pg-port " + OrvelEndToEnd::serverVariable("ORVEL_TEST_PG_PORT") +
                     " --pg-database " + db.database + " --pg-user " + db.uid,
                 db.passwd + "\n");
  }

  OrvelTest::TempDir m_scratch;
  std::string m_home = m_scratch / "home";
  std::unique_ptr<OrvelTest::ProductHome> m_database;
};

// What does not depend on the database's backend.
class KfctlAnyBackend : public Kfctl {};

TEST_P(Kfctl, FromInitToAnUpdatedPatternAndBack) {
  ASSERT_EQ(0, init().exit);
  EXPECT_EQ(1, init().exit);  // never over an existing home
  Answer status = kfctl("--json status");
  ASSERT_EQ(0, status.exit) << status.err;
  ASSERT_EQ(11u, status.json().size());

  // The scanner has the older virus pattern and engine; the feed offers a newer pattern only.
  const std::string ziran = m_home + "/lib/pattern/ziran";
  using OrvelEngines::PatternKind;
  ASSERT_EQ(OrvelEngines::FileCheck::kOk,
            OrvelEngines::writePatternFile(ziran, PatternKind::kVirus, 576300, 763, 1000));
  fs::copy_file(std::string(ORVEL_ENGINES_DIR) + "/v1/ziran32.dll", m_home + "/bin/ziran32.dll");
  const std::string newer = m_scratch / "new";
  fs::create_directories(newer);
  ASSERT_EQ(OrvelEngines::FileCheck::kOk,
            OrvelEngines::writePatternFile(newer, PatternKind::kVirus, 576400, 764, 1000));
  OrvelEndToEnd::Feed feed(m_scratch.path());
  ASSERT_EQ(OrvelEngines::FileCheck::kOk,
            OrvelEngines::writePatternFile(newer, PatternKind::kSpyware, 123500, 235, 1000));
  feed.add(3, 4, "576400", newer, {"ksv$pat.764"});
  feed.add(3, 0x20000400, "123500", newer, {"spyxdb.235"});
  feed.sign();
  EXPECT_EQ(1, kfctl("trust 12ab").exit);
  ASSERT_EQ(0, kfctl("trust " + feed.publicKey()).exit);

  const std::string server = " --server " + feed.url();
  EXPECT_EQ("0 5.764.00|",
            fields(kfctl("--json check virus-pattern" + server), "virus-pattern", {"version"}));

  Answer update = kfctl("--json update virus-pattern lurebox-pattern" + server);
  // The feed has no Lurebox pattern.
  EXPECT_EQ("5 done|Virus pattern was updated successfully to version 5.764.00.|",
            fields(update, "virus-pattern", {"result", "message"}))
      << update.out << update.err;
  EXPECT_EQ("5 not-found|", fields(update, "lurebox-pattern", {"result"}));
  EXPECT_EQ(readFile(newer + "/ksv$pat.764"), readFile(ziran + "/ksv$pat.764"));
  status = kfctl("--json status");
  EXPECT_EQ("0 5.764.00|5.764.00|", fields(status, "virus-pattern", {"installed", "central"}));
  update = kfctl("update virus-pattern" + server);
  EXPECT_EQ(0, update.exit);
  EXPECT_NE(std::string::npos, update.out.find("up-to-date")) << update.out;

  // Monitoring: the engine was installed before any time was recorded and the store has none of
  // it; a pattern a week old is critical.
  Answer health = kfctl("health");
  EXPECT_EQ(1, health.exit);
  EXPECT_EQ(0u, health.out.find("KFCTL WARNING - virus-engine has no recorded installation time; "
                                "virus-engine 9.500.1001 is not the central (none) | "))
      << health.out;
  ORVEL::ConfigFileOnDisk((m_home + "/config/scanner.info").c_str())
      .setparam("update", "virus_pattern_timestamp",
                std::to_string(std::time(nullptr) - 8 * 86400).c_str());
  health = kfctl("health --warn 1d --crit 7d");
  EXPECT_EQ(2, health.exit);
  EXPECT_NE(std::string::npos, health.out.find("; virus-pattern installed 192h ago |"))
      << health.out;
  ASSERT_EQ(0, kfctl("status --prometheus '" + (m_scratch / "kf.prom") + "'").exit);
  const std::string metrics = readFile(m_scratch / "kf.prom");
  EXPECT_NE(std::string::npos,
            metrics.find("\norvelkf_component_age_seconds{component=\"virus-pattern\"} 6912"))
      << metrics;

  // Through the configured server: uploaded and recorded as an event of scanner 3.
  ASSERT_EQ(0, kfctl("setting set Update UpdateServer " + feed.url()).exit);
  update = kfctl("--json update spyware-pattern --scanner-id 3");
  EXPECT_EQ(0, update.exit) << update.out << update.err;
  const nlohmann::json events = kfctl("--json events").json();
  ASSERT_EQ(1u, events.size()) << events.dump();
  EXPECT_EQ(10002, events[0]["event"]);
  EXPECT_NE(std::string::npos, events[0]["description"].get<std::string>().find("1.235.00"));
  // A scanner that does not download takes what the store holds.
  EXPECT_EQ("0 done|",
            fields(kfctl("--json apply spyware-pattern"), "spyware-pattern", {"result"}));
  EXPECT_EQ(readFile(newer + "/spyxdb.235"), readFile(ziran + "/spyxdb.235"));
  Answer apply = kfctl("apply lurebox-pattern");
  EXPECT_EQ(1, apply.exit);
  EXPECT_NE(std::string::npos, apply.err.find("the central store holds no Lurebox Pattern"));
  // Nothing to roll back to: the store had no earlier upload.
  EXPECT_EQ("4 5.764.00|",
            fields(kfctl("--json rollback virus-pattern"), "virus-pattern", {"central"}));
  // A later upload of another scanner, rolled back: the earlier one is current again.
  ::setenv("ORVEL_HOME", m_home.c_str(), 1);
  OrvelTest::forgetProcessSettings();
  OrvelTest::writeFile(m_scratch / "later", "a later virus pattern");
  _uiKFData later{VIRUS_PATTERN, 0, "5.765.00", 21, "ksv$pat.765", 0, ""};
  std::snprintf(later.file_path, sizeof later.file_path, "%s", (m_scratch / "later").c_str());
  ASSERT_EQ(ERRC_SUCCESS, KFBlobManager::AddKFBlob(later));
  ::unsetenv("ORVEL_HOME");
  EXPECT_EQ("0 done|5.764.00||", fields(kfctl("--json rollback virus-pattern --scanner-id 3"),
                                        "virus-pattern", {"result", "central", "backup"}));

  // Another download holds the lock: refused at once with --no-wait.
  LockFileLock held((m_home + "/lib/.kfdownload.lck").c_str(), false, false);
  ASSERT_TRUE(held.lock());
  EXPECT_EQ("1 failed|", fields(kfctl("--json update virus-pattern --no-wait" + server),
                                "virus-pattern", {"result"}));
  held.unlock();
}

TEST_P(KfctlAnyBackend, SettingsSecretsAndRefusals) {
  ASSERT_EQ(0, init().exit);
  EXPECT_EQ(0, kfctl("setting set Update Frequency 15").exit);
  Answer got = kfctl("--json setting get Update Frequency");
  EXPECT_EQ("15", got.json().at(0)["value"]);
  EXPECT_EQ(1, kfctl("setting get Update NoSuchKey").exit);
  Answer secret = kfctl("encrypt", "s3cret-value\n");
  EXPECT_EQ(0, secret.exit);
  EXPECT_EQ(0u, secret.out.find("enciphered\nOKC1:")) << secret.out;
  EXPECT_EQ(std::string::npos, (secret.out + secret.err).find("s3cret"));

  const struct {
    std::string arguments;
    int exit;
    const char* says;
  } refusals[] = {
      {"update", 2, "name a component"},
      {"update virus-dog", 2, "unknown component \"virus-dog\""},
      {"status --bogus x", 2, "has no option --bogus"},
      {"dance", 2, "unknown command \"dance\""},
      {"--home " + (m_scratch / "none") + " status", 1, "is no product home"},
  };
  for (const auto& r : refusals) {
    Answer run = kfctl(r.arguments);
    EXPECT_EQ(r.exit, run.exit) << r.arguments;
    EXPECT_NE(std::string::npos, run.err.find(r.says)) << r.arguments << ": " << run.err;
  }
  // Nothing is due without a schedule.
  Answer scheduled = kfctl("scheduled");
  EXPECT_EQ(3, scheduled.exit) << scheduled.out << scheduled.err;
  EXPECT_NE(std::string::npos, scheduled.out.find("virus-pattern      not-due")) << scheduled.out;
  // A central database that cannot be opened.
  fs::remove(m_home + "/lib/orveladmin.db");
  fs::create_directory(m_home + "/lib/orveladmin.db");
  Answer status = kfctl("status");
  EXPECT_EQ(1, status.exit);
  EXPECT_NE(std::string::npos, status.err.find("cannot read the central component table"));
}

INSTANTIATE_TEST_SUITE_P(Backends, Kfctl, ORVEL_DB_BACKENDS);
INSTANTIATE_TEST_SUITE_P(SQLite, KfctlAnyBackend, ::testing::Values(OrvelTest::Backend::kSqlite),
                         OrvelTest::backendName);
