// What the update client is asked for: the current versions it measures against, and the item
// array of families and the spam pair.
#include <filesystem>

#include "PipelineTest.h"

namespace fs = std::filesystem;
using namespace OrvelPipelineTest;

class DownloadItems : public PipelineTest {
 protected:
  // What a download of one component sends as its current version, "number internal text" (for
  // the spam pair the rule versions of 6 and 7), and " (reason)" when a failed check left one.
  std::string current(int type, const char* adopted) {
    const bool pair = type == QXASE_PATTERN || type == QXASE_PATCH;
    settings(adopted ? kfGlobalVersionKey[pair ? 6 : type] + std::string("=") + adopted : "");
    QxUpdate& u = update();
    for (QxUpdateVersion& record : A::para(u).stVersion) record = {0, 0, "stale"};
    A::select(u, {type}, false);
    std::string msg;
    if (A::downloadInfo(u, type, msg) != 0) return "failed";
    const QxUpdateVersion& r = A::para(u).stVersion[pair ? 7 : type];
    const unsigned number = pair ? A::para(u).stVersion[6].uiInternalVersion : r.usPatternNumber;
    return std::to_string(number) + " " + std::to_string(r.uiInternalVersion) +
           (pair ? "" : " " + r.strVersion) + (msg.empty() ? "" : " (reason)");
  }
};

// A download sends the versions the installation adopted; in console mode those the installed
// engines report, whatever was adopted; without either, the fallbacks.
TEST_P(DownloadItems, CurrentVersionsAdoptedOrInstalledOrFallbacks) {
  struct Current {
    int type;
    const char* adopted;
    std::string sent;
  };
  // clang-format off
  const Current adopted[] = {
      {0, "9.500.1001", "0 0 9.500.1001"}, {0, nullptr, "0 0 8.700.1004"}, {9, "", "0 0 9.562.1053"},
      {1, "5.763.00", "763 576300 5.763.00"}, {2, nullptr, "100 100000 stale"}, {4, "4.1", "100 10000 4.1"},
      // The installation records the spam pattern as "base.patch"; the client gets the rule version.
      {6, "17461.005", "17461 17461005"}, {7, "17461", "17461 17461000"},
      {6, "17461.17461005", "17461 17461005"}, {7, nullptr, "15000 15000001"}};
  const Current installed[] = {
      {0, "1.0.0", "0 0 9.500.1001"}, {10, "1.2.3", "303 430300 4.303.00"}, {7, "1.2", "17461 17461005"}};
  const Current missing[] = {
      {0, nullptr, "0 0 8.700.1004 (reason)"}, {1, nullptr, "100 100000  (reason)"}, {6, nullptr, "15000 15000001 (reason)"}};
  // clang-format on
  for (const Current& c : adopted) EXPECT_EQ(c.sent, current(c.type, c.adopted)) << c.type;
  installComponents();
  m_update.reset();
  A::source(update(CONSOLE_UPDATE)).inUse = true;
  for (const Current& c : installed) EXPECT_EQ(c.sent, current(c.type, c.adopted)) << c.type;
  fs::remove_all(*home / "bin");
  for (const Current& c : missing) EXPECT_EQ(c.sent, current(c.type, nullptr)) << c.type;
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
