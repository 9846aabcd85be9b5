// Where a download comes from: the update server and the proxy, from the product's own settings
// or, in console mode, from the caller and the console agent's settings.
#include <cstring>

#include "PipelineTest.h"

using namespace OrvelPipelineTest;

namespace {
constexpr const char* kDefault = "http://update.kitefeed.orvel.example/kitefeed";
constexpr const char* kAntispam = "http://antispam.kitefeed.orvel.example/kitefeed";
constexpr const char* kNoProxy =
    "Unable to read the proxy settings: no proxy server is configured.";
constexpr const char* kBadAuth =
    "The proxy authorization setting \"frank\" is not of the form user:password.";
std::string server(const QxUpdatePara& p) {
  return std::string(p.szSource) + ":" + std::to_string(p.uiSourcePort);
}
std::string proxy(const QxUpdatePara& p) {
  return std::string(p.szProxy) + ":" + std::to_string(p.uiProxyPort) + " " + p.szProxyUser + " " +
         p.szProxyPassword;
}
}  // namespace

class UpdateSource : public PipelineTest {};

TEST_P(UpdateSource, TheServerOfTheOwnSettingsOrOfTheConsole) {
  const std::string longUrl = "http://" + std::string(5000, 'a'), cut = longUrl.substr(0, 4095);
  // clang-format off
  const struct { std::string settings; bool antispam; std::string source; unsigned port; } cases[] = {
      {"", false, kDefault, 80},
      {"", true, kAntispam, 80},
      {"DefaultServer=Yes|user_defined_update_server=http://m", true, "http://m", 80},
      {"QXASEServerurl=http://s|UpdateServer=http://o|UpdateServerPort=8080abc", true, "http://s", 8080},
      {"UpdateServer=" + longUrl + "|UpdateServerPort=abc", false, cut, 0},
      {"UpdateServerPort=4294967376", false, kDefault, 0}};
  // clang-format on
  QxUpdate& u = update(CONSOLE_UPDATE);
  std::string msg;
  for (const auto& c : cases) {
    settings(c.settings);
    ASSERT_EQ(0, A::serverInfo(u, msg, c.antispam));
    EXPECT_EQ(c.source + ":" + std::to_string(c.port), server(A::para(u))) << c.settings;
  }
  // Console mode: the caller's server and port (kept when it gives none) and the agent's
  // credentials, as a pair only: no password, or one that does not decipher, sends neither.
  // clang-format off
  const struct { std::string server; unsigned port; std::string settings, credentials; } console[] = {
      {"https://c.example/feed", 8443, "hqagent:QXHQ_Username=con|hqagent:QXHQ_Password={s3cret-c}|UpdateServerPort=1", "con s3cret-c"},
      {"", 0, "hqagent:QXHQ_Username=con", " "},
      {"", 0, "hqagent:QXHQ_Username=con|hqagent:QXHQ_Password=OKC1:bm90IGEgY2lwaGVy", " "}};
  // clang-format on
  for (const auto& c : console) {
    settings(c.settings);
    A::source(u) = {true, c.server, c.port, "stale", "stale"};
    ASSERT_EQ(0, A::serverInfo(u, msg, true));
    EXPECT_EQ("https://c.example/feed:8443", server(A::para(u)));
    EXPECT_EQ(c.credentials, A::source(u).user + " " + A::source(u).password);
  }
  EXPECT_EQ("", msg);
  EXPECT_EQ(std::string::npos, home->log().find("s3cret"));
}

TEST_P(UpdateSource, ProxySettingsOfBothModes) {
  // clang-format off
  const struct { bool console; std::string settings; int result; unsigned enabled, option; std::string proxy, msg; } cases[] = {
      {false, "", 0, 0, 2, "", ""},
      {false, "UseProxySetting=yes|ProxyType=socks4|HTTPProxy=p1|HTTPPort=3128|HTTPAuthorization=bob:{s3cret-a-long-one}", 0, 1, 0x10002, "p1:3128 bob s3cret-a-long-one", ""},
      {false, "UseProxySetting=yes|HTTPProxy=p3", 0, 1, 2, "p3:80  ", ""},  // no stale credentials
      {false, "UseProxySetting=yes|HTTPProxy=p3|HTTPAuthorization=erin:OKC1:AAAA", 0, 1, 2, "p3:80 erin ", ""},
      {false, "UseProxySetting=yes|HTTPProxy=p4|HTTPAuthorization=frank", -1, 1, 2, "", kBadAuth},
      {false, "UseProxySetting=yes|HTTPProxy=", -1, 1, 2, "", kNoProxy},
      {true, "hqagent:Proxy_Enable=yes|UseProxySetting=yes", 0, 0, 2, "", ""},
      {true, "hqagent:Proxy_Enable=1|hqagent:Proxy_Type=socks5|hqagent:Proxy_Server=c1|hqagent:Proxy_Port=1080|hqagent:Proxy_Username=gina|hqagent:Proxy_Password={s3cret-c}", 0, 1, 0x10002, "c1:1080 gina s3cret-c", ""},
      {true, "hqagent:Proxy_Enable=1|hqagent:Proxy_Server=c2|HTTPAuthorization=bob:{s3cret-d}", 0, 1, 2, "c2:80  ", ""},
      {true, "hqagent:Proxy_Enable=1", -1, 1, 2, "", kNoProxy}};
  // clang-format on
  QxUpdate& u = update(CONSOLE_UPDATE);
  const QxUpdatePara& p = A::para(u);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.settings);
    settings(c.settings);
    A::source(u).inUse = c.console;
    std::string msg;
    ASSERT_EQ(c.result, A::proxyInfo(u, msg));
    EXPECT_EQ(c.msg + " " + std::to_string(c.enabled) + " " + std::to_string(c.option),
              msg + " " + std::to_string(p.uiProxyEnable) + " " + std::to_string(p.uiUpdateOption));
    EXPECT_EQ(c.msg.empty() ? Lines{} : Lines{"<3> QxUpdate::_getProxyInfo " + c.msg},
              logLines({"QxUpdate::_getProxyInfo "}));
    if (c.proxy.empty()) continue;
    EXPECT_EQ(c.proxy + " Kelvo/1.0", proxy(p) + " " + p.szUserAgent);
    // Nothing of an earlier, longer password stays behind the one the field holds now.
    const std::size_t end = std::strlen(p.szProxyPassword);
    EXPECT_EQ(std::string(sizeof p.szProxyPassword - end, '\0'),
              std::string(p.szProxyPassword + end, sizeof p.szProxyPassword - end));
  }
  EXPECT_EQ(std::string::npos, home->log().find("s3cret"));
  // The source record carries the console credentials only in console mode, and the proxy.
  A::source(u) = {true, "", 0, "con", "pw"};
  SourceInfo s;
  A::srcInfo(u, s);
  EXPECT_EQ("con pw 1 80 " + std::string(p.szProxy),
            std::string(s.user) + " " + s.password + " " + std::to_string(s.proxy_enable) + " " +
                std::to_string(s.proxy_port) + " " + s.proxy);
  A::source(u).inUse = false;
  A::srcInfo(u, s);
  EXPECT_EQ(" ", std::string(s.user) + " " + s.password);
  // Over-long settings are cut to their field, and the field after each stays whole.
  settings("UseProxySetting=yes|HTTPPort=8081|HTTPProxy=" + std::string(5000, 'p') +
           "|User_Agent=" + std::string(5000, 'u'));
  std::string cutMsg;
  ASSERT_EQ(0, A::proxyInfo(u, cutMsg));
  EXPECT_EQ(std::string(4095, 'p') + ":8081 " + std::string(4095, 'u'),
            p.szProxy + (":" + std::to_string(p.uiProxyPort)) + " " + p.szUserAgent);
  // Unusable proxy settings stop a download before the schedule is looked at.
  settings("UseProxySetting=yes");
  m_update.reset();
  std::string msg;
  ASSERT_EQ(-1, A::downloadInfo(update(SCHEDULED_UPDATE), VIRUS_PATTERN, msg));
  EXPECT_EQ(kNoProxy, msg);
  EXPECT_EQ(Lines{}, logLines({"QxUpdate [QxUpdateSchedule.cpp]"}));
}

INSTANTIATE_TEST_SUITE_P(Sqlite, UpdateSource, ::testing::Values(OrvelTest::Backend::kSqlite),
                         OrvelTest::backendName);
