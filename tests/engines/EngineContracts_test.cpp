// The engines export, with C linkage, exactly the names and types the update object binds.
#include <gtest/gtest.h>

#include <cstddef>
#include <type_traits>

#include "EngineTestSupport.h"
#include "OrvelEngines/EngineExports.h"
#include "OrvelPlatform/DynamicLibrary.h"
#include "QxUpdateEngineCalls.h"

namespace calls = QxEngineCalls;

// The records the engines fill are read by the library at fixed places.
static_assert(sizeof(::ZRPatternEntry) == sizeof(calls::ZRPatternEntry));
static_assert(offsetof(::ZRPatternEntry, szFileName) ==
              offsetof(calls::ZRPatternEntry, szFileName));
static_assert(offsetof(::ZRPatternEntry, iPatternNumber) == 16);
static_assert(offsetof(calls::ZRPatternEntry, iPatternNumber) == 16);
static_assert(sizeof(::ZREngineVersion) == sizeof(calls::ZREngineVersion));
static_assert(offsetof(::ZREngineVersion, iBuild) == offsetof(calls::ZREngineVersion, iBuild));
// Calls without records: the engine's declaration is the library's function type.
static_assert(std::is_same_v<decltype(&ZRInit), calls::ZRInitFn>);
static_assert(std::is_same_v<decltype(&ZRQuit), calls::ZRQuitFn>);
static_assert(
    std::is_same_v<decltype(&ZRGetPatternInternalVersion), calls::ZRGetPatternInternalVersionFn>);
static_assert(std::is_same_v<decltype(&ZRDeleteUnusedPattern), calls::ZRDeleteUnusedPatternFn>);
static_assert(std::is_same_v<decltype(&QX_UF_initEngEx), calls::QxUfInitFn>);
static_assert(std::is_same_v<decltype(&QX_UF_getEngineVersion), calls::QxUfGetVersionFn>);
static_assert(std::is_same_v<decltype(&QX_UF_uninitEngEx), calls::QxUfUninitFn>);
static_assert(std::is_same_v<decltype(&QX_AS_getEngineVersion), calls::QxAsGetEngineVersionFn>);
static_assert(std::is_same_v<decltype(&QX_AS_getRuleFileVerInDirEx), calls::QxAsGetRuleFileVerFn>);
static_assert(std::is_same_v<decltype(&QX_AS_initEngine), calls::QxAsInitFn>);
static_assert(std::is_same_v<decltype(&QX_AS_buildCache), calls::QxAsBuildCacheFn>);
static_assert(std::is_same_v<decltype(&QX_AS_uninitEngine), calls::QxAsUninitFn>);
static_assert(std::is_same_v<decltype(&QX_AS_purgeOldRuleFile), calls::QxAsPurgeFn>);

namespace {

using OrvelEngineTest::broken;
using OrvelEngineTest::engines;

const std::vector<const char*> kZiranExports = {"ZRInit",
                                                "ZRQuit",
                                                "ZRGetLastPattern",
                                                "ZRGetVersion",
                                                "ZRGetPatternInternalVersion",
                                                "ZRGetPatternList",
                                                "ZRDeleteUnusedPattern"};
const std::vector<const char*> kQxufeExports = {"QX_UF_initEngEx", "QX_UF_getEngineVersion",
                                                "QX_UF_uninitEngEx"};
const std::vector<const char*> kQxaseExports = {
    "QX_AS_getEngineVersion", "QX_AS_getRuleFileVerInDirEx", "QX_AS_initEngine",
    "QX_AS_buildCache",       "QX_AS_uninitEngine",          "QX_AS_purgeOldRuleFile"};

// Names of exports missing from the library at path.
std::vector<std::string> missingExports(const std::string& path,
                                        const std::vector<const char*>& names) {
  OrvelPlatform::SharedLibrary library(path.c_str());
  EXPECT_TRUE(library.loaded()) << path << ": " << OrvelPlatform::lastLoadError();
  std::vector<std::string> missing;
  for (const char* name : names) {
    if (!OrvelPlatform::findSymbol(library.handle(), name)) missing.push_back(name);
  }
  return missing;
}

}  // namespace

TEST(EngineContracts, EveryBuildExportsEveryName) {
  for (const char* build : {"v1", "v2"}) {
    const std::string folder = engines(build);
    EXPECT_TRUE(missingExports(folder + "/ziran32.dll", kZiranExports).empty()) << build;
    EXPECT_TRUE(missingExports(folder + "/dexa32.dll", kZiranExports).empty()) << build;
    EXPECT_TRUE(missingExports(folder + "/qxufeng.dll", kQxufeExports).empty()) << build;
    EXPECT_TRUE(missingExports(folder + "/qxaseng.dll", kQxaseExports).empty()) << build;
  }
}

TEST(EngineContracts, BrokenBuildsLackExactlyTheirExport) {
  using Names = std::vector<std::string>;
  EXPECT_EQ(
      Names{"ZRGetPatternInternalVersion"},
      missingExports(broken("ziran_without_internal_version") + "/ziran32.dll", kZiranExports));
  EXPECT_EQ(Names{"ZRGetPatternList"},
            missingExports(broken("ziran_without_pattern_list") + "/ziran32.dll", kZiranExports));
  EXPECT_EQ(Names{"QX_UF_uninitEngEx"},
            missingExports(broken("qxufe_without_uninit") + "/qxufeng.dll", kQxufeExports));
  EXPECT_EQ(Names{"QX_AS_getRuleFileVerInDirEx"},
            missingExports(broken("qxase_without_rule_version") + "/qxaseng.dll", kQxaseExports));
}

TEST(EngineContracts, TextUnderAnEngineNameDoesNotLoad) {
  OrvelEngineTest::LoadCounter counter;
  OrvelPlatform::SharedLibrary library((broken("not_a_library") + "/ziran32.dll").c_str());
  EXPECT_FALSE(library.loaded());
  EXPECT_FALSE(OrvelPlatform::lastLoadError().empty());
  EXPECT_ALL_RELEASED(counter, 0u);
}
