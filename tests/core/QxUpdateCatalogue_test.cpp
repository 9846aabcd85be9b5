#include "OrvelKF/QxUpdateCatalogue.h"

#include <gtest/gtest.h>

#include <set>
#include <string>

TEST(QxUpdateCatalogue, EnumerationsKeepTheirNumbers) {
  EXPECT_EQ(0, SCAN_ENGINE);
  EXPECT_EQ(7, QXASE_PATCH);
  EXPECT_EQ(10, CLOUDSIFT_AGENT_PATTERN);
  EXPECT_EQ(5, SOURCE_NOT_FOUND);
  EXPECT_EQ(4, ROLLBACK_UNAVAILABLE);
  EXPECT_EQ(2, CONSOLE_UPDATE);
  EXPECT_EQ(4u, sizeof(QxUpdateType));
}

TEST(QxUpdateCatalogue, FamiliesSplitAntiSpamFromTheRest) {
  std::set<int> antiSpam;
  for (int type = 0; type < kfComponentCount; ++type)
    if (kfIsAntiSpamFamily(type)) antiSpam.insert(type);
  EXPECT_EQ((std::set<int>{5, 6, 7}), antiSpam);
  EXPECT_FALSE(kfIsKnownType(-1));
  EXPECT_FALSE(kfIsKnownType(11));
  EXPECT_TRUE(kfIsKnownType(10));
}

TEST(QxUpdateCatalogue, TablesHoldTheTextsOfEachComponent) {
  EXPECT_STREQ("Dexa Scan Engine", kfCpntDisplayName[DEXA_ENGINE]);
  EXPECT_STREQ("SpamIncrementalPattern", kfCpntPlainTitle[QXASE_PATCH]);
  EXPECT_STREQ("url_filter_engine_version", kfScannerInfoVersionKey[QXUFE_ENGINE]);
  EXPECT_STREQ("cloudsift_agent_pattern_timestamp", kfScannerInfoTimeKey[CLOUDSIFT_AGENT_PATTERN]);
  EXPECT_STREQ("VersionQXASEPatch", kfGlobalVersionKey[QXASE_PATCH]);
  EXPECT_STREQ("KF_CPNT_TITLE_SCAN_ENGINE", kfCpntTitleKey[SCAN_ENGINE]);
  EXPECT_STREQ("lurebox exceptions", kfDownloadWhat[LUREBOX_EXCEPTION]);
  EXPECT_STREQ("unknown download type", kfUnknownDownloadWhat);
}

TEST(QxUpdateCatalogue, EventKeysAreSixBlocksOfEleven) {
  EXPECT_STREQ("KF_SCHEDULE_DEXA_ENGINE_FAILED", kfEventKey[42]);
  EXPECT_STREQ("KF_SCHEDULE_DEXA_ENGINE_FAILED", kfEventKeyOf(KF_EVENT_SCHEDULE_FAILED, DEXA_ENGINE));
  EXPECT_STREQ("KF_MANUAL_ZIRAN_ENGINE_SUCCESS", kfEventKey[0]);
  EXPECT_STREQ("KF_MANUAL_ZIRAN_PATTERN_FAILED", kfEventKey[12]);
  EXPECT_STREQ("KF_ROLLBACK_QXASE_PTN_PATCH_SUCCESS", kfEventKeyOf(KF_EVENT_ROLLBACK_SUCCESS, QXASE_PATCH));
  EXPECT_STREQ("KF_ROLLBACK_CLOUDSIFT_PATTERN_FAILED", kfEventKey[65]);

  std::set<std::string> distinct(std::begin(kfEventKey), std::end(kfEventKey));
  EXPECT_EQ(66u, distinct.size());
  const char* modes[] = {"MANUAL", "MANUAL", "SCHEDULE", "SCHEDULE", "ROLLBACK", "ROLLBACK"};
  for (int block = 0; block < kfEventBlockCount; ++block) {
    const std::string outcome = block % 2 ? "_FAILED" : "_SUCCESS";
    for (int type = 0; type < kfComponentCount; ++type) {
      const std::string key = kfEventKey[block * kfComponentCount + type];
      EXPECT_EQ(0u, key.find(std::string("KF_") + modes[block] + "_")) << key;
      EXPECT_EQ(key.size() - outcome.size(), key.rfind(outcome)) << key;
    }
  }
}
