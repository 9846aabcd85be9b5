// The 45 forwarders: each reaches its own entry point with its own arguments and returns its
// result; counted ones hold a reference for the call, direct ones never load.
#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "BindingTestSupport.h"

using namespace BindingTest;

namespace {

using ForwarderTest = ClientBindingTest;

std::string ptr(const void* p) {
  char text[32];
  std::snprintf(text, sizeof text, "%p", p);
  return text;
}

int progress(unsigned int, unsigned long long, unsigned long long, void*) { return 1; }

// Arguments with stable addresses, so that the calls the double reports can be predicted.
struct Arguments {
  tag_ItemInfo items[2] = {};
  SourceInfo source = {};
  QxuErrorInfo error = {};
  QxuVersionBuild version = {};
  unsigned int number = 0;
  char buffer[64] = {};
  int context = 0;
  int token = 0;
};

struct Forwarder {
  std::string call;  // as the double reports it
  int result;        // what the double answers
  bool counted;
  std::function<int()> invoke;
};

// Every forwarder with an int result, in binding order.
std::vector<Forwarder> intForwarders(Arguments& a) {
  const std::string items = ptr(a.items), item = ptr(&a.items[1]), source = ptr(&a.source);
  const std::string buffer = ptr(a.buffer), context = ptr(&a.context), number = ptr(&a.number);
  const std::string version = ptr(&a.version), callback = ptr(reinterpret_cast<void*>(&progress));
  void* ctx = &a.context;
  return {
      {"QxuUpdate(" + items + ",2," + source + ",7," + callback + "," + context + ")", 1002, true,
       [&a, ctx] { return ORVEL::QxuUpdate(a.items, 2, &a.source, 7, &progress, ctx); }},
      {"QxuDuplicate(src,dst)", 1003, true, [] { return ORVEL::QxuDuplicate("src", "dst"); }},
      {"QxuRollback(" + item + ")", 1004, true, [&a] { return ORVEL::QxuRollback(&a.items[1]); }},
      {"QxuIsRollbackable(" + item + ")", 1005, true,
       [&a] { return ORVEL::QxuIsRollbackable(&a.items[1]); }},
      {"QxuGetErrorString(28," + buffer + ",64)", 1006, true,
       [&a] { return ORVEL::QxuGetErrorString(28, a.buffer, 64); }},
      {"QxuSetProperty(UserAgent,Kelvo/1.0)", 1007, false,
       [] { return ORVEL::QxuSetProperty("UserAgent", "Kelvo/1.0"); }},
      {"QxuGetConfig(key," + buffer + ",64)", 1008, true,
       [&a] { return ORVEL::QxuGetConfig("key", a.buffer, 64); }},
      {"QxuSetConfig(key,value)", 1009, true, [] { return ORVEL::QxuSetConfig("key", "value"); }},
      {"QxuGetRollbackInfo(" + item + ")", 1010, true,
       [&a] { return ORVEL::QxuGetRollbackInfo(&a.items[1]); }},
      {"QxuGetServer(" + buffer + ",64)", 1011, true,
       [&a] { return ORVEL::QxuGetServer(a.buffer, 64); }},
      {"QxuMakeVersionString(65537," + buffer + ",64)", 1012, true,
       [&a] { return ORVEL::QxuMakeVersionString(65537, a.buffer, 64); }},
      {"QxuMakeVersion(1.1," + number + ")", 1013, true,
       [&a] { return ORVEL::QxuMakeVersion("1.1", &a.number); }},
      {"QxuClearCache()", 1014, true, [] { return ORVEL::QxuClearCache(); }},
      {"QxuGetPatternVer(4," + number + ")", 1015, true,
       [&a] { return ORVEL::QxuGetPatternVer(4, &a.number); }},
      {"QxuGetEngineVer(5," + version + ")", 1016, true,
       [&a] { return ORVEL::QxuGetEngineVer(5, &a.version); }},
      {"QxuGetPatternVerEx(4,257," + number + "," + context + ")", 1017, true,
       [&a, ctx] { return ORVEL::QxuGetPatternVerEx(4, 257, &a.number, ctx); }},
      {"QxuGetEngineVerEx(5,257," + version + "," + context + ")", 1018, true,
       [&a, ctx] { return ORVEL::QxuGetEngineVerEx(5, 257, &a.version, ctx); }},
      {"CreateServerIni(server.ini)", 1019, true,
       [] { return ORVEL::CreateServerIni("server.ini"); }},
      {"QxuGetPatchInfo(" + item + "," + buffer + ",64)", 1020, true,
       [&a] { return ORVEL::QxuGetPatchInfo(&a.items[1], a.buffer, 64); }},
      {"SetImpersonateHandle(" + ptr(&a.token) + ")", 1021, true,
       [&a] { return ORVEL::SetImpersonateHandle(&a.token); }},
      {"QxuReleaseContext(" + context + ")", 1023, false,
       [ctx] { return ORVEL::QxuReleaseContext(ctx); }},
      {"QxuMakeVersionBuildString(8,700,1004," + buffer + ",256)", 1024, true,
       [&a] { return ORVEL::QxuMakeVersionBuildString(8, 700, 1004, a.buffer, 256); }},
      {"QxuUpdateEx(" + items + ",2," + source + ",65538," + callback + "," + ptr(nullptr) + "," +
           context + ")",
       1026, true,
       [&a, ctx] {
         return ORVEL::QxuUpdateEx(a.items, 2, &a.source, 65538, &progress, nullptr, ctx);
       }},
      {"QxuGetRollbackInfoEx(" + item + "," + context + ")", 1027, true,
       [&a, ctx] { return ORVEL::QxuGetRollbackInfoEx(&a.items[1], ctx); }},
      {"QxuRollbackEx(" + item + "," + context + ")", 1028, true,
       [&a, ctx] { return ORVEL::QxuRollbackEx(&a.items[1], ctx); }},
      {"QxuGetPatchInfoEx(" + item + "," + buffer + ",64," + context + ")", 1029, true,
       [&a, ctx] { return ORVEL::QxuGetPatchInfoEx(&a.items[1], a.buffer, 64, ctx); }},
      {"QxuSetPropertyEx(SocketTimeout,90," + context + ")", 1030, false,
       [ctx] { return ORVEL::QxuSetPropertyEx("SocketTimeout", "90", ctx); }},
      {"QxuGetPropertyEx(SocketTimeout," + buffer + ",64," + context + ")", 1031, false,
       [&a, ctx] { return ORVEL::QxuGetPropertyEx("SocketTimeout", a.buffer, 64, ctx); }},
      {"QxuAddTrusted(abcd)", 1032, true, [] { return ORVEL::QxuAddTrusted("abcd"); }},
      {"QxuDelTrusted(ef01)", 1033, true, [] { return ORVEL::QxuDelTrusted("ef01"); }},
      {"QxuEnumTrustedInfo(3," + buffer + ",64)", 1034, true,
       [&a] { return ORVEL::QxuEnumTrustedInfo(3, a.buffer, 64); }},
      {"QxuDmpTrusted(keys.txt)", 1035, true, [] { return ORVEL::QxuDmpTrusted("keys.txt"); }},
      {"QxuClearCacheEx(http://feed)", 1036, true,
       [] { return ORVEL::QxuClearCacheEx("http://feed"); }},
      {"QxuGetLastError(" + ptr(&a.error) + "," + context + ")", 1037, true,
       [&a, ctx] { return ORVEL::QxuGetLastError(&a.error, ctx); }},
      {"QxuDuplicateEx(src,dst," + context + ")", 1038, true,
       [ctx] { return ORVEL::QxuDuplicateEx("src", "dst", ctx); }},
      {"QxuGetUpdateInfo(" + items + ",2," + context + ")", 1039, true,
       [&a, ctx] { return ORVEL::QxuGetUpdateInfo(a.items, 2, ctx); }},
      {"QxuGetServerInfo(" + buffer + ",64," + context + ")", 1040, true,
       [&a, ctx] { return ORVEL::QxuGetServerInfo(a.buffer, 64, ctx); }},
      {"QxuMakeZiranPtnVersion(17.461.00," + number + ")", 1041, true,
       [&a] { return ORVEL::QxuMakeZiranPtnVersion("17.461.00", &a.number); }},
      {"QxuMakeZiranPtnVersionString(17461," + buffer + ",64)", 1042, true,
       [&a] { return ORVEL::QxuMakeZiranPtnVersionString(17461, a.buffer, 64); }},
      {"QxuReloadSetting(" + context + ")", 1043, true,
       [ctx] { return ORVEL::QxuReloadSetting(ctx); }},
      {"QxuGetIncrementalInfo(" + item + "," + context + ")", 1044, true,
       [&a, ctx] { return ORVEL::QxuGetIncrementalInfo(&a.items[1], ctx); }},
      {"QxuUnpublished()", 1045, true, [] { return ORVEL::QxuUnpublished(); }},
  };
}

std::string lastCall() {
  const std::vector<std::string> calls = OrvelProbe::calls();
  return calls.empty() ? std::string() : calls.back();
}

}  // namespace

TEST_F(ForwarderTest, EveryForwarderReachesItsEntryPointWithItsArguments) {
  clientFolder("full");
  ASSERT_EQ(kUpdateClientLoaded, loadUpdateClient((m_dir / "bin").c_str(), nullptr));
  const unsigned long loadsOfHolder = loadsSinceSetUp();
  Arguments a;
  const std::vector<Forwarder> forwarders = intForwarders(a);
  ASSERT_EQ(42u, forwarders.size());

  for (const Forwarder& f : forwarders) {
    EXPECT_EQ(f.result, f.invoke()) << f.call;
    EXPECT_EQ(f.call, lastCall());
    EXPECT_EQ(1u, cb::referenceCount()) << f.call << " kept a reference";
  }
  EXPECT_STREQ("double text of 28", a.buffer) << "the text of QxuGetErrorString";

  EXPECT_STREQ("double full", ORVEL::QxuGetVersion());
  EXPECT_EQ("QxuGetVersion()", lastCall());
  void* context = ORVEL::QxuCreateContext(0);
  EXPECT_NE(nullptr, context);
  EXPECT_EQ("QxuCreateContext(0)", lastCall());
  const QxuVersionBuild version = ORVEL::QxuMakeVersionBuild("8.700.1004");
  EXPECT_EQ("QxuMakeVersionBuild(8.700.1004)", lastCall());
  EXPECT_EQ(8u, version.uiMajor);
  EXPECT_EQ(700u, version.uiMinor);
  EXPECT_EQ(1004u, version.uiBuild);

  EXPECT_EQ(2u + 42u + 3u, OrvelProbe::calls().size());
  EXPECT_EQ(loadsOfHolder, loadsSinceSetUp()) << "calls under a held reference load nothing";
  EXPECT_EQ(1, OrvelProbe::loads());
  releaseUpdateClient();
}

TEST_F(ForwarderTest, ACountedForwarderWithNothingLoadedLoadsFromTheCurrentFolderForTheCall) {
  const std::string bin = clientFolder("full");
  CurrentFolder current(m_dir / "bin");
  Arguments a;
  const std::vector<Forwarder> forwarders = intForwarders(a);
  const Forwarder& updateEx = forwarders[22];
  ASSERT_EQ(1026, updateEx.result);

  EXPECT_EQ(1026, updateEx.invoke());
  EXPECT_EQ((std::vector<std::string>{setProperty("KiteFeedLib_FromLoader", bin),
                                      setProperty("KiteFeedPath_FromLoader", bin), updateEx.call}),
            OrvelProbe::calls());
  EXPECT_FALSE(cb::clientLoaded()) << "the client goes with the call";
  EXPECT_EQ(1, OrvelProbe::loads());
  EXPECT_EQ(1, OrvelProbe::unloads());
  EXPECT_EQ(1ul, loadsSinceSetUp());
  EXPECT_EQ(1ul, releasesSinceSetUp());

  // Each counted call on its own loads and frees again; direct ones never load.
  for (const Forwarder& f : forwarders) {
    EXPECT_EQ(f.counted ? f.result : 0, f.invoke()) << f.call;
    EXPECT_FALSE(cb::clientLoaded());
  }
  EXPECT_EQ(1 + 38, OrvelProbe::loads());
  const QxuVersionBuild version = ORVEL::QxuMakeVersionBuild("5.763.1");
  EXPECT_EQ(763u, version.uiMinor);
  EXPECT_EQ(1 + 38 + 1, OrvelProbe::unloads());
}

TEST_F(ForwarderTest, CountedForwardersThatCannotLoadReturn53AndCallNothing) {
  std::filesystem::create_directories(m_dir / "empty");
  clientFolder("without_get_last_error", "incomplete");
  Arguments a;
  std::strcpy(a.buffer, "untouched");
  const std::vector<Forwarder> forwarders = intForwarders(a);

  for (const char* folder : {"empty", "incomplete"}) {
    CurrentFolder current(m_dir / folder);
    for (const Forwarder& f : forwarders) {
      const int fallback =
          !f.counted ? 0
                     : (f.call.rfind("QxuGetErrorString", 0) == 0 ? 0 : kUpdateClientUnavailable);
      EXPECT_EQ(fallback, f.invoke()) << folder << ": " << f.call;
    }
    const QxuVersionBuild version = ORVEL::QxuMakeVersionBuild("8.700.1004");
    EXPECT_EQ(0u, version.uiMajor + version.uiMinor + version.uiBuild) << "no version is made up";
  }
  EXPECT_STREQ("untouched", a.buffer);
  EXPECT_TRUE(OrvelProbe::calls().empty());
  EXPECT_EQ(39, OrvelProbe::loads()) << "each counted call tried the incomplete client once";
}

TEST_F(ForwarderTest, DirectForwardersWithNothingLoadedAnswerZeroOrEmptyAndNeverLoad) {
  clientFolder("full");
  CurrentFolder current(m_dir / "bin");
  int context = 0;
  char buffer[16] = "untouched";

  const char* version = ORVEL::QxuGetVersion();
  ASSERT_NE(nullptr, version);
  EXPECT_STREQ("", version);
  EXPECT_EQ(0, ORVEL::QxuSetProperty("UserAgent", "Kelvo/1.0"));
  EXPECT_EQ(nullptr, ORVEL::QxuCreateContext(0));
  EXPECT_EQ(0, ORVEL::QxuSetPropertyEx("UserAgent", "Kelvo/1.0", &context));
  EXPECT_EQ(0, ORVEL::QxuGetPropertyEx("UserAgent", buffer, sizeof buffer, &context));
  EXPECT_EQ(0, ORVEL::QxuReleaseContext(&context));
  EXPECT_STREQ("untouched", buffer);
  EXPECT_EQ(0ul, loadsSinceSetUp());
  EXPECT_TRUE(OrvelProbe::calls().empty());
}
