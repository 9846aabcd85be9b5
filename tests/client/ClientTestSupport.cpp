#include "ClientTestSupport.h"

#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <random>

#include "feed/FeedCrypto.h"
#include "feed/FeedFormat.h"
#include "feed/FeedSigner.h"

namespace ClientTest {

namespace fs = std::filesystem;

std::string serverVariable(const char* name) {
  const char* value = std::getenv(name);
  return value ? value : "";
}

std::string ClientContext::get(const char* name) const {
  char buffer[4096] = "";
  return QxuGetPropertyEx(name, buffer, sizeof buffer, m_context) ? buffer : "<refused>";
}

std::string errorString(int code) {
  char buffer[1024];
  QxuGetErrorString(code, buffer, sizeof buffer);
  return buffer;
}

Strings listFolder(const std::string& folder) {
  Strings names;
  std::error_code error;
  for (const auto& entry : fs::directory_iterator(folder, error))
    names.push_back(entry.path().filename());
  std::sort(names.begin(), names.end());
  return names;
}

std::string randomBytes(std::size_t size, unsigned seed) {
  std::mt19937 engine(seed);
  std::string bytes(size, '\0');
  for (char& c : bytes) c = static_cast<char>(engine() & 0xFF);
  return bytes;
}

std::string keyId(const std::string& publicHex) {
  std::string raw;
  KiteFeed::fromHex(publicHex, &raw);
  return KiteFeed::keyIdOf(raw);
}

std::string text(const QxuVersionBuild& v) {
  return std::to_string(v.uiMajor) + "." + std::to_string(v.uiMinor) + "." +
         std::to_string(v.uiBuild);
}

TestFeed::TestFeed(std::string folder, std::string url)
    : m_folder(std::move(folder)), m_url(std::move(url)) {
  fs::create_directories(m_folder);
  if (!KiteFeed::generateKeyPair(&m_privatePem, &m_publicHex))
    throw std::runtime_error("cannot make a key pair");
}

KiteFeed::AddResult TestFeed::add(std::uint32_t itemClass, std::uint32_t id,
                                  const std::string& version, const Files& files,
                                  std::uint32_t platform, std::uint32_t languages) {
  KiteFeed::AddRequest request{itemClass, id, platform, languages, version, {}, 3, 3};
  const std::string folder = m_scratch / std::to_string(++m_counter);
  fs::create_directories(folder);
  for (const auto& [name, content] : files) {
    OrvelTest::writeFile(folder + "/" + name, content);
    request.files.push_back(folder + "/" + name);
  }
  return KiteFeed::Publisher(m_folder).add(request);
}

std::uint64_t TestFeed::sign(std::int64_t validSeconds) {
  return KiteFeed::Publisher(m_folder).sign(m_privatePem, "orvel-test", validSeconds,
                                            std::time(nullptr));
}

std::string TestFeed::stored(const std::string& content) const {
  return m_folder + "/files/" + KiteFeed::sha256Hex(content);
}

void ClientFixture::SetUp() {
  m_clock = std::make_unique<OrvelTest::FakeClock>(std::time(nullptr));
  ASSERT_NE(0, QxuSetProperty("KiteFeedPath_FromLoader", m_work.path().c_str()));
  ASSERT_NE(0, QxuSetProperty("MsgCodePage", "1252"));
  m_context = std::make_unique<ClientContext>();
  m_destInfo = DestInfo{m_dest.path().c_str(), "", "", 0, 0};
  m_feed = fileFeed();
}

std::string ClientFixture::results() const {
  std::string versions;
  for (const tag_ItemInfo& item : m_items)
    versions += (versions.empty() ? "" : " ") + text(item.stResult);
  return versions;
}

void ClientFixture::expectFailure(int result, int code, unsigned detail,
                                  const std::string& textPart, const Strings& left) const {
  EXPECT_EQ(code, result);
  QxuErrorInfo error{};
  QxuGetLastError(&error, m_context->get());
  EXPECT_EQ(static_cast<unsigned>(code), error.uiResult);
  EXPECT_EQ(detail, error.uiDetail);
  EXPECT_NE(std::string::npos, std::string(error.szText).find(textPart)) << error.szText;
  EXPECT_EQ(left, destFiles());
}

std::unique_ptr<TestFeed> ClientFixture::trustedFeed(const std::string& folder,
                                                     const std::string& url) {
  auto feed = std::make_unique<TestFeed>(folder, url);
  EXPECT_EQ(QXU_OK, QxuAddTrusted(feed->publicKeyHex().c_str()));
  return feed;
}

std::unique_ptr<TestFeed> ClientFixture::fileFeed() {
  const std::string folder = m_feeds / ("feed" + std::to_string(m_feedCount++));
  return trustedFeed(folder, "file://" + folder);
}

std::unique_ptr<TestFeed> ClientFixture::nginxFeed(bool https) {
  const std::string name =
      "/feed-" + std::to_string(::getpid()) + "-" + std::to_string(m_nginxFolders.size());
  m_nginxFolders.push_back(serverVariable("ORVEL_NGINX_ROOT") + name);
  return trustedFeed(
      m_nginxFolders.back(),
      (https ? "https://127.0.0.1:" : "http://127.0.0.1:") +
          serverVariable(https ? "ORVEL_NGINX_HTTPS_PORT" : "ORVEL_NGINX_HTTP_PORT") + name);
}

std::string ClientFixture::publishPattern(TestFeed& feed, std::size_t size) {
  const std::string content = randomBytes(size, 7);
  feed.add(3, kVirusPattern, "576300", {{kPatternName, content}});
  feed.sign();
  return content;
}

}  // namespace ClientTest
