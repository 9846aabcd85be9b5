#include "OrvelKF/QxUpdateCatalogue.h"

#include <gtest/gtest.h>

#include <string>

namespace {

// Every cell of the catalogue, row by row, so that a typo in any row shows: display name, plain
// title, stem of the scanner.info keys, global version key, title key suffix, event word,
// download text, and 1 for the anti-spam family.
const char* const kCatalogue[kfComponentCount] = {
    "Virus Engine|ScanEngine|virus_engine|VersionVirusEngine|SCAN_ENGINE|ZIRAN_ENGINE|scan "
    "engine|0",
    "Virus Pattern|VirusPattern|virus_pattern|VersionVirusPattern|VIRUS_PATTERN|ZIRAN_PATTERN|"
    "virus pattern|0",
    "Spyware Pattern|SpywarePattern|spyware_pattern|VersionSpywarePattern|SPYWARE_PATTERN|"
    "SPYWARE_PATTERN|spyware pattern|0",
    "Lurebox Pattern|LureboxPattern|lurebox_pattern|VersionLureboxPattern|LUREBOX_PATTERN|"
    "LUREBOX_PATTERN|lurebox pattern|0",
    "Lurebox Exception|LureboxException|lurebox_exception|VersionLureboxException|"
    "LUREBOX_EXCEPTION|LUREBOX_EXCEPTION|lurebox exceptions|0",
    "Anti-spam Engine|AntispamEngine|spam_engine|VersionQXASEEngine|QXASE_ENGINE|QXASE_ENGINE|"
    "anti-spam engine|1",
    "Spam Pattern|SpamPattern|spam_pattern|VersionQXASEPattern|QXASE_PATTERN|QXASE_PATTERN|"
    "spam pattern|1",
    "Spam Incremental Pattern|SpamIncrementalPattern|spam_patch|VersionQXASEPatch|QXASE_PATCH|"
    "QXASE_PTN_PATCH|spam incremental pattern|1",
    "URL Filtering Engine|URLFilteringEngine|url_filter_engine|VersionQXUFEEngine|QXUFE_ENGINE|"
    "QXUFE_ENGINE|URL filtering engine|0",
    "Dexa Scan Engine|DEXAScanEngine|dexa_engine|VersionDEXAEngine|DEXA_ENGINE|DEXA_ENGINE|"
    "dexa engine|0",
    "Cloudsift Agent Pattern|CloudsiftAgentPattern|cloudsift_agent_pattern|"
    "VersionCloudsiftAgentPattern|CLOUDSIFT_AGENT_PATTERN|CLOUDSIFT_PATTERN|"
    "Cloudsift agent pattern|0"};

// The event blocks in their stored order: manual, schedule, rollback; success before failure.
const char* const kEventBlocks[kfEventBlockCount][2] = {
    {"MANUAL", "SUCCESS"},  {"MANUAL", "FAILED"},    {"SCHEDULE", "SUCCESS"},
    {"SCHEDULE", "FAILED"}, {"ROLLBACK", "SUCCESS"}, {"ROLLBACK", "FAILED"}};

}  // namespace

TEST(QxUpdateCatalogue, EveryCellOfEveryTable) {
  for (int type = 0; type < kfComponentCount; ++type) {
    const std::string stem = kfScannerInfoVersionKey[type];
    const std::string base = stem.substr(0, stem.rfind("_version"));
    const std::string title = std::string(kfCpntTitleKey[type]).substr(14);  // KF_CPNT_TITLE_
    const std::string event = kfEventKeyOf(KF_EVENT_MANUAL_SUCCESS, type);   // KF_MANUAL_*_SUCCESS
    const std::string word = event.substr(10, event.size() - 18);
    EXPECT_EQ(kCatalogue[type],
              std::string(kfCpntDisplayName[type]) + "|" + kfCpntPlainTitle[type] + "|" + base +
                  "|" + kfGlobalVersionKey[type] + "|" + title + "|" + word + "|" +
                  kfDownloadWhat[type] + (kfIsAntiSpamFamily(type) ? "|1" : "|0"));
    EXPECT_EQ(base + "_timestamp", kfScannerInfoTimeKey[type]);
    EXPECT_TRUE(kfIsKnownType(type));
    for (int block = 0; block < kfEventBlockCount; ++block) {
      const std::string key =
          std::string("KF_") + kEventBlocks[block][0] + "_" + word + "_" + kEventBlocks[block][1];
      EXPECT_EQ(key, kfEventKey[block * kfComponentCount + type]);
      EXPECT_EQ(key, kfEventKeyOf(static_cast<KFEventBlock>(block), type));
    }
  }
  EXPECT_STREQ("unknown download type", kfUnknownDownloadWhat);
  EXPECT_FALSE(kfIsKnownType(-1) || kfIsKnownType(kfComponentCount));
}
