// What the update client is asked for: the per-operation settings, the current versions it
// measures against, and the item array for every component and platform.
#include <cstring>
#include <filesystem>

#include "PipelineTest.h"

namespace fs = std::filesystem;
using namespace OrvelPipelineTest;

class DownloadItems : public PipelineTest {
 protected:
  // A download of one component: the current versions it sends, and whether a failed engine
  // check left a reason. For the spam pair number and internal are the numbers of 6 and 7.
  struct Current {
    int type;
    const char* adopted;
    std::string text;
    unsigned number, internal;
    bool fallback;
  };
  void expectCurrent(const Current& c) {
    SCOPED_TRACE(std::to_string(c.type) + " " + (c.adopted ? c.adopted : "(none)"));
    const bool pair = c.type == QXASE_PATTERN || c.type == QXASE_PATCH;
    settings(c.adopted ? kfGlobalVersionKey[pair ? 6 : c.type] + std::string("=") + c.adopted : "");
    QxUpdate& u = update();
    for (QxUpdateVersion& record : A::para(u).stVersion) record = {0, 0, "stale"};
    A::select(u, {c.type}, false);
    std::string msg;
    ASSERT_EQ(0, A::downloadInfo(u, c.type, msg));
    const QxUpdateVersion* records = A::para(u).stVersion;
    const QxUpdateVersion& first = records[c.type];
    EXPECT_EQ(c.number, pair ? records[6].uiInternalVersion : first.usPatternNumber);
    EXPECT_EQ(c.internal, pair ? records[7].uiInternalVersion : first.uiInternalVersion);
    EXPECT_EQ(pair ? "" : c.text, pair ? "" : first.strVersion);
    EXPECT_EQ(A::source(u).inUse && c.fallback, !msg.empty()) << msg;
  }
};

// A download sends the versions the installation adopted; in console mode those the installed
// engines report, whatever was adopted; without either, the fallbacks.
TEST_P(DownloadItems, CurrentVersionsAdoptedOrInstalledOrFallbacks) {
  // clang-format off
  const Current adopted[] = {
      {0, "9.500.1001", "9.500.1001", 0, 0, false}, {0, nullptr, "8.700.1004", 0, 0, true},
      {9, "", "9.562.1053", 0, 0, true}, {1, "5.763.00", "5.763.00", 763, 576300, false},
      {2, nullptr, "stale", 100, 100000, true}, {4, "4.1", "4.1", 100, 10000, false},
      {5, "7.200.1050", "7.200.1050", 0, 0, false}, {5, nullptr, "5.600.1011", 0, 0, true},
      // The installation records the spam pattern as "base.patch"; the client gets the rule version.
      {6, "17461.005", "", 17461, 17461005, false}, {7, "17461", "", 17461, 17461000, false},
      {6, "17461.17461005", "", 17461, 17461005, false}, {7, nullptr, "", 15000, 15000001, true}};
  const Current installed[] = {
      {0, "1.0.0", "9.500.1001", 0, 0, false}, {10, "1.2.3", "4.303.00", 303, 430300, false},
      {7, "1.2", "", 17461, 17461005, false}};
  const Current missing[] = {
      {0, nullptr, "8.700.1004", 0, 0, true}, {1, nullptr, "", 100, 100000, true},
      {6, nullptr, "", 15000, 15000001, true}};
  // clang-format on
  for (const Current& c : adopted) expectCurrent(c);
  installComponents();
  m_update.reset();
  A::source(update(CONSOLE_UPDATE)).inUse = true;
  for (const Current& c : installed) expectCurrent(c);
  fs::remove_all(*home / "bin");
  for (const Current& c : missing) expectCurrent(c);
}

// Every item's class, identifier and current version is what the end-to-end runs download by;
// here the order of the items, and the option that tells the client how it may update them
// ("DisableIncMerge" only counts for a scheduled object).
TEST_P(DownloadItems, ItemArrayForFamiliesAndTheSpamPair) {
  loadClient();
  settings("DisableIncMerge=yes");
  // clang-format off
  const struct { std::vector<int> types; int room; bool query; QxUpdateKind kind; std::vector<unsigned> ids; unsigned option; } selections[] = {
      {{10, 0, 8, 4, 1, 9, 2, 3}, 8, true, MANUAL_UPDATE, {0x20000, 4, 0x20000400, 0x20000040, 0x20000020, 0x20000000, 0x48000125, 0x48020000}, 2},
      {{6, 7}, 2, false, MANUAL_UPDATE, {0x10001, 0x4000001}, 0},
      {{6, 7}, 3, false, SCHEDULED_UPDATE, {0x10001, 0x4000001, 0}, 1},
      {{5, 6}, 1, false, SCHEDULED_UPDATE, {0x10000001}, 1}};
  // clang-format on
  for (const auto& s : selections) {
    m_update.reset();
    std::vector<tag_ItemInfo> items(s.room);
    A::select(update(s.kind), s.types, s.query);
    ASSERT_EQ(SUCCESS, A::items(*m_update, items, s.query));
    std::vector<unsigned> ids;
    for (const tag_ItemInfo& item : items) {
      ids.push_back(item.uiItemId);
      EXPECT_EQ(s.option, item.uiOption);
    }
    EXPECT_EQ(s.ids, ids);
  }
}

INSTANTIATE_TEST_SUITE_P(Sqlite, DownloadItems, ::testing::Values(OrvelTest::Backend::kSqlite),
                         OrvelTest::backendName);
