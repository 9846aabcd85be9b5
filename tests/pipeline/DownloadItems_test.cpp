// What the update client is asked for: the per-operation settings, the current versions it
// measures against, and the item array for every component and platform.
#include <cstring>
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

// The download folder of each type, the client's time-out (the default below its minimum) and the
// language code, as the settings give them.
TEST_P(DownloadItems, OperationSettings) {
  const std::string temp = home->path() + "\\temp\\kf", longTimeout(5000, '9');
  // clang-format off
  const struct { std::string settings, timeout; unsigned language; } cases[] = {
      {"", "90", 1}, {"Pattern_Timeout=10|Language=LANGUAGE_JPN", "90", 4},
      {"Pattern_Timeout=11|Language=language_jpn", "11", 1}, {"Pattern_Timeout=12abc|Language=LANGUAGE_ITA", "12abc", 512},
      {"Pattern_Timeout=|Language=", "90", 1}, {"Pattern_Timeout= +45", " +45", 1}, {"Pattern_Timeout=-45", "90", 1},
      {"Pattern_Timeout=" + longTimeout, longTimeout.substr(0, 4095), 1}};
  const char* folders[] = {"/ziran", "/ziran", "/ziran", "/ziran", "/ziran", "/qxase/engine", "/qxase/rules",
                           "/qxase/rules", "/ziran", "/ziran", "/ziran", "/ziran"};
  // clang-format on
  QxUpdate& u = update();
  const QxUpdatePara& p = A::para(u);
  A::select(u, {VIRUS_PATTERN}, true);
  for (int type = 0; type <= 11; ++type) {
    const auto& c = cases[type % std::size(cases)];
    settings(c.settings + "|VersionVirusPattern=5.763.00");
    std::string msg;
    ASSERT_EQ(0, A::downloadInfo(u, type, msg));
    EXPECT_EQ(temp + folders[type] + " " + c.timeout + " " + std::to_string(c.language) + " ",
              std::string(p.szDestDir) + " " + p.szTimeout + " " + std::to_string(p.uiLanguage) +
                  " " + msg);
  }
  // A version query reads no current versions: it sends what the block holds.
  EXPECT_EQ(0u, p.stVersion[VIRUS_PATTERN].uiInternalVersion);
}

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
      {5, nullptr, "0 0 5.600.1011"}, {8, nullptr, "0 0 3.000.1027"},
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

// Class, identifier per platform, option, language, platform code, current version and prefilled
// result of every component's item; the client's own data untouched.
TEST_P(DownloadItems, ItemArrayForEveryComponentAndPlatform) {
  loadClient();
  // clang-format off
  const struct Kind { unsigned cls, sol, linux, win32, other; bool prefilled; } kinds[] = {
      {2, 0x10000, 0x20000, 4, 0, false},      {3, 4, 4, 4, 4, false},
      {3, 0x20000400, 0x20000400, 0x20000400, 0x20000400, false},
      {3, 0x20000040, 0x20000040, 0x20000040, 0x20000040, false},
      {3, 0x20000020, 0x20000020, 0x20000020, 0x20000020, false},
      {2, 0x8000000, 0x10000001, 0x22800000, 0, true}, {3, 0x10001, 0x10001, 0x10001, 0x10001, false},
      {3, 0x4000001, 0x4000001, 0x4000001, 0x4000001, false},
      {2, 0x18000000, 0x20000000, 0x14000000, 0, true},
      {2, 0x48000125, 0x48000125, 0x48000125, 0x48000125, false},
      {3, 0x48020000, 0x48020000, 0x48020000, 0x48020000, false}};
  const struct { std::string settings; unsigned code; unsigned Kind::*id; } platforms[] = {
      {"", 0x101, &Kind::linux}, {"Platform=Sol", 0x202, &Kind::sol}, {"Platform=Linux", 0x101, &Kind::linux},
      {"Platform=Win32", 1, &Kind::win32}, {"Platform=win32", 0x101, &Kind::other}};
  // clang-format on
  QxUpdate& u = update();
  A::para(u).uiLanguage = 4;
  for (int type = 0; type < kfComponentCount; ++type)
    A::para(u).stVersion[type] = {0, 1000u + type, std::to_string(type) + ".2-3"};
  for (const auto& platform : platforms) {
    settings(platform.settings);
    for (int type = 0; type < kfComponentCount; ++type) {
      SCOPED_TRACE(std::to_string(type) + " " + platform.settings);
      std::vector<tag_ItemInfo> items(1);
      std::memset(items.data(), 0xAB, sizeof(tag_ItemInfo));
      const tag_ItemInfo before = items[0];
      A::select(u, {type}, true);
      ASSERT_EQ(SUCCESS, A::items(u, items, true));
      const tag_ItemInfo& item = items[0];
      const Kind& kind = kinds[type];
      const QxuVersionBuild engine{static_cast<unsigned>(type), 2, 3},
          pattern{1000u + type, before.stCurrent.uiMinor, before.stCurrent.uiBuild}, zero{0, 0, 0};
      EXPECT_EQ((std::vector<unsigned>{kind.cls, kind.*platform.id, 2, 4, platform.code, 0, 0, 0}),
                (std::vector<unsigned>{item.uiClass, item.uiItemId, item.uiOption, item.uiLanguage,
                                       item.uiPlatform, item.uiReserved1, item.uiReserved2,
                                       item.uiReserved3}));
      EXPECT_EQ(0, std::memcmp(kind.cls == 2 ? &engine : &pattern, &item.stCurrent, sizeof zero));
      EXPECT_EQ(
          0, std::memcmp(kind.prefilled ? &zero : &before.stResult, &item.stResult, sizeof zero));
      EXPECT_EQ(0, std::memcmp(before.abClientData, item.abClientData, sizeof item.abClientData));
    }
  }
}

// The order of the items, and the option that tells the client how it may update them
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
