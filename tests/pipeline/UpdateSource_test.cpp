// Where a download comes from: the update server and the proxy, from the product's own settings
// or, in console mode, from the caller and the console agent's settings.
#include <cstring>

#include "PipelineTest.h"

using namespace OrvelPipelineTest;

namespace {

constexpr const char* kDefaultServer = "http://update.kitefeed.orvel.example/kitefeed";
constexpr const char* kAntispamServer = "http://antispam.kitefeed.orvel.example/kitefeed";
constexpr const char* kNoProxy =
    "Unable to read the proxy settings: no proxy server is configured.";

struct Setting {
  const char* key;
  std::string value;
  const char* section = "Update";
};

// Nothing of an earlier, longer password may stay behind the one the field holds now.
bool wipedBehind(const char (&field)[4096]) {
  for (std::size_t at = std::strlen(field); at < sizeof field; ++at)
    if (field[at] != 0) return false;
  return true;
}

}  // namespace

class UpdateSource : public PipelineTest {
 protected:
  void settings(const std::vector<Setting>& all) {
    clearSettings();
    for (const Setting& s : all) setting(s.key, s.value.c_str(), s.section);
  }
};

TEST_P(UpdateSource, OwnSettingsNameTheServerAndItsPort) {
  const std::string longUrl = "http://" + std::string(5000, 'a');
  const std::string asking = "<3> QxUpdate::_getUpdateServerInfo asking with update type QXASE";
  const std::string noSpamUrl =
      "<1> QxUpdate::_getUpdateServerInfo get QXASEServerurl value from db failed";
  struct Case {
    std::vector<Setting> settings;
    bool antispam;
    std::string source;
    unsigned port;
    Lines log;
  } cases[] = {
      {{}, false, kDefaultServer, 80, {}},
      {{}, true, kAntispamServer, 80, {asking, noSpamUrl}},
      {{{"DefaultServer", "no"}, {"QXASEServerurl", "http://spam.example"}},
       true,
       kDefaultServer,
       80,
       {}},
      {{{"DefaultServer", "Yes"}, {"user_defined_update_server", "http://mirror.example"}},
       true,
       "http://mirror.example",
       80,
       {"<3> QxUpdate::_getUpdateServerInfo another update url = http://mirror.example"}},
      {{{"QXASEServerurl", "http://spam.example"}, {"UpdateServerPort", "8080abc"}},
       true,
       "http://spam.example",
       8080,
       {asking, "<3> QxUpdate::_getUpdateServerInfo update url = http://spam.example"}},
      {{{"UpdateServer", "http://own.example"}, {"UpdateServerPort", " +81"}},
       false,
       "http://own.example",
       81,
       {"<3> QxUpdate::_getUpdateServerInfo update url = http://own.example"}},
      {{{"UpdateServer", longUrl}, {"UpdateServerPort", "abc"}},
       false,
       longUrl.substr(0, 4095),
       0,
       {"<3> QxUpdate::_getUpdateServerInfo update url = " + longUrl.substr(0, 4095)}},
      {{{"UpdateServerPort", "-80"}}, false, kDefaultServer, 0, {}},
      {{{"UpdateServerPort", "4294967376"}}, false, kDefaultServer, 0, {}},
  };
  QxUpdate& u = update();
  for (const Case& c : cases) {
    settings(c.settings);
    std::string msg;
    ASSERT_EQ(0, A::serverInfo(u, msg, c.antispam));
    EXPECT_EQ(c.source, A::para(u).szSource) << c.source;
    EXPECT_EQ(c.port, A::para(u).uiSourcePort) << c.source;
    EXPECT_EQ("", msg);
    EXPECT_EQ(c.log, logLines({"QxUpdate::_getUpdateServerInfo "})) << c.source;
  }
}

TEST_P(UpdateSource, ConsoleModeTakesTheCallersServerAndTheAgentsCredentials) {
  QxUpdate& u = update(CONSOLE_UPDATE);
  settings({{"UpdateServerPort", "8080"},
            {"QXHQ_Username", "console", "hqagent"},
            {"QXHQ_Password", enciphered("s3cret-console"), "hqagent"}});
  A::source(u) = {true, "https://console.example/feed", 8443, "", ""};
  std::string msg;
  ASSERT_EQ(0, A::serverInfo(u, msg, true));
  EXPECT_STREQ("https://console.example/feed", A::para(u).szSource);
  EXPECT_EQ(8443u, A::para(u).uiSourcePort);
  EXPECT_EQ("console", A::source(u).user);
  EXPECT_EQ("s3cret-console", A::source(u).password);
  // Without a URL and port of the caller the earlier ones stay.
  A::source(u).server.clear();
  A::source(u).port = 0;
  ASSERT_EQ(0, A::serverInfo(u, msg, false));
  EXPECT_STREQ("https://console.example/feed", A::para(u).szSource);
  EXPECT_EQ(8443u, A::para(u).uiSourcePort);
  // The credentials go as a pair: no password, or one that does not decipher, sends neither.
  for (const std::string stored : {"", "OKC1:bm90IGEgY2lwaGVyIHRleHQ="}) {
    settings({{"QXHQ_Username", "console", "hqagent"}});
    if (!stored.empty()) setting("QXHQ_Password", stored.c_str(), "hqagent");
    ASSERT_EQ(0, A::serverInfo(u, msg, false));
    EXPECT_EQ("", A::source(u).user);
    EXPECT_EQ("", A::source(u).password);
  }
  EXPECT_EQ("", msg);
  EXPECT_EQ(std::string::npos, home->log().find("s3cret"));
}

TEST_P(UpdateSource, ProxySettingsOfBothModes) {
  const std::string authError =
      "The proxy authorization setting \"frank\" is not of the form user:password.";
  struct Case {
    bool console;
    std::vector<Setting> settings;
    int result;
    unsigned enabled, option;
    std::string proxy;
    unsigned port;
    std::string user, password, msg;
  } cases[] = {
      {false, {}, 0, 0, 2, "", 0, "", "", ""},
      {false, {{"UseProxySetting", "Yes"}, {"HTTPProxy", "p.example"}}, 0, 0, 2, "", 0, "", "", ""},
      {false,
       {{"UseProxySetting", "yes"},
        {"ProxyType", "socks4"},
        {"HTTPProxy", "p1.example"},
        {"HTTPPort", "3128"},
        {"HTTPAuthorization", "bob:" + enciphered("s3cret-a-long-one")}},
       0,
       1,
       0x10002,
       "p1.example",
       3128,
       "bob",
       "s3cret-a-long-one",
       ""},
      {false,
       {{"UseProxySetting", "yes"},
        {"ProxyType", "SOCKS5"},
        {"HTTPProxy", "p2.example"},
        {"HTTPAuthorization", "carol:" + enciphered("s3cret-b")}},
       0,
       1,
       2,
       "p2.example",
       80,
       "carol",
       "s3cret-b",
       ""},
      // Credentials that are no longer configured are not sent.
      {false,
       {{"UseProxySetting", "yes"}, {"HTTPProxy", "p3.example"}},
       0,
       1,
       2,
       "p3.example",
       80,
       "",
       "",
       ""},
      {false,
       {{"UseProxySetting", "yes"}, {"HTTPProxy", "p3.example"}, {"HTTPAuthorization", "dave:"}},
       0,
       1,
       2,
       "p3.example",
       80,
       "dave",
       "",
       ""},
      {false,
       {{"UseProxySetting", "yes"},
        {"HTTPProxy", "p3.example"},
        {"HTTPAuthorization", "erin:OKC1:AAAA"}},
       0,
       1,
       2,
       "p3.example",
       80,
       "erin",
       "",
       ""},
      {false,
       {{"UseProxySetting", "yes"}, {"HTTPProxy", "p4.example"}, {"HTTPAuthorization", "frank"}},
       -1,
       1,
       2,
       "",
       0,
       "",
       "",
       authError},
      {false, {{"UseProxySetting", "yes"}, {"HTTPProxy", ""}}, -1, 1, 2, "", 0, "", "", kNoProxy},
      {true,
       {{"Proxy_Enable", "yes", "hqagent"}, {"UseProxySetting", "yes"}},
       0,
       0,
       2,
       "",
       0,
       "",
       "",
       ""},
      {true,
       {{"Proxy_Enable", "1", "hqagent"},
        {"Proxy_Type", "socks5", "hqagent"},
        {"Proxy_Server", "c1.example", "hqagent"},
        {"Proxy_Port", "1080", "hqagent"},
        {"Proxy_Username", "gina", "hqagent"},
        {"Proxy_Password", enciphered("s3cret-c"), "hqagent"}},
       0,
       1,
       0x10002,
       "c1.example",
       1080,
       "gina",
       "s3cret-c",
       ""},
      {true,
       {{"Proxy_Enable", "1", "hqagent"},
        {"Proxy_Server", "c2.example", "hqagent"},
        {"HTTPAuthorization", "bob:" + enciphered("s3cret-d")}},
       0,
       1,
       2,
       "c2.example",
       80,
       "",
       "",
       ""},
      {true, {{"Proxy_Enable", "1", "hqagent"}}, -1, 1, 2, "", 0, "", "", kNoProxy},
  };
  QxUpdate& u = update(CONSOLE_UPDATE);
  const QxUpdatePara& p = A::para(u);
  int row = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(++row);
    settings(c.settings);
    A::source(u).inUse = c.console;
    std::string msg;
    ASSERT_EQ(c.result, A::proxyInfo(u, msg));
    EXPECT_EQ(c.msg, msg);
    EXPECT_EQ(c.enabled, p.uiProxyEnable);
    EXPECT_EQ(c.option, p.uiUpdateOption);
    EXPECT_EQ(c.msg.empty() ? Lines{} : Lines{"<3> QxUpdate::_getProxyInfo " + c.msg},
              logLines({"QxUpdate::_getProxyInfo "}));
    if (c.result != 0 || !c.enabled) continue;
    EXPECT_EQ(c.proxy, p.szProxy);
    EXPECT_EQ(c.port, p.uiProxyPort);
    EXPECT_EQ(c.user, p.szProxyUser);
    EXPECT_EQ(c.password, p.szProxyPassword);
    EXPECT_TRUE(wipedBehind(p.szProxyPassword));
    EXPECT_STREQ("Kelvo/1.0", p.szUserAgent);
  }
  EXPECT_EQ(std::string::npos, home->log().find("s3cret"));

  // Over-long settings are cut to their field, and the fields after them stay whole.
  settings({{"UseProxySetting", "yes"},
            {"HTTPProxy", std::string(5000, 'p')},
            {"HTTPPort", "8081"},
            {"User_Agent", std::string(5000, 'u')}});
  A::source(u).inUse = false;
  std::string msg;
  ASSERT_EQ(0, A::proxyInfo(u, msg));
  EXPECT_EQ(std::string(4095, 'p'), p.szProxy);
  EXPECT_EQ(8081u, p.uiProxyPort);
  EXPECT_EQ(std::string(4095, 'u'), p.szUserAgent);
}

TEST_P(UpdateSource, SourceAndDestinationRecordsPointIntoTheObject) {
  QxUpdate& u = update(CONSOLE_UPDATE);
  A::source(u) = {true, "", 0, "console", "pw"};
  SourceInfo source;
  std::memset(&source, 0xAB, sizeof source);
  A::srcInfo(u, source);
  const QxUpdatePara& p = A::para(u);
  EXPECT_EQ(p.szSource, source.source);
  EXPECT_EQ(0u, source.port);
  EXPECT_EQ(A::source(u).user.c_str(), source.user);
  EXPECT_EQ(A::source(u).password.c_str(), source.password);
  EXPECT_EQ(p.szProxyUser, source.proxy_user);
  EXPECT_EQ(p.szProxyPassword, source.proxy_password);
  EXPECT_EQ(p.szProxy, source.proxy);
  EXPECT_EQ((std::vector<unsigned>{p.uiProxyEnable, p.uiProxyPort, 1, 0}),
            (std::vector<unsigned>{source.proxy_enable, source.proxy_port, source.uiRecordVersion,
                                   source.uiReserved}));
  A::source(u).inUse = false;
  A::srcInfo(u, source);
  EXPECT_STREQ("", source.user);
  EXPECT_STREQ("", source.password);

  DestInfo dest;
  std::memset(&dest, 0xAB, sizeof dest);
  A::dstInfo(u, dest, p.szDestDir);
  EXPECT_EQ(p.szDestDir, dest.szPath);
  EXPECT_STREQ("", dest.szReserved1);
  EXPECT_STREQ("", dest.szReserved2);
  EXPECT_EQ(0u, dest.uiReserved1 | dest.uiReserved2);
}

INSTANTIATE_TEST_SUITE_P(Sqlite, UpdateSource, ::testing::Values(OrvelDbTest::Backend::kSqlite),
                         OrvelDbTest::backendName);
