#include "OrvelKF/QxUpdateCatalogue.h"

#include <gtest/gtest.h>

#include <string>

namespace {

// Every cell of the catalogue, row by row: a typo in any row must show.
struct Row {
  const char* display;
  const char* plainTitle;
  const char* scannerVersionKey;
  const char* scannerTimeKey;
  const char* globalVersionKey;
  const char* titleKey;
  const char* eventWord;
  const char* downloadWhat;
  bool antiSpam;
};

const Row kCatalogue[kfComponentCount] = {
    {"Virus Engine", "ScanEngine", "virus_engine_version", "virus_engine_timestamp",
     "VersionVirusEngine", "KF_CPNT_TITLE_SCAN_ENGINE", "ZIRAN_ENGINE", "scan engine", false},
    {"Virus Pattern", "VirusPattern", "virus_pattern_version", "virus_pattern_timestamp",
     "VersionVirusPattern", "KF_CPNT_TITLE_VIRUS_PATTERN", "ZIRAN_PATTERN", "virus pattern", false},
    {"Spyware Pattern", "SpywarePattern", "spyware_pattern_version", "spyware_pattern_timestamp",
     "VersionSpywarePattern", "KF_CPNT_TITLE_SPYWARE_PATTERN", "SPYWARE_PATTERN", "spyware pattern",
     false},
    {"Lurebox Pattern", "LureboxPattern", "lurebox_pattern_version", "lurebox_pattern_timestamp",
     "VersionLureboxPattern", "KF_CPNT_TITLE_LUREBOX_PATTERN", "LUREBOX_PATTERN", "lurebox pattern",
     false},
    {"Lurebox Exception", "LureboxException", "lurebox_exception_version",
     "lurebox_exception_timestamp", "VersionLureboxException", "KF_CPNT_TITLE_LUREBOX_EXCEPTION",
     "LUREBOX_EXCEPTION", "lurebox exceptions", false},
    {"Anti-spam Engine", "AntispamEngine", "spam_engine_version", "spam_engine_timestamp",
     "VersionQXASEEngine", "KF_CPNT_TITLE_QXASE_ENGINE", "QXASE_ENGINE", "anti-spam engine", true},
    {"Spam Pattern", "SpamPattern", "spam_pattern_version", "spam_pattern_timestamp",
     "VersionQXASEPattern", "KF_CPNT_TITLE_QXASE_PATTERN", "QXASE_PATTERN", "spam pattern", true},
    {"Spam Incremental Pattern", "SpamIncrementalPattern", "spam_patch_version",
     "spam_patch_timestamp", "VersionQXASEPatch", "KF_CPNT_TITLE_QXASE_PATCH", "QXASE_PTN_PATCH",
     "spam incremental pattern", true},
    {"URL Filtering Engine", "URLFilteringEngine", "url_filter_engine_version",
     "url_filter_engine_timestamp", "VersionQXUFEEngine", "KF_CPNT_TITLE_QXUFE_ENGINE",
     "QXUFE_ENGINE", "URL filtering engine", false},
    {"Dexa Scan Engine", "DEXAScanEngine", "dexa_engine_version", "dexa_engine_timestamp",
     "VersionDEXAEngine", "KF_CPNT_TITLE_DEXA_ENGINE", "DEXA_ENGINE", "dexa engine", false},
    {"Cloudsift Agent Pattern", "CloudsiftAgentPattern", "cloudsift_agent_pattern_version",
     "cloudsift_agent_pattern_timestamp", "VersionCloudsiftAgentPattern",
     "KF_CPNT_TITLE_CLOUDSIFT_AGENT_PATTERN", "CLOUDSIFT_PATTERN", "Cloudsift agent pattern",
     false}};

// The event blocks in their stored order: manual, schedule, rollback; success before failure.
const char* const kEventBlocks[kfEventBlockCount][2] = {
    {"MANUAL", "SUCCESS"},  {"MANUAL", "FAILED"},    {"SCHEDULE", "SUCCESS"},
    {"SCHEDULE", "FAILED"}, {"ROLLBACK", "SUCCESS"}, {"ROLLBACK", "FAILED"}};

}  // namespace

TEST(QxUpdateCatalogue, EveryCellOfEveryTable) {
  for (int type = 0; type < kfComponentCount; ++type) {
    const Row& row = kCatalogue[type];
    SCOPED_TRACE("type " + std::to_string(type));
    EXPECT_STREQ(row.display, kfCpntDisplayName[type]);
    EXPECT_STREQ(row.plainTitle, kfCpntPlainTitle[type]);
    EXPECT_STREQ(row.scannerVersionKey, kfScannerInfoVersionKey[type]);
    EXPECT_STREQ(row.scannerTimeKey, kfScannerInfoTimeKey[type]);
    EXPECT_STREQ(row.globalVersionKey, kfGlobalVersionKey[type]);
    EXPECT_STREQ(row.titleKey, kfCpntTitleKey[type]);
    EXPECT_STREQ(row.downloadWhat, kfDownloadWhat[type]);
    EXPECT_EQ(row.antiSpam, kfIsAntiSpamFamily(type));
    EXPECT_TRUE(kfIsKnownType(type));
    for (int block = 0; block < kfEventBlockCount; ++block) {
      const std::string key = std::string("KF_") + kEventBlocks[block][0] + "_" + row.eventWord +
                              "_" + kEventBlocks[block][1];
      EXPECT_EQ(key, kfEventKey[block * kfComponentCount + type]);
      EXPECT_EQ(key, kfEventKeyOf(static_cast<KFEventBlock>(block), type));
    }
  }
  EXPECT_STREQ("unknown download type", kfUnknownDownloadWhat);
  EXPECT_FALSE(kfIsKnownType(-1));
  EXPECT_FALSE(kfIsKnownType(kfComponentCount));
}
