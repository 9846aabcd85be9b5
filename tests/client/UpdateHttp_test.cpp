// QxuUpdateEx over the network: nginx over HTTP and HTTPS, tinyproxy and microsocks with
// credentials, the in-process fault server for broken connections, and ports that refuse or never
// answer.
#include <gtest/gtest.h>

#include <filesystem>

#include "ClientTestSupport.h"
#include "FaultServer.h"

using namespace ClientTest;
using OrvelTest::readFile;
using OrvelTest::writeFile;

namespace {

namespace fs = std::filesystem;

// ---- nginx ----

class Nginx : public ClientFixture {
 protected:
  void SetUp() override {
    ClientFixture::SetUp();
    // Skipped, or failed when CI is set, unless the test command started nginx and the proxies
    // (each server's script exports all its variables at once).
    if (serverVariable("ORVEL_NGINX_ROOT").empty() || serverVariable("ORVEL_PROXY_USER").empty()) {
      ASSERT_EQ("", serverVariable("CI")) << "the test servers are missing";
      GTEST_SKIP() << "the test servers are missing (start scripts/servers/*)";
    }
    m_feed = nginxFeed();
  }
};

TEST_F(Nginx, HttpsChecksTheCertificateAgainstTheCaFileAndIsNeverRedirectedToHttp) {
  auto feed = nginxFeed(true);
  publishPattern(*feed);
  expectFailure(updatePattern(feed->url()), QXU_E_TLS, QXU_DETAIL(QXU_E_TLS, 60),
                "SSL peer certificate");
  // The CA file of the working folder.
  fs::create_directories(m_work / "kitefeed");
  fs::copy_file(serverVariable("ORVEL_NGINX_CA"), m_work / "kitefeed/ca.pem");
  const std::string https = "https://127.0.0.1:" + serverVariable("ORVEL_NGINX_HTTPS_PORT");
  const std::string name = fs::path(feed->folder()).filename();
  expectFailure(updatePattern(https + "/to-http/" + name), QXU_E_TLS, QXU_DETAIL(QXU_E_TLS, 1),
                "Refused the redirect from https to http://127.0.0.1:" +
                    serverVariable("ORVEL_NGINX_HTTP_PORT") + "/" + name + "/kitefeed.idx");
  EXPECT_EQ(QXU_OK, updatePattern(feed->url()));
}

TEST_F(Nginx, TheIndexIsCachedAndFetchedConditionallyRetryAfterHasACapAndA404IsFinal) {
  const std::string content = publishPattern(*m_feed);
  const std::string cache = m_work / "kitefeed/cache/";
  EXPECT_EQ(QXU_UP_TO_DATE, updatePattern(576300));
  for (const std::string& name : listFolder(cache))
    if (fs::path(name).extension() == ".idx") writeFile(cache + name, "garbage");
  EXPECT_EQ(QXU_UP_TO_DATE, updatePattern(576300));
  EXPECT_EQ(m_feed->index().size(), bytesFetched()) << "a damaged cache is dropped";
  const std::string busy = m_feed->folder() + "/kitefeed.idx.busy";
  writeFile(busy, "");
  ASSERT_TRUE(m_context->set("RetryAfterMax", "5"));
  expectFailure(updatePattern(), QXU_E_HTTP_STATUS, 0x1C01F7u,
                "The server asked to retry after 7 s, more than the allowed 5 s.");
  EXPECT_TRUE(m_clock->sleeps().empty());
  ASSERT_TRUE(m_context->set("RetryAfterMax", "60"));
  ASSERT_TRUE(m_context->set("RetryCount", "2"));
  expectFailure(updatePattern(), QXU_E_HTTP_STATUS, 0x1C01F7u, "HTTP 503");
  EXPECT_EQ((std::vector<unsigned>{7000, 7000}), m_clock->sleeps());
  fs::remove(busy);
  fs::remove(m_feed->stored(content));
  expectFailure(updatePattern(), QXU_E_HTTP_STATUS, 0x1C0194u, "The server answered HTTP 404");
  EXPECT_EQ(2u, m_clock->sleeps().size()) << "a 404 is not retried";
}

TEST_F(Nginx, HttpAndSocksProxiesWithTheirCredentialsOrUnreachable) {
  publishPattern(*m_feed);
  const std::string user = serverVariable("ORVEL_PROXY_USER");
  const std::string password = serverVariable("ORVEL_PROXY_PASSWORD");
  const unsigned http = std::stoi(serverVariable("ORVEL_TINYPROXY_PORT"));
  const unsigned socks = std::stoi(serverVariable("ORVEL_MICROSOCKS_PORT"));
  const unsigned closed = static_cast<unsigned>(closedPort());
  ASSERT_TRUE(m_context->set("RetryCount", "0"));
  const struct {
    unsigned port, option;
    std::string user, password;
    int code;
    unsigned detail;
    const char* text;
  } cases[] = {{closed, QXU_OPTION_DEFAULT, user, password, QXU_E_PROXY, QXU_DETAIL(QXU_E_PROXY, 7),
                "Cannot connect to the proxy"},
               {http, QXU_OPTION_DEFAULT, user, "wrong", QXU_E_PROXY_AUTH,
                QXU_DETAIL(QXU_E_PROXY_AUTH, 401), "The proxy refused"},
               {http, QXU_OPTION_DEFAULT, user, password, QXU_OK, 0, ""},
               {socks, QXU_OPTION_DEFAULT | QXU_OPTION_SOCKS_PROXY, user, password, QXU_OK, 0, ""}};
  for (const auto& c : cases) {
    SourceInfo src = source(m_feed->url());
    src.proxy = "127.0.0.1";
    src.proxy_user = c.user.c_str();
    src.proxy_password = c.password.c_str();
    src.proxy_enable = 1;
    src.proxy_port = c.port;
    SCOPED_TRACE(c.port);
    expectFailure(updatePattern(src, c.option), c.code, c.detail, c.text,
                  c.code == QXU_OK ? Strings{kPatternName} : Strings{});
    fs::remove(dest(kPatternName));
  }
}

// ---- broken and silent servers ----

using Faults = ClientFixture;

// Every request goes to the port of the source record, with its credentials and user agent.
TEST_F(Faults, AnInterruptedFileFailsWithoutRetriesAndResumesWithThem) {
  const std::string content = publishPattern(*m_feed, 300000);
  FaultServer server(m_feeds.path());
  ASSERT_TRUE(m_context->set("UserAgent", "Kelvo/1.0"));
  SourceInfo src = source("http://127.0.0.1:" + std::to_string(closedPort()) +
                          m_feed->folder().substr(m_feeds.path().size()));
  src.port = static_cast<unsigned>(server.port());
  src.user = "kf";
  src.password = "pw";
  ASSERT_TRUE(m_context->set("RetryCount", "0"));
  server.cutShort(100000, 1);
  expectFailure(updatePattern(src), QXU_E_TRANSFER, QXU_DETAIL(QXU_E_TRANSFER, 18),
                "Transferred a partial file");
  ASSERT_TRUE(m_context->set("RetryCount", "3"));
  server.cutShort(100000, 2);
  EXPECT_EQ(QXU_OK, updatePattern(src));
  EXPECT_EQ(content, readFile(dest(kPatternName)));
  EXPECT_EQ((Strings{"", "", "", "", "bytes=100000-", "bytes=200000-"}), server.headers("Range"));
  EXPECT_EQ(Strings(6, "Kelvo/1.0"), server.headers("User-Agent"));
  EXPECT_EQ(Strings(6, "Basic a2Y6cHc="), server.headers("Authorization"));
  EXPECT_EQ((std::vector<unsigned>{500, 1000}), m_clock->sleeps());
  // A server without ranges: the download starts over once, and fails when that too is cut.
  fs::remove(dest(kPatternName));
  server.ignoreRanges();
  server.cutShort(100000, 1);
  EXPECT_EQ(QXU_OK, updatePattern(src));
  EXPECT_EQ(content, readFile(dest(kPatternName)));
  fs::remove(dest(kPatternName));
  ASSERT_TRUE(m_context->set("RetryCount", "2"));
  server.cutShort(100000, 3);
  expectFailure(updatePattern(src), QXU_E_TRANSFER, QXU_DETAIL(QXU_E_TRANSFER, 33),
                "The transfer cannot be resumed");
}

TEST_F(Faults, SilentRefusingAndStallingServersGiveTheirTimeouts) {
  int port = 0;
  const int silent = listenOnLoopback(&port);  // accepted by the kernel, never answered
  for (const char* setting : {"SocketTimeoutConnect", "SocketTimeout"})
    ASSERT_TRUE(m_context->set(setting, "0.3"));
  ASSERT_TRUE(m_context->set("RetryCount", "0"));
  const std::string at = "127.0.0.1:" + std::to_string(port) + "/feed";
  const struct {
    std::string url;
    int code;
    unsigned detail;
    const char* text;
  } cases[] = {{"http://" + at, QXU_E_TRANSFER_TIMEOUT, 0x001A0000u, "No data arrived for 300 ms."},
               {"https://" + at, QXU_E_CONNECT_TIMEOUT, QXU_DETAIL(QXU_E_CONNECT_TIMEOUT, 28),
                "No connection within 300 ms"},
               {"http://127.0.0.1:" + std::to_string(closedPort()) + "/feed", QXU_E_CONNECT,
                QXU_DETAIL(QXU_E_CONNECT, 7), "Cannot connect"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.url);
    expectFailure(updatePattern(c.url), c.code, c.detail, c.text);
  }
  ::close(silent);
}

}  // namespace
