// What the update client is asked for: the per-operation settings, the current versions it
// measures against, and the item array for every component and platform.
#include <cstring>
#include <filesystem>

#include "PipelineTest.h"

using namespace OrvelPipelineTest;
using OrvelEngines::PatternKind;

class DownloadItems : public PipelineTest {};

TEST_P(DownloadItems, OperationSettings) {
  QxUpdate& u = update();
  A::select(u, {}, true);
  const QxUpdatePara& p = A::para(u);
  const std::string temp = home->path() + "\\temp\\kf";
  const std::string longTimeout(5000, '9');
  struct Case {
    const char* timeout;
    std::string sent;
    const char* language;
    unsigned bit;
  } cases[] = {
      {nullptr, "90", nullptr, 1},
      {"10", "90", "LANGUAGE_JPN", 4},
      {"11", "11", "language_jpn", 1},
      {"12abc", "12abc", "LANGUAGE_ITA", 512},
      {"", "90", "", 1},
      {" +45", " +45", nullptr, 1},
      {"-45", "90", nullptr, 1},
      {"99999999999999999999", "99999999999999999999", nullptr, 1},
      {longTimeout.c_str(), longTimeout.substr(0, 4095), nullptr, 1},
  };
  for (int type = 0; type <= 11; ++type) {
    const Case& c = cases[type % std::size(cases)];
    clearSettings();
    if (c.timeout) setting("Pattern_Timeout", c.timeout);
    if (c.language) setting("Language", c.language);
    std::string msg;
    ASSERT_EQ(0, A::downloadInfo(u, type, msg));
    const char* folder = type == 5                ? "/qxase/engine"
                         : type == 6 || type == 7 ? "/qxase/rules"
                                                  : "/ziran";
    EXPECT_EQ(temp + folder, p.szDestDir) << type;
    EXPECT_EQ(c.sent, p.szTimeout) << type;
    EXPECT_EQ(c.bit, p.uiLanguage) << type;
    EXPECT_EQ("", msg);
  }
  // A version query reads no current versions; it sends what the block holds.
  setting("VersionVirusPattern", "5.763.00");
  A::select(u, {VIRUS_PATTERN}, true);
  std::string msg;
  ASSERT_EQ(0, A::downloadInfo(u, VIRUS_PATTERN, msg));
  EXPECT_EQ(0u, p.stVersion[VIRUS_PATTERN].uiInternalVersion);
  EXPECT_EQ(Lines{}, logLines({"QxUpdate [QxUpdateVersions.cpp]"}));
  // Unusable proxy settings stop the operation before the schedule is looked at.
  setting("UseProxySetting", "yes");
  ASSERT_EQ(-1, A::downloadInfo(u, VIRUS_PATTERN, msg));
  EXPECT_EQ("Unable to read the proxy settings: no proxy server is configured.", msg);
  EXPECT_EQ(Lines{}, logLines({"QxUpdate [QxUpdateSchedule.cpp]"}));
}

namespace {

// The current version a download of one component sends. For the spam pair, number and internal
// are the numbers of 6 and 7.
struct Current {
  int type;
  const char* adopted;
  std::string text;
  unsigned number, internal;
  bool fallback;
};

}  // namespace

class CurrentVersions : public DownloadItems {
 protected:
  void expect(const Current& c) {
    SCOPED_TRACE(std::to_string(c.type) + " " + (c.adopted ? c.adopted : "(none)"));
    const bool pair = c.type == QXASE_PATTERN || c.type == QXASE_PATCH;
    clearSettings();
    if (c.adopted) setting(kfGlobalVersionKey[pair ? 6 : c.type], c.adopted);
    QxUpdate& u = update();
    for (QxUpdateVersion& record : A::para(u).stVersion) record = {0, 0, "stale"};
    A::select(u, {c.type}, false);
    std::string msg;
    ASSERT_EQ(0, A::downloadInfo(u, c.type, msg));
    const QxUpdateVersion* records = A::para(u).stVersion;
    Lines log;
    if (pair) {
      EXPECT_EQ(c.number, records[6].uiInternalVersion);
      EXPECT_EQ(c.internal, records[7].uiInternalVersion);
      for (int type : {6, 7}) {
        log.push_back("<3> QxUpdate::_getDownloadInfo: get local " +
                      std::string(kfDownloadWhat[type]) + " version " +
                      std::to_string(records[type].uiInternalVersion) + ".");
      }
    } else {
      EXPECT_EQ(c.text, records[c.type].strVersion);
      EXPECT_EQ(c.number, records[c.type].usPatternNumber);
      EXPECT_EQ(c.internal, records[c.type].uiInternalVersion);
      log = {"<3> QxUpdate::_getDownloadInfo: get local " + std::string(kfDownloadWhat[c.type]) +
             " version " + c.text + "."};
    }
    EXPECT_EQ(c.fallback ? Lines{} : log, logLines({"QxUpdate::_getDownloadInfo:"}));
    // A failed check of an installed component says why in the operation's message.
    EXPECT_EQ(A::source(u).inUse && c.fallback, !msg.empty()) << msg;
  }
};

TEST_P(CurrentVersions, AdoptedByTheInstallationOrFallbacks) {
  const Current cases[] = {
      {0, "9.500.1001", "9.500.1001", 0, 0, false},
      {0, nullptr, "8.700.1004", 0, 0, true},
      {9, "2.000.1003", "2.000.1003", 0, 0, false},
      {9, "", "9.562.1053", 0, 0, true},
      {1, "5.763.00", "5.763.00", 763, 576300, false},
      {2, nullptr, "stale", 100, 100000, true},
      {3, "1.234.56", "1.234.56", 234, 123456, false},
      {4, "4.1", "4.1", 100, 10000, false},
      {10, "0.123.45", "0.123.45", 123, 12345, false},
      {5, "7.200.1050", "7.200.1050", 0, 0, false},
      {5, nullptr, "5.600.1011", 0, 0, true},
      {8, "3.100.1004", "3.100.1004", 0, 0, false},
      {8, nullptr, "3.000.1027", 0, 0, true},
      // The installation records the spam pattern as "base.patch"; the client gets the rule
      // version.
      {6, "17461.005", "", 17461, 17461005, false},
      {7, "17461", "", 17461, 17461000, false},
      {6, "17461.17461005", "", 17461, 17461005, false},
      {7, nullptr, "", 15000, 15000001, true},
  };
  for (const Current& c : cases) expect(c);
}

TEST_P(CurrentVersions, InstalledInConsoleModeOrFallbacks) {
  const std::string ziran = *home / "lib/pattern/ziran";
  std::filesystem::create_directories(ziran);
  std::filesystem::create_directories(*home / "lib/pattern/qxase/rules");
  OrvelEngineTest::writePatterns(ziran, PatternKind::kVirus, {576300});
  OrvelEngineTest::writePatterns(ziran, PatternKind::kCloudsift, {123456});
  ASSERT_EQ(OrvelEngines::FileCheck::kOk,
            OrvelEngines::writeRuleSet(*home / "lib/pattern/qxase/rules", 17461, 5, 200));
  installEngines("v1");
  update(CONSOLE_UPDATE);
  A::source(*m_update).inUse = true;
  const Current installed[] = {
      {0, "1.0.0", "9.500.1001", 0, 0, false},       {9, nullptr, "2.000.1003", 0, 0, false},
      {1, nullptr, "5.763.00", 5763, 576300, false}, {10, nullptr, "1.234.56", 1234, 123456, false},
      {2, "1.234.56", "", 100, 100000, true},  // no spyware pattern is installed
      {5, nullptr, "7.2.1050", 0, 0, false},         {8, nullptr, "3.100.1004", 0, 0, false},
      {7, "1.2", "", 17461, 17461005, false},
  };
  for (const Current& c : installed) expect(c);
  for (const char* engine : {"ziran32.dll", "dexa32.dll", "qxufeng.dll", "qxaseng.dll"})
    std::filesystem::remove(*home / ("bin/" + std::string(engine)));
  const Current missing[] = {
      {0, nullptr, "8.700.1004", 0, 0, true}, {9, nullptr, "9.562.1053", 0, 0, true},
      {1, nullptr, "", 100, 100000, true},    {5, nullptr, "5.600.1011", 0, 0, true},
      {8, nullptr, "3.000.1027", 0, 0, true}, {6, nullptr, "", 15000, 15000001, true},
  };
  for (const Current& c : missing) expect(c);
}

TEST_P(DownloadItems, ItemArrayForEveryComponentAndPlatform) {
  loadClient();
  struct Kind {
    unsigned cls, sol, linux, win32, other;
    bool prefilled;
  } kinds[] = {
      {2, 0x10000, 0x20000, 4, 0, false},
      {3, 4, 4, 4, 4, false},
      {3, 0x20000400, 0x20000400, 0x20000400, 0x20000400, false},
      {3, 0x20000040, 0x20000040, 0x20000040, 0x20000040, false},
      {3, 0x20000020, 0x20000020, 0x20000020, 0x20000020, false},
      {2, 0x8000000, 0x10000001, 0x22800000, 0, true},
      {3, 0x10001, 0x10001, 0x10001, 0x10001, false},
      {3, 0x4000001, 0x4000001, 0x4000001, 0x4000001, false},
      {2, 0x18000000, 0x20000000, 0x14000000, 0, true},
      {2, 0x48000125, 0x48000125, 0x48000125, 0x48000125, false},
      {3, 0x48020000, 0x48020000, 0x48020000, 0x48020000, false},
  };
  struct Platform {
    const char* setting;
    unsigned code;
    unsigned Kind::*id;
  } platforms[] = {{nullptr, 0x101, &Kind::linux},
                   {"Sol", 0x202, &Kind::sol},
                   {"Linux", 0x101, &Kind::linux},
                   {"Win32", 1, &Kind::win32},
                   {"win32", 0x101, &Kind::other}};
  QxUpdate& u = update();
  QxUpdatePara& p = A::para(u);
  p.uiLanguage = 4;
  for (int type = 0; type < kfComponentCount; ++type)
    p.stVersion[type] = {0, 1000u + type, std::to_string(type) + ".2-3"};
  for (const Platform& platform : platforms) {
    clearSettings();
    if (platform.setting) setting("Platform", platform.setting);
    for (int type = 0; type < kfComponentCount; ++type) {
      SCOPED_TRACE(std::to_string(type) + " on " +
                   (platform.setting ? platform.setting : "(none)"));
      std::vector<tag_ItemInfo> items(1);
      std::memset(items.data(), 0xAB, sizeof(tag_ItemInfo));
      const tag_ItemInfo untouched = items[0];
      A::select(u, {type}, true);
      ASSERT_EQ(SUCCESS, A::items(u, items, true));
      const tag_ItemInfo& item = items[0];
      const Kind& kind = kinds[type];
      EXPECT_EQ(kind.cls, item.uiClass);
      EXPECT_EQ(kind.*platform.id, item.uiItemId);
      EXPECT_EQ(2u, item.uiOption);
      EXPECT_EQ(4u, item.uiLanguage);
      EXPECT_EQ(platform.code, item.uiPlatform);
      EXPECT_EQ(0u, item.uiReserved1 | item.uiReserved2 | item.uiReserved3);
      const QxuVersionBuild versioned{static_cast<unsigned>(type), 2, 3};
      EXPECT_EQ(kind.cls == 2 ? versioned.uiMajor : 1000u + type, item.stCurrent.uiMajor);
      if (kind.cls == 2) {
        EXPECT_EQ(0, std::memcmp(&versioned, &item.stCurrent, sizeof versioned));
      }
      const QxuVersionBuild zero{0, 0, 0};
      EXPECT_EQ(0, std::memcmp(kind.prefilled ? &zero : &untouched.stResult, &item.stResult,
                               sizeof zero));
      EXPECT_EQ(0,
                std::memcmp(untouched.abClientData, item.abClientData, sizeof item.abClientData));
    }
  }
  // A family, a pair, and more room than selected components: items go in component order, the
  // option says how the client may update them.
  struct Selection {
    std::vector<int> types;
    int room;
    bool versionOnly;
    QxUpdateKind kind;
    std::vector<unsigned> ids;
    unsigned option;
  } selections[] = {
      {{10, 0, 8, 4, 1, 9, 2, 3},
       8,
       true,
       MANUAL_UPDATE,
       {0x20000, 4, 0x20000400, 0x20000040, 0x20000020, 0x20000000, 0x48000125, 0x48020000},
       2},
      {{QXASE_PATTERN, QXASE_PATCH}, 2, false, MANUAL_UPDATE, {0x10001, 0x4000001}, 0},
      {{QXASE_PATTERN, QXASE_PATCH}, 3, false, SCHEDULED_UPDATE, {0x10001, 0x4000001, 0}, 1},
      {{QXASE_ENGINE, QXASE_PATTERN}, 1, false, SCHEDULED_UPDATE, {0x10000001}, 1},
  };
  clearSettings();
  setting("DisableIncMerge", "yes");
  for (const Selection& s : selections) {
    m_update.reset();
    QxUpdate& object = update(s.kind);
    std::vector<tag_ItemInfo> items(s.room);
    A::select(object, s.types, s.versionOnly);
    ASSERT_EQ(SUCCESS, A::items(object, items, s.versionOnly));
    std::vector<unsigned> ids;
    for (const tag_ItemInfo& item : items) {
      ids.push_back(item.uiItemId);
      EXPECT_EQ(s.option, item.uiOption);
      EXPECT_EQ(0x101u, item.uiPlatform);
    }
    EXPECT_EQ(s.ids, ids);
  }
}

INSTANTIATE_TEST_SUITE_P(Sqlite, DownloadItems, ::testing::Values(OrvelDbTest::Backend::kSqlite),
                         OrvelDbTest::backendName);
INSTANTIATE_TEST_SUITE_P(Sqlite, CurrentVersions, ::testing::Values(OrvelDbTest::Backend::kSqlite),
                         OrvelDbTest::backendName);
