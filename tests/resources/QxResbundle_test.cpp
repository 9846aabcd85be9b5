#include "OrvelCommon/QxResbundle.h"

#include <gtest/gtest.h>

#include <iterator>
#include <set>
#include <string>
#include <vector>

#include "OrvelKF/QxUpdateCatalogue.h"
#include "TempDir.h"

using ORVEL::QxResbundle;

namespace {

constexpr const char* kGroup = "IDG_ORVEL_UTIL";

// Every key a caller looks up.
std::set<std::string> everyKey() {
  std::set<std::string> keys = {
      "KF_GETVER_ERR",         "KF_UPTODATE",         "KF_READPROXYAUTH_ERR", "KF_READPROXY_ERR",
      "KF_SERVER_TIMEOUT_MSG", "KF_LOCK_FAIL",        "KF_UNLOCK_FAIL",       "KF_VERIFY_ERR",
      "KF_ZIRAN_ERR",          "KF_PTN_READERR",      "KF_FILE_CORRUPT",      "KF_BUILDCACHE_ERR",
      "KF_CPNT_SUCCESS_MSG",   "KF_NOTIFY_TIMEFORMAT"};
  keys.insert(std::begin(kfCpntTitleKey), std::end(kfCpntTitleKey));
  for (int block = 0; block < kfEventBlockCount; ++block)
    for (int type = 0; type < kfComponentCount; ++type)
      keys.insert(kfEventKeyOf(static_cast<KFEventBlock>(block), type));
  return keys;
}

// The text of the key; "<failed>" when there is none.
std::string textOf(QxResbundle& bundle, const char* key) {
  std::string text;
  return bundle.lookup(key, text) ? text : "<failed>";
}

struct Bundle {
  QxResbundle bundle;
  bool ok;
  explicit Bundle(const char* locale) : ok(bundle._init(ORVEL_TEST_RESOURCE_DIR, kGroup, locale)) {}
};

}  // namespace

TEST(QxResbundle, EveryKeyExistsInEnglishAndJapanese) {
  const std::set<std::string> keys = everyKey();
  EXPECT_EQ(14u + 11u + 66u, keys.size());
  for (const char* locale : {"en_US", "ja"}) {
    Bundle b(locale);
    ASSERT_TRUE(b.ok) << locale;
    for (const std::string& key : keys) {
      const std::string text = textOf(b.bundle, key.c_str());
      EXPECT_TRUE(text != "<failed>" && !text.empty()) << locale << " " << key;
    }
  }
}

TEST(QxResbundle, FallsBackThroughParentsToRootButNeverToTheProcessLocale) {
  Bundle ja("ja");
  ASSERT_TRUE(ja.ok);
  EXPECT_EQ("%Y/%m/%d %T", textOf(ja.bundle, "KF_NOTIFY_TIMEFORMAT"));

  // Fallback through parents to the root, but never to the process locale: a
  // Japanese environment must not turn an unknown product locale Japanese.
  OrvelTest::ScopedEnvironment lang("LANG", "ja_JP.UTF-8"), all("LC_ALL", "ja_JP.UTF-8");
  Bundle unknown("fr_FR"), regional("ja_JP");
  ASSERT_TRUE(unknown.ok && regional.ok);
  EXPECT_EQ("Another update is in progress. Please try again later.",
            textOf(unknown.bundle, "KF_LOCK_FAIL"));
  EXPECT_EQ("ウイルスパターンファイル", textOf(regional.bundle, "KF_CPNT_TITLE_VIRUS_PATTERN"));
}

TEST(QxResbundle, MissingKeysBundlesAndFoldersFailWithoutTouchingTheOutput) {
  Bundle en("en_US");
  ASSERT_TRUE(en.ok);
  std::string out = "kept";
  QxResbundle uninitialised;
  EXPECT_FALSE(en.bundle.lookup("KF_NO_SUCH_KEY", out) || en.bundle.lookup(nullptr, out) ||
               en.bundle.format("KF_NO_SUCH_KEY", std::vector<std::string>{"x"}, out) ||
               uninitialised.lookup("KF_LOCK_FAIL", out) ||
               uninitialised.format("KF_LOCK_FAIL", std::vector<std::string>{}, out));
  EXPECT_EQ("kept", out);

  QxResbundle noFolder;
  EXPECT_FALSE(noFolder._init("/nonexistent/resources/", kGroup, "en_US") ||
               noFolder._init(nullptr, kGroup, "en_US") ||
               noFolder._init(ORVEL_TEST_RESOURCE_DIR, "NO_SUCH_GROUP", "en_US"));
  EXPECT_TRUE(noFolder._init(ORVEL_TEST_RESOURCE_DIR, kGroup, nullptr));  // root alone
}
