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

int ClientFixture::s_feedCounter = 0;

std::string serverVariable(const char* name) {
  const char* value = std::getenv(name);
  return value ? value : "";
}

std::string missingVariables(std::initializer_list<const char*> names) {
  std::string missing;
  for (const char* name : names)
    if (serverVariable(name).empty()) missing += std::string(missing.empty() ? "" : " ") + name;
  return missing;
}

bool runningInCi() { return !serverVariable("CI").empty(); }

ClientContext::ClientContext() : m_context(QxuCreateContext(0)) {}
ClientContext::~ClientContext() { QxuReleaseContext(m_context); }

bool ClientContext::set(const char* name, const std::string& value) {
  return QxuSetPropertyEx(name, value.c_str(), m_context) != 0;
}

std::string ClientContext::get(const char* name) const {
  char buffer[4096] = "";
  return QxuGetPropertyEx(name, buffer, sizeof buffer, m_context) ? buffer : "<refused>";
}

QxuErrorInfo ClientContext::lastError() const {
  QxuErrorInfo info{};
  QxuGetLastError(&info, m_context);
  return info;
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

QxuVersionBuild number(unsigned n) { return {n, 0, 0}; }
QxuVersionBuild version(unsigned major, unsigned minor, unsigned build) {
  return {major, minor, build};
}

TestFeed::TestFeed(std::string folder, std::string url)
    : m_folder(std::move(folder)), m_url(std::move(url)) {
  fs::create_directories(m_folder);
  if (!KiteFeed::generateKeyPair(&m_privatePem, &m_publicHex))
    throw std::runtime_error("cannot make a key pair");
}

KiteFeed::AddResult TestFeed::add(std::uint32_t itemClass, std::uint32_t id,
                                  const std::string& version,
                                  const std::vector<std::pair<std::string, std::string>>& files,
                                  std::uint32_t platform, std::uint32_t languages) {
  KiteFeed::AddRequest request;
  request.itemClass = itemClass;
  request.id = id;
  request.platform = platform;
  request.languages = languages;
  request.version = version;
  request.level = 3;
  request.keep = keep;
  const std::string folder = m_scratch / std::to_string(++m_counter);
  fs::create_directories(folder);
  for (const auto& [name, content] : files) {
    OrvelTest::writeFile(folder + "/" + name, content);
    request.files.push_back(folder + "/" + name);
  }
  return KiteFeed::Publisher(m_folder).add(request);
}

std::uint64_t TestFeed::sign(std::int64_t validSeconds) {
  return KiteFeed::Publisher(m_folder).sign(m_privatePem, feedName(), validSeconds,
                                            std::time(nullptr));
}

std::string TestFeed::index() const {
  return OrvelTest::readFile(m_folder + "/" + KiteFeed::kIndexFileName);
}

void TestFeed::replaceIndex(const std::string& bytes) const {
  OrvelTest::writeFile(m_folder + "/" + KiteFeed::kIndexFileName, bytes);
}

std::string TestFeed::stored(const std::string& content) const {
  return m_folder + "/files/" + KiteFeed::sha256Hex(content);
}

void ClientFixture::SetUp() {
  m_clock = std::make_unique<OrvelTest::FakeClock>(std::time(nullptr));
  ASSERT_NE(0, QxuSetProperty("KiteFeedPath_FromLoader", m_work.path().c_str()));
  ASSERT_NE(0, QxuSetProperty("MsgCodePage", "1252"));
  m_context = std::make_unique<ClientContext>();
  m_destPath = m_dest.path();
  m_destInfo = DestInfo{m_destPath.c_str(), "", "", 0, 0};
}

void ClientFixture::TearDown() {
  m_context.reset();
  for (const std::string& folder : m_nginxFolders) fs::remove_all(folder);
  m_clock.reset();
}

void ClientFixture::expectFailure(int code, unsigned detail, const std::string& textPart) const {
  const QxuErrorInfo error = m_context->lastError();
  EXPECT_EQ(static_cast<unsigned>(code), error.uiResult);
  EXPECT_EQ(detail, error.uiDetail);
  EXPECT_NE(std::string::npos, std::string(error.szText).find(textPart)) << error.szText;
}

void ClientFixture::trust(const TestFeed& feed) {
  ASSERT_EQ(QXU_OK, QxuAddTrusted(feed.publicKeyHex().c_str()));
}

std::unique_ptr<TestFeed> ClientFixture::fileFeed() {
  const std::string folder = m_feeds / ("feed" + std::to_string(++s_feedCounter));
  auto feed = std::make_unique<TestFeed>(folder, "file://" + folder);
  trust(*feed);
  return feed;
}

std::unique_ptr<TestFeed> ClientFixture::nginxFeed(bool https) {
  const std::string root = serverVariable("ORVEL_NGINX_ROOT");
  if (root.empty()) return nullptr;
  const std::string name =
      "feed-" + std::to_string(::getpid()) + "-" + std::to_string(++s_feedCounter);
  const std::string port =
      serverVariable(https ? "ORVEL_NGINX_HTTPS_PORT" : "ORVEL_NGINX_HTTP_PORT");
  m_nginxFolders.push_back(root + "/" + name);
  auto feed =
      std::make_unique<TestFeed>(root + "/" + name, std::string(https ? "https" : "http") +
                                                        "://127.0.0.1:" + port + "/" + name);
  trust(*feed);
  return feed;
}

tag_ItemInfo ClientFixture::item(std::uint32_t itemClass, std::uint32_t id, QxuVersionBuild current,
                                 std::uint32_t option) {
  tag_ItemInfo item{};
  item.uiClass = itemClass;
  item.uiItemId = id;
  item.uiOption = option;
  item.pDest = option == QXU_ITEM_QUERY ? nullptr : &m_destInfo;
  item.stCurrent = current;
  item.uiLanguage = 1;
  item.uiPlatform = 0x101;
  return item;
}

SourceInfo ClientFixture::source(const std::string& url) {
  m_texts.push_back(url);
  SourceInfo src{};
  src.source = m_texts.back().c_str();
  src.user = src.password = src.proxy_user = src.proxy_password = src.proxy = "";
  src.uiRecordVersion = 1;
  return src;
}

int ClientFixture::update(std::vector<tag_ItemInfo>& items, const std::string& url,
                          unsigned option) {
  return update(items, source(url), option);
}

int ClientFixture::update(std::vector<tag_ItemInfo>& items, const SourceInfo& src,
                          unsigned option) {
  return QxuUpdateEx(items.data(), static_cast<unsigned>(items.size()), &src, option, nullptr,
                     nullptr, m_context->get());
}

std::string ClientFixture::publishPattern(TestFeed& feed, std::size_t size) {
  const std::string content = randomBytes(size, 7);
  feed.add(3, kVirusPattern, "576300", {{kPatternName, content}});
  feed.sign();
  return content;
}

int ClientFixture::updatePattern(const std::string& url, unsigned current, unsigned option) {
  m_items = {item(3, kVirusPattern, number(current), option)};
  return update(m_items, url);
}

int ClientFixture::updatePattern(const SourceInfo& src, unsigned updateOption) {
  m_items = {item(3, kVirusPattern, number(100000))};
  return update(m_items, src, updateOption);
}

}  // namespace ClientTest
