#include "OrvelCommon/QxResbundle.h"

#include <gtest/gtest.h>

#include <cctype>
#include <map>
#include <string>
#include <vector>

#include "OrvelKF/QxUpdateCatalogue.h"
#include "TempDir.h"

using ORVEL::QxResbundle;

namespace {

constexpr const char* kGroup = "IDG_ORVEL_UTIL";

// How many arguments each caller passes with a key; a text may use fewer.
std::map<std::string, int> argumentCountsOfEveryKey() {
  std::map<std::string, int> counts = {
      {"KF_GETVER_ERR", 2},       {"KF_UPTODATE", 2},           {"KF_READPROXYAUTH_ERR", 2},
      {"KF_READPROXY_ERR", 0},    {"KF_SERVER_TIMEOUT_MSG", 0}, {"KF_LOCK_FAIL", 0},
      {"KF_UNLOCK_FAIL", 0},      {"KF_VERIFY_ERR", 1},         {"KF_ZIRAN_ERR", 1},
      {"KF_PTN_READERR", 1},      {"KF_FILE_CORRUPT", 1},       {"KF_BUILDCACHE_ERR", 1},
      {"KF_CPNT_SUCCESS_MSG", 3}, {"KF_NOTIFY_TIMEFORMAT", 0},
  };
  for (const char* key : kfCpntTitleKey) counts[key] = 0;
  for (int block = 0; block < kfEventBlockCount; ++block)
    for (int type = 0; type < kfComponentCount; ++type)
      counts[kfEventKeyOf(static_cast<KFEventBlock>(block), type)] = block % 2 ? 0 : 1;
  return counts;
}

// The highest N of the "{N}" and "{N,...}" placeholders; -1 when there is none. Read by hand:
// GCC 12 warns inside its own std::regex code.
int highestArgument(const std::string& text) {
  int highest = -1;
  for (std::size_t open = text.find('{'); open != std::string::npos;
       open = text.find('{', open + 1)) {
    std::size_t end = open + 1;
    while (end < text.size() && std::isdigit(static_cast<unsigned char>(text[end]))) ++end;
    if (end > open + 1 && end < text.size() && (text[end] == ',' || text[end] == '}'))
      highest = std::max(highest, std::stoi(text.substr(open + 1, end - open - 1)));
  }
  return highest;
}

// The text of the key, formatted with the arguments; "<failed>" when there is none.
template <typename Argument>
std::string textOf(QxResbundle& bundle, const char* key, const std::vector<Argument>& arguments) {
  std::string text;
  return bundle.format(key, arguments, text) ? text : "<failed>";
}
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

TEST(QxResbundle, EveryKeyExistsInEnglishAndJapaneseWithTheCallersArguments) {
  const auto counts = argumentCountsOfEveryKey();
  EXPECT_EQ(14u + 11u + 66u, counts.size());
  for (const char* locale : {"en_US", "ja"}) {
    Bundle b(locale);
    ASSERT_TRUE(b.ok) << locale;
    for (const auto& [key, count] : counts) {
      const std::string text = textOf(b.bundle, key.c_str());
      EXPECT_TRUE(text != "<failed>" && !text.empty()) << locale << " " << key;
      EXPECT_LT(highestArgument(text), count) << locale << " " << key << ": " << text;
    }
  }
}

TEST(QxResbundle, FormatsAndFallsBackThroughParentsToRootButNeverToTheProcessLocale) {
  Bundle en("en_US");
  ASSERT_TRUE(en.ok);
  EXPECT_EQ(
      "Manual update of the virus pattern succeeded. Version: 5.763.00",
      textOf(en.bundle, "KF_MANUAL_ZIRAN_PATTERN_SUCCESS", std::vector<std::string>{"5.763.00"}));
  std::vector<icu::Formattable> args{icu::Formattable(icu::UnicodeString("spam pattern")),
                                     icu::Formattable(icu::UnicodeString("0"))};
  EXPECT_EQ("The spam pattern is up to date.", textOf(en.bundle, "KF_UPTODATE", args));
  EXPECT_EQ("The component could not be verified by the scan engine.",
            textOf(en.bundle, "KF_VERIFY_ERR", std::vector<icu::Formattable>{icu::Formattable(0)}));
  Bundle ja("ja");
  ASSERT_TRUE(ja.ok);
  EXPECT_EQ(
      "迷惑メールパターンファイルの予約アップデートに成功しました。バージ"
      "ョン: 17461.002",
      textOf(ja.bundle, "KF_SCHEDULE_QXASE_PATTERN_SUCCESS",
             std::vector<std::string>{"17461.002"}));
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
  // The resource folder follows the product home.
  setenv("ORVEL_HOME", "/opt/orvel", 1);
  EXPECT_STREQ("/opt/orvel/resources/", QxResbundle::GetResourceFileName());
  unsetenv("ORVEL_HOME");
  EXPECT_STREQ("", QxResbundle::GetResourceFileName());
}
