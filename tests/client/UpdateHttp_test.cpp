// QxuUpdateEx over the network: nginx over HTTP and HTTPS, tinyproxy and
// microsocks with credentials, and the in-process fault servers for broken
// connections and silence.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>

#include "ClientTestSupport.h"
#include "FaultServer.h"

using namespace ClientTest;
using OrvelTest::fileExists;
using OrvelTest::readFile;
using OrvelTest::writeFile;

namespace {

namespace fs = std::filesystem;

using NetworkFixture = ClientFixture;

// ---- nginx ----

class Nginx : public NetworkFixture {
 protected:
  void SetUp() override {
    NetworkFixture::SetUp();
    REQUIRE_SERVERS("ORVEL_NGINX_ROOT", "ORVEL_NGINX_HTTP_PORT", "ORVEL_NGINX_HTTPS_PORT",
                    "ORVEL_NGINX_CA");
    m_feed = nginxFeed();
  }
  std::unique_ptr<TestFeed> m_feed;
};

TEST_F(Nginx, DownloadsOverHttpAndAMissingFileOrIndexIsHttp404) {
  const std::string content = publishPattern(*m_feed);
  EXPECT_EQ(QXU_OK, updatePattern(m_feed->url()));
  EXPECT_EQ(content, readFile(dest(kPatternName)));
  EXPECT_EQ(Strings{kPatternName}, destFiles());
  char server[256];
  EXPECT_EQ(QXU_OK, QxuGetServer(server, sizeof server));
  EXPECT_EQ(m_feed->url(), server);
  fs::remove(dest(kPatternName));
  fs::remove(m_feed->stored(content));
  EXPECT_EQ(QXU_E_HTTP_STATUS, updatePattern(m_feed->url()));
  expectFailure(QXU_E_HTTP_STATUS, 0x1C0194u, "The server answered HTTP 404");
  EXPECT_TRUE(m_clock->sleeps().empty()) << "a 404 is not retried";
  EXPECT_TRUE(destFiles().empty());
  EXPECT_EQ(QXU_E_HTTP_STATUS, updatePattern(m_feed->url() + "/nothing-here"));
  expectFailure(QXU_E_HTTP_STATUS, 0x1C0194u, "kitefeed.idx");
  EXPECT_EQ(
      "The update server answered with an error status, or does not have the requested "
      "item or file.",
      errorString(QXU_E_HTTP_STATUS));
}

TEST_F(Nginx, HttpsChecksTheCertificateAgainstTheCaFileOfTheWorkingFolderOrTheProperty) {
  auto feed = nginxFeed(true);
  const std::string content = publishPattern(*feed);
  EXPECT_EQ(QXU_E_TLS, updatePattern(feed->url()));
  expectFailure(QXU_E_TLS, QXU_DETAIL(QXU_E_TLS, 60), "SSL peer certificate");
  EXPECT_TRUE(destFiles().empty());
  ASSERT_TRUE(m_context->set("CAFile", serverVariable("ORVEL_NGINX_CA")));
  EXPECT_EQ(QXU_OK, updatePattern(feed->url()));
  fs::remove(dest(kPatternName));
  fs::create_directories(m_work / "kitefeed");
  fs::copy_file(serverVariable("ORVEL_NGINX_CA"), m_work / "kitefeed/ca.pem");
  ASSERT_TRUE(m_context->set("CAFile", m_work / "no-such-ca.pem"));
  EXPECT_EQ(QXU_E_TLS, updatePattern(feed->url())) << "the property names the only bundle";
  ASSERT_TRUE(m_context->set("CAFile", ""));
  EXPECT_EQ(QXU_OK, updatePattern(feed->url())) << "without the property, the working folder's";
  EXPECT_EQ(content, readFile(dest(kPatternName)));
}

// A clock whose sleep ends the server's busy state, as time passing would.
class BusyUntilSlept : public OrvelTest::FakeClock {
 public:
  BusyUntilSlept(std::string flag) : FakeClock(std::time(nullptr)), m_flag(std::move(flag)) {}
  void sleepMilliseconds(unsigned ms) override {
    FakeClock::sleepMilliseconds(ms);
    fs::remove(m_flag);
  }

 private:
  std::string m_flag;
};

TEST_F(Nginx, RetryAfterIsHonouredThroughTheClockUpToTheCapAndTheRetryCount) {
  const std::string content = publishPattern(*m_feed);
  const std::string flag = m_feed->folder() + "/kitefeed.idx.busy";
  writeFile(flag, "");
  ASSERT_TRUE(m_context->set("RetryAfterMax", "5"));
  EXPECT_EQ(QXU_E_HTTP_STATUS, updatePattern(m_feed->url()));
  expectFailure(QXU_E_HTTP_STATUS, 0x1C01F7u,
                "The server asked to retry after 7 s, more than the allowed 5 s.");
  ASSERT_TRUE(m_context->set("RetryAfterMax", "60"));
  ASSERT_TRUE(m_context->set("RetryCount", "0"));
  EXPECT_EQ(QXU_E_HTTP_STATUS, updatePattern(m_feed->url()));
  expectFailure(QXU_E_HTTP_STATUS, 0x1C01F7u, "HTTP 503");
  EXPECT_TRUE(m_clock->sleeps().empty());
  ASSERT_TRUE(m_context->set("RetryCount", "2"));
  EXPECT_EQ(QXU_E_HTTP_STATUS, updatePattern(m_feed->url()));
  EXPECT_EQ((std::vector<unsigned>{7000, 7000}), m_clock->sleeps());

  m_clock.reset();
  BusyUntilSlept clock(flag);
  EXPECT_EQ(QXU_OK, updatePattern(m_feed->url()));
  EXPECT_EQ(std::vector<unsigned>{7000}, clock.sleeps());
  EXPECT_EQ(content, readFile(dest(kPatternName)));
}

TEST_F(Nginx, TheIndexIsCachedFetchedConditionallyDroppedWhenDamagedAndCleared) {
  publishPattern(*m_feed, 1000);
  const std::uint64_t indexSize = m_feed->index().size();
  auto fetched = [this] { return std::stoull(m_context->get("LastBytesFetched")); };
  m_items = {item(3, kVirusPattern, number(576300))};
  EXPECT_EQ(QXU_UP_TO_DATE, update(m_items, m_feed->url()));
  EXPECT_EQ(indexSize, fetched());
  EXPECT_EQ(2u, listFolder(m_work / "kitefeed/cache").size());
  EXPECT_EQ(QXU_UP_TO_DATE, update(m_items, m_feed->url() + "/"));
  EXPECT_EQ(0u, fetched()) << "304 Not Modified";
  for (const std::string& name : listFolder(m_work / "kitefeed/cache"))
    if (name.size() > 4 && name.compare(name.size() - 4, 4, ".idx") == 0)
      writeFile(m_work / ("kitefeed/cache/" + name), "garbage");
  EXPECT_EQ(QXU_UP_TO_DATE, update(m_items, m_feed->url()));
  EXPECT_EQ(indexSize, fetched()) << "a damaged cache is dropped";

  EXPECT_EQ(QXU_OK, QxuClearCacheEx((m_feed->url() + "/").c_str()));
  EXPECT_TRUE(listFolder(m_work / "kitefeed/cache").empty());
  EXPECT_EQ(QXU_UP_TO_DATE, update(m_items, m_feed->url()));
  EXPECT_EQ(indexSize, fetched());
  EXPECT_EQ(QXU_OK, QxuClearCache());
  EXPECT_TRUE(listFolder(m_work / "kitefeed/cache").empty());
}

// ---- proxies ----

class Proxies : public NetworkFixture {
 protected:
  void SetUp() override {
    NetworkFixture::SetUp();
    REQUIRE_SERVERS("ORVEL_NGINX_ROOT", "ORVEL_NGINX_HTTP_PORT", "ORVEL_TINYPROXY_PORT",
                    "ORVEL_MICROSOCKS_PORT", "ORVEL_PROXY_USER", "ORVEL_PROXY_PASSWORD");
    m_feed = nginxFeed();
    m_content = publishPattern(*m_feed);
  }
  // The caller keeps user and password alive.
  SourceInfo viaProxy(const char* portVariable, const std::string& user,
                      const std::string& password) {
    SourceInfo src = source(m_feed->url());
    src.proxy = "127.0.0.1";
    src.proxy_user = user.c_str();
    src.proxy_password = password.c_str();
    src.proxy_enable = 1;
    src.proxy_port = static_cast<unsigned>(std::stoi(serverVariable(portVariable)));
    return src;
  }
  std::unique_ptr<TestFeed> m_feed;
  std::string m_content;
  const std::string m_user = serverVariable("ORVEL_PROXY_USER");
  const std::string m_password = serverVariable("ORVEL_PROXY_PASSWORD");
};

TEST_F(Proxies, HttpAndSocksProxiesWithTheirCredentials) {
  const unsigned socks = QXU_OPTION_DEFAULT | QXU_OPTION_SOCKS_PROXY;
  const struct {
    const char* port;
    unsigned option;
    std::string user, password;
    int code;
    unsigned detail;
    const char* text;
  } cases[] = {{"ORVEL_TINYPROXY_PORT", QXU_OPTION_DEFAULT, m_user, "wrong", QXU_E_PROXY_AUTH,
                QXU_DETAIL(QXU_E_PROXY_AUTH, 401), "The proxy refused"},
               {"ORVEL_TINYPROXY_PORT", QXU_OPTION_DEFAULT, "", "", QXU_E_PROXY_AUTH,
                QXU_DETAIL(QXU_E_PROXY_AUTH, 407), "(HTTP 407)"},
               {"ORVEL_MICROSOCKS_PORT", socks, m_user, "wrong", QXU_E_PROXY_AUTH,
                QXU_DETAIL(QXU_E_PROXY_AUTH, 97), "refused the credentials"},
               {"ORVEL_TINYPROXY_PORT", QXU_OPTION_DEFAULT, m_user, m_password, QXU_OK, 0, ""},
               {"ORVEL_MICROSOCKS_PORT", socks, m_user, m_password, QXU_OK, 0, ""}};
  for (const auto& c : cases) {
    EXPECT_EQ(c.code, updatePattern(viaProxy(c.port, c.user, c.password), c.option)) << c.port;
    if (c.code != QXU_OK) {
      expectFailure(c.code, c.detail, c.text);
      EXPECT_TRUE(destFiles().empty());
    } else {
      EXPECT_EQ(m_content, readFile(dest(kPatternName)));
      fs::remove(dest(kPatternName));
    }
  }
  EXPECT_EQ("The proxy server refused the user name or password.", errorString(QXU_E_PROXY_AUTH));
}

TEST_F(Proxies, AnUnreachableProxyAndADisabledOne) {
  SourceInfo src = viaProxy("ORVEL_TINYPROXY_PORT", m_user, m_password);
  src.proxy_port = static_cast<unsigned>(closedPort());
  ASSERT_TRUE(m_context->set("RetryCount", "0"));
  EXPECT_EQ(QXU_E_PROXY, updatePattern(src));
  expectFailure(QXU_E_PROXY, QXU_DETAIL(QXU_E_PROXY, 7), "Cannot connect to the proxy");
  src.proxy_enable = 0;
  EXPECT_EQ(QXU_OK, updatePattern(src));
}

// ---- broken and silent servers ----

class Faults : public NetworkFixture {
 protected:
  void SetUp() override {
    NetworkFixture::SetUp();
    m_feed = std::make_unique<TestFeed>(m_feeds / "served", "");
    trust(*m_feed);
    m_content = publishPattern(*m_feed, 300000);
    m_server = std::make_unique<FaultServer>(m_feeds.path());
    m_path = "/served/" + m_feed->stored(m_content).substr(m_feed->folder().size() + 1);
  }
  std::string url() const { return m_server->url("/served"); }

  std::unique_ptr<TestFeed> m_feed;
  std::unique_ptr<FaultServer> m_server;
  std::string m_content;
  std::string m_path;
};

TEST_F(Faults, AnInterruptedFileFailsWithoutRetriesAndResumesOrStartsOverWithThem) {
  ASSERT_TRUE(m_context->set("RetryCount", "0"));
  m_server->cutShort(m_path, 100000, 1);
  EXPECT_EQ(QXU_E_TRANSFER, updatePattern(url()));
  expectFailure(QXU_E_TRANSFER, QXU_DETAIL(QXU_E_TRANSFER, 18), "Transferred a partial file");
  EXPECT_TRUE(destFiles().empty());

  ASSERT_TRUE(m_context->set("RetryCount", "3"));
  m_server->cutShort(m_path, 100000, 2);
  EXPECT_EQ(QXU_OK, updatePattern(url()));
  EXPECT_EQ(m_content, readFile(dest(kPatternName)));
  Strings ranges;
  for (const std::string& head : m_server->requests()) {
    const std::size_t at = head.find("Range: ");
    if (at != std::string::npos) ranges.push_back(head.substr(at, head.find("\r\n", at) - at));
  }
  EXPECT_EQ((Strings{"Range: bytes=100000-", "Range: bytes=200000-"}), ranges);
  EXPECT_EQ((std::vector<unsigned>{500, 1000}), m_clock->sleeps());

  fs::remove(dest(kPatternName));
  m_server->ignoreRanges(true);
  m_server->cutShort(m_path, 100000, 1);
  EXPECT_EQ(QXU_OK, updatePattern(url()));
  EXPECT_EQ(m_content, readFile(dest(kPatternName)));
}

TEST_F(Faults, TheUserAgentServerCredentialsAndThePortOfTheSourceRecordAreUsed) {
  ASSERT_TRUE(m_context->set("UserAgent", "Kelvo/1.0"));
  SourceInfo src = source("http://127.0.0.1:" + std::to_string(closedPort()) + "/served");
  src.port = static_cast<unsigned>(m_server->port());
  src.user = "kf";
  src.password = "pw";
  EXPECT_EQ(QXU_OK, updatePattern(src));
  const Strings heads = m_server->requests();
  ASSERT_EQ(2u, heads.size());
  for (const std::string& head : heads) {
    EXPECT_NE(std::string::npos, head.find("\r\nUser-Agent: Kelvo/1.0\r\n")) << head;
    EXPECT_NE(std::string::npos, head.find("\r\nAuthorization: Basic a2Y6cHc=\r\n")) << head;
  }
}

class Silence : public NetworkFixture {
 protected:
  void SetUp() override {
    NetworkFixture::SetUp();
    fileFeed();  // a trusted key, so that the client goes to the network
    ASSERT_TRUE(m_context->set("SocketTimeoutConnect", "0.3"));
    ASSERT_TRUE(m_context->set("SocketTimeout", "0.3"));
  }
  SilentServer m_silent;
};

TEST_F(Silence, SilentRefusingAndStallingServersGiveTheirTimeouts) {
  const std::string silent = "127.0.0.1:" + std::to_string(m_silent.port()) + "/feed";
  const struct {
    std::string url;
    const char* retries;
    int code;
    unsigned detail;
    const char* text;
    double atLeast;
  } cases[] = {
      {"http://" + silent, "0", QXU_E_TRANSFER_TIMEOUT, 0x001A0000u, "No data arrived for 300 ms.",
       0.3},
      {"https://" + silent, "0", QXU_E_CONNECT_TIMEOUT, QXU_DETAIL(QXU_E_CONNECT_TIMEOUT, 28),
       "No connection within 300 ms", 0},
      {"http://127.0.0.1:" + std::to_string(closedPort()) + "/feed", "0", QXU_E_CONNECT,
       QXU_DETAIL(QXU_E_CONNECT, 7), "Cannot connect", 0},
      {"http://" + silent, "1", QXU_E_TRANSFER_TIMEOUT, 0x001A0000u, "No data arrived", 0.6}};
  for (const auto& c : cases) {
    ASSERT_TRUE(m_context->set("RetryCount", c.retries));
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(c.code, updatePattern(c.url)) << c.url;
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    expectFailure(c.code, c.detail, c.text);
    EXPECT_GE(seconds, c.atLeast) << c.url;
    EXPECT_LT(seconds, 3.0) << c.url;
  }
  EXPECT_EQ(std::vector<unsigned>{500}, m_clock->sleeps()) << "one retry, after half a second";
  EXPECT_EQ("The update server stopped sending data or sent it too slowly (transfer timed out).",
            errorString(QXU_E_TRANSFER_TIMEOUT));
}

}  // namespace
