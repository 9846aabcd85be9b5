// Shared set-up of the update client tests: a working folder with a trusted key, feeds published
// with the real publisher (into nginx's folder or a scratch folder for file://), item records,
// contexts, and the addresses of the servers that scripts/servers/ started.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <ctime>
#include <deque>
#include <filesystem>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "FakeClock.h"
#include "OrvelKF/QxUpdateClient.h"
#include "Publisher.h"
#include "TempDir.h"
#include "feed/FeedCrypto.h"
#include "feed/FeedFormat.h"
#include "feed/FeedSigner.h"

namespace ClientTest {

// Items and the pattern file the client tests publish and fetch.
constexpr std::uint32_t kVirusPattern = 4;
constexpr std::uint32_t kSpamPattern = 0x10001;
const std::string kPatternName = "ksv$pat.763";
using Strings = std::vector<std::string>;
using Files = std::vector<std::pair<std::string, std::string>>;  // name and content

// A server variable; empty when the test command did not start the server.
inline std::string serverVariable(const char* name) {
  const char* value = std::getenv(name);
  return value ? value : "";
}

// A context made by QxuCreateContext and released on every path.
class ClientContext {
 public:
  ClientContext() : m_context(QxuCreateContext(0)) {}
  ~ClientContext() { QxuReleaseContext(m_context); }
  ClientContext(const ClientContext&) = delete;
  ClientContext& operator=(const ClientContext&) = delete;
  QxuContext get() const { return m_context; }
  bool set(const char* name, const std::string& value) {
    return QxuSetPropertyEx(name, value.c_str(), m_context) != 0;
  }
  std::string get(const char* name) const {  // "<refused>" when refused
    char buffer[4096] = "";
    return QxuGetPropertyEx(name, buffer, sizeof buffer, m_context) ? buffer : "<refused>";
  }

 private:
  QxuContext m_context;
};

inline std::string errorString(int code) {
  char buffer[1024];
  QxuGetErrorString(code, buffer, sizeof buffer);
  return buffer;
}

inline Strings listFolder(const std::string& folder) {  // sorted
  Strings names;
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator(folder, error))
    names.push_back(entry.path().filename());
  std::sort(names.begin(), names.end());
  return names;
}

inline std::string randomBytes(std::size_t size, unsigned seed) {
  std::mt19937 engine(seed);
  std::string bytes(size, '\0');
  for (char& c : bytes) c = static_cast<char>(engine() & 0xFF);
  return bytes;
}

inline std::string keyId(const std::string& publicHex) {
  std::string raw;
  KiteFeed::fromHex(publicHex, &raw);
  return KiteFeed::keyIdOf(raw);
}

inline QxuVersionBuild number(unsigned n) { return {n, 0, 0}; }

// A feed folder with its own key pair, published in-process.
class TestFeed {
 public:
  // folder: where the feed lives; url: how the client reaches it.
  TestFeed(std::string folder, std::string url)
      : m_folder(std::move(folder)), m_url(std::move(url)) {
    std::filesystem::create_directories(m_folder);
    if (!KiteFeed::generateKeyPair(&m_privatePem, &m_publicHex))
      throw std::runtime_error("cannot make a key pair");
  }

  const std::string& folder() const { return m_folder; }
  const std::string& url() const { return m_url; }
  const std::string& publicKeyHex() const { return m_publicHex; }

  // Writes the files into a scratch folder and adds them as a version of the item.
  KiteFeed::AddResult add(std::uint32_t itemClass, std::uint32_t id, const std::string& version,
                          const Files& files, std::uint32_t platform = 0x101,
                          std::uint32_t languages = 0xFFFFFFFF) {
    KiteFeed::AddRequest request{itemClass, id, platform, languages, version, {}, 3, 3};
    const std::string folder = m_scratch / std::to_string(++m_counter);
    std::filesystem::create_directories(folder);
    for (const auto& [name, content] : files) {
      OrvelTest::writeFile(folder + "/" + name, content);
      request.files.push_back(folder + "/" + name);
    }
    return KiteFeed::Publisher(m_folder).add(request);
  }
  std::uint64_t sign(std::int64_t validSeconds = 3600) {
    return KiteFeed::Publisher(m_folder).sign(m_privatePem, "orvel-test", validSeconds,
                                              std::time(nullptr));
  }
  std::string index() const {
    return OrvelTest::readFile(m_folder + "/" + KiteFeed::kIndexFileName);
  }
  void replaceIndex(const std::string& bytes) const {
    OrvelTest::writeFile(m_folder + "/" + KiteFeed::kIndexFileName, bytes);
  }
  // Where the publisher keeps a file with that content.
  std::string stored(const std::string& content) const {
    return m_folder + "/files/" + KiteFeed::sha256Hex(content);
  }

 private:
  std::string m_folder, m_url, m_privatePem, m_publicHex;
  OrvelTest::TempDir m_scratch;
  int m_counter = 0;
};

// The client's working folder, a destination folder, a fake clock at the real time (sleeps take
// no time) and a file:// feed whose key is trusted.
class ClientFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    m_clock = std::make_unique<OrvelTest::FakeClock>(std::time(nullptr));
    ASSERT_NE(0, QxuSetProperty("KiteFeedPath_FromLoader", m_work.path().c_str()));
    ASSERT_NE(0, QxuSetProperty("MsgCodePage", "1252"));
    m_context = std::make_unique<ClientContext>();
    m_destInfo = DestInfo{m_dest.path().c_str(), "", "", 0, 0};
    m_feed = fileFeed();
  }
  void TearDown() override {
    for (const std::string& folder : m_nginxFolders) std::filesystem::remove_all(folder);
  }

  std::unique_ptr<TestFeed> fileFeed() {
    const std::string folder = m_feeds / ("feed" + std::to_string(m_feedCount++));
    return trustedFeed(folder, "file://" + folder);
  }
  // A feed in nginx's folder.
  std::unique_ptr<TestFeed> nginxFeed(bool https = false) {
    const std::string name =
        "/feed-" + std::to_string(::getpid()) + "-" + std::to_string(m_nginxFolders.size());
    m_nginxFolders.push_back(serverVariable("ORVEL_NGINX_ROOT") + name);
    return trustedFeed(
        m_nginxFolders.back(),
        (https ? "https://127.0.0.1:" : "http://127.0.0.1:") +
            serverVariable(https ? "ORVEL_NGINX_HTTPS_PORT" : "ORVEL_NGINX_HTTP_PORT") + name);
  }

  // An item in English for Linux.
  tag_ItemInfo item(std::uint32_t itemClass, std::uint32_t id, QxuVersionBuild current,
                    std::uint32_t option = QXU_ITEM_INCREMENTAL) {
    return {itemClass, id, option, option == QXU_ITEM_QUERY ? nullptr : &m_destInfo,
            current,   {}, 1,      0x101,
            0,         0,  {},     0};
  }
  SourceInfo source(const std::string& url) {
    return {m_texts.emplace_back(url).c_str(), 0, "", "", "", "", "", 0, 0, 1, 0};
  }
  int update(std::vector<tag_ItemInfo>& items, const SourceInfo& src,
             unsigned option = QXU_OPTION_DEFAULT) {
    return QxuUpdateEx(items.data(), static_cast<unsigned>(items.size()), &src, option, nullptr,
                       nullptr, m_context->get());
  }
  int update(std::vector<tag_ItemInfo>& items, const std::string& url) {
    return update(items, source(url));
  }
  // Updates the virus pattern from `current` into m_items.
  int updatePattern(const SourceInfo& src, unsigned option = QXU_OPTION_DEFAULT,
                    unsigned current = 100000) {
    m_items = {item(3, kVirusPattern, number(current))};
    return update(m_items, src, option);
  }
  int updatePattern(const std::string& url, unsigned current = 100000) {
    return updatePattern(source(url), QXU_OPTION_DEFAULT, current);
  }
  // Adds version 576300 of the virus pattern (one file) and signs; its content.
  std::string publishPattern(TestFeed& feed, std::size_t size = 4096) {
    const std::string content = randomBytes(size, 7);
    feed.add(3, kVirusPattern, "576300", {{kPatternName, content}});
    feed.sign();
    return content;
  }
  // The same from the fixture's feed.
  int updatePattern(unsigned current = 100000) { return updatePattern(m_feed->url(), current); }
  std::uint64_t bytesFetched() const { return std::stoull(m_context->get("LastBytesFetched")); }

  // The version the last update left in the first item: "576300.0.0".
  std::string result() const {
    const QxuVersionBuild& v = m_items.at(0).stResult;
    return std::to_string(v.uiMajor) + "." + std::to_string(v.uiMinor) + "." +
           std::to_string(v.uiBuild);
  }
  // A call's result, the context's last error (its code, detail and a part of its text) and the
  // files the destination holds afterwards.
  void expectFailure(int result, int code, unsigned detail, const std::string& textPart,
                     const Strings& left = {}) const {
    EXPECT_EQ(code, result);
    QxuErrorInfo error{};
    QxuGetLastError(&error, m_context->get());
    EXPECT_EQ(static_cast<unsigned>(code), error.uiResult);
    EXPECT_EQ(detail, error.uiDetail);
    EXPECT_NE(std::string::npos, std::string(error.szText).find(textPart)) << error.szText;
    EXPECT_EQ(left, listFolder(m_dest.path()));
  }

  std::string dest(const std::string& name) const { return m_dest / name; }

  OrvelTest::TempDir m_work, m_dest, m_feeds;
  std::unique_ptr<OrvelTest::FakeClock> m_clock;
  std::unique_ptr<ClientContext> m_context;
  std::unique_ptr<TestFeed> m_feed;
  DestInfo m_destInfo{};
  std::vector<tag_ItemInfo> m_items;
  Strings m_nginxFolders;
  std::deque<std::string> m_texts;  // backing store of SourceInfo texts

 private:
  // A feed whose key the client trusts.
  std::unique_ptr<TestFeed> trustedFeed(const std::string& folder, const std::string& url) {
    auto feed = std::make_unique<TestFeed>(folder, url);
    EXPECT_EQ(QXU_OK, QxuAddTrusted(feed->publicKeyHex().c_str()));
    return feed;
  }
  int m_feedCount = 0;
};

}  // namespace ClientTest
