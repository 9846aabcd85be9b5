// Shared set-up of the update client tests: a working folder with a trusted key, feeds published
// with the real publisher (into nginx's folder or a scratch folder for file://), item records,
// contexts, and the addresses of the servers that scripts/servers/ started.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <deque>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "FakeClock.h"
#include "OrvelKF/QxUpdateClient.h"
#include "Publisher.h"
#include "TempDir.h"

namespace ClientTest {

// Items and the pattern file the client tests publish and fetch.
constexpr std::uint32_t kVirusPattern = 4;
constexpr std::uint32_t kSpamPattern = 0x10001;
const std::string kPatternName = "ksv$pat.763";
using Strings = std::vector<std::string>;
using Files = std::vector<std::pair<std::string, std::string>>;  // name and content

// A server variable; empty when the test command did not start the server.
std::string serverVariable(const char* name);

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
  std::string get(const char* name) const;  // "<refused>" when refused

 private:
  QxuContext m_context;
};

std::string errorString(int code);
Strings listFolder(const std::string& folder);  // sorted
std::string randomBytes(std::size_t size, unsigned seed);
std::string keyId(const std::string& publicHex);
inline QxuVersionBuild number(unsigned n) { return {n, 0, 0}; }
std::string text(const QxuVersionBuild& version);  // "8.700.1004"

// A feed folder with its own key pair, published in-process.
class TestFeed {
 public:
  // folder: where the feed lives; url: how the client reaches it.
  TestFeed(std::string folder, std::string url);

  const std::string& folder() const { return m_folder; }
  const std::string& url() const { return m_url; }
  const std::string& publicKeyHex() const { return m_publicHex; }

  // Writes the files into a scratch folder and adds them as a version of the item.
  KiteFeed::AddResult add(std::uint32_t itemClass, std::uint32_t id, const std::string& version,
                          const Files& files, std::uint32_t platform = 0x101,
                          std::uint32_t languages = 0xFFFFFFFF);
  std::uint64_t sign(std::int64_t validSeconds = 3600);
  std::string index() const {
    return OrvelTest::readFile(m_folder + "/" + KiteFeed::kIndexFileName);
  }
  void replaceIndex(const std::string& bytes) const {
    OrvelTest::writeFile(m_folder + "/" + KiteFeed::kIndexFileName, bytes);
  }
  // Where the publisher keeps a file with that content.
  std::string stored(const std::string& content) const;

 private:
  std::string m_folder, m_url, m_privatePem, m_publicHex;
  OrvelTest::TempDir m_scratch;
  int m_counter = 0;
};

// The client's working folder, a destination folder, a fake clock at the real time (sleeps take
// no time) and a file:// feed whose key is trusted.
class ClientFixture : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override {
    for (const std::string& folder : m_nginxFolders) std::filesystem::remove_all(folder);
  }

  std::unique_ptr<TestFeed> fileFeed();
  // A feed in nginx's folder.
  std::unique_ptr<TestFeed> nginxFeed(bool https = false);

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
  // Adds version 576300 of the virus pattern (one file) and signs; its content.
  std::string publishPattern(TestFeed& feed, std::size_t size = 4096);
  // Updates the virus pattern from `current` into m_items.
  int updatePattern(const std::string& url, unsigned current = 100000) {
    m_items = {item(3, kVirusPattern, number(current))};
    return update(m_items, url);
  }
  int updatePattern(const SourceInfo& src, unsigned updateOption = QXU_OPTION_DEFAULT) {
    m_items = {item(3, kVirusPattern, number(100000))};
    return update(m_items, src, updateOption);
  }
  // The same from the fixture's feed.
  int updatePattern(unsigned current = 100000) { return updatePattern(m_feed->url(), current); }
  std::uint64_t bytesFetched() const { return std::stoull(m_context->get("LastBytesFetched")); }

  // The versions the last update left in m_items: "576300.0.0 8.700.1004".
  std::string results() const;
  // A call's result, the context's last error (its code, detail and a part of its text) and the
  // files the destination holds afterwards.
  void expectFailure(int result, int code, unsigned detail, const std::string& textPart,
                     const Strings& left = {}) const;

  std::string dest(const std::string& name) const { return m_dest / name; }
  Strings destFiles() const { return listFolder(m_dest.path()); }

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
  std::unique_ptr<TestFeed> trustedFeed(const std::string& folder, const std::string& url);
  int m_feedCount = 0;
};

}  // namespace ClientTest
