// The 45 forwarders: each reaches its own entry point with its own arguments and returns its
// result; counted ones hold a reference for the call, direct ones never load. The calls come from
// the binding's entry-point list (ForwarderCalls.inc, made by make_client_double.py).
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "BindingTestSupport.h"

using namespace BindingTest;

namespace {

using ForwarderTest = ClientBindingTest;

int progress(unsigned int, unsigned long long, unsigned long long, void*) { return 1; }

// Arguments that differ by position: the double's report shows which went where.
struct ForwarderArguments {
  alignas(16) char slots[8][64] = {};  // what pointer arguments point at; never written

  template <typename Pointer>
  Pointer pointer(int position) {
    return reinterpret_cast<Pointer>(slots[position]);
  }
  const void* address(int position) const { return slots[position]; }
  const char* text(int position) const {
    static const char* const kTexts[] = {"t0", "t1", "t2", "t3", "t4", "t5", "t6"};
    return kTexts[position];
  }
  unsigned number(int position) const { return 100u + static_cast<unsigned>(position); }
  int integer(int position) const { return -10 - position; }
  QxuProgressCallback callback() const { return &progress; }
  const void* callbackAddress() const { return reinterpret_cast<const void*>(&progress); }
  std::string report(const char* format, ...) const __attribute__((format(printf, 2, 3))) {
    char text[1200];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    return text;
  }
};

struct Forwarder {
  const char* name;
  int number;  // binding number: the double answers 1000 + number
  int (*invoke)(ForwarderArguments&);
  std::string (*report)(ForwarderArguments&);
};

// Every forwarder with an int result, in binding order.
const Forwarder kForwarders[] = {
#include "ForwarderCalls.inc"
};

// The forwarders that never take a reference of their own.
bool direct(const std::string& name) {
  static const std::set<std::string> kDirect = {"QxuSetProperty", "QxuReleaseContext",
                                                "QxuSetPropertyEx", "QxuGetPropertyEx"};
  return kDirect.count(name) > 0;
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
  ForwarderArguments a;
  ASSERT_EQ(42u, std::size(kForwarders));
  for (const Forwarder& f : kForwarders) {
    EXPECT_EQ(1000 + f.number, f.invoke(a)) << f.name;
    EXPECT_EQ(f.report(a), lastCall());
    EXPECT_EQ(1u, cb::referenceCount()) << f.name << " kept a reference";
  }
  EXPECT_STREQ("double full", ORVEL::QxuGetVersion());
  EXPECT_EQ("QxuGetVersion()", lastCall());
  EXPECT_NE(nullptr, ORVEL::QxuCreateContext(7));
  EXPECT_EQ("QxuCreateContext(7)", lastCall());
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
  ForwarderArguments a;
  for (const Forwarder& f : kForwarders) {
    OrvelProbe::reset();
    EXPECT_EQ(direct(f.name) ? 0 : 1000 + f.number, f.invoke(a)) << f.name;
    const std::vector<std::string> loaded = {setProperty("KiteFeedLib_FromLoader", bin),
                                             setProperty("KiteFeedPath_FromLoader", bin),
                                             f.report(a)};
    EXPECT_EQ(direct(f.name) ? std::vector<std::string>{} : loaded, OrvelProbe::calls());
    EXPECT_FALSE(cb::clientLoaded()) << "the client goes with the call";
  }
  EXPECT_EQ(763u, ORVEL::QxuMakeVersionBuild("5.763.1").uiMinor);
  // Direct ones with nothing loaded: an empty version text and a null context, never a load.
  EXPECT_STREQ("", ORVEL::QxuGetVersion());
  EXPECT_EQ(nullptr, ORVEL::QxuCreateContext(0));
  EXPECT_EQ(38ul + 1ul, loadsSinceSetUp());
  EXPECT_EQ(38ul + 1ul, releasesSinceSetUp());
}

TEST_F(ForwarderTest, CountedForwardersThatCannotLoadReturn53AndCallNothing) {
  std::filesystem::create_directories(m_dir / "empty");
  clientFolder("without_get_last_error", "incomplete");
  ForwarderArguments a;
  for (const char* folder : {"empty", "incomplete"}) {
    CurrentFolder current(m_dir / folder);
    for (const Forwarder& f : kForwarders) {
      const bool noText = direct(f.name) || std::strcmp(f.name, "QxuGetErrorString") == 0;
      EXPECT_EQ(noText ? 0 : kUpdateClientUnavailable, f.invoke(a)) << folder << ": " << f.name;
    }
    const QxuVersionBuild version = ORVEL::QxuMakeVersionBuild("8.700.1004");
    EXPECT_EQ(0u, version.uiMajor + version.uiMinor + version.uiBuild) << "no version is made up";
  }
  EXPECT_TRUE(OrvelProbe::calls().empty());
  EXPECT_EQ(39, OrvelProbe::loads()) << "each counted call tried the incomplete client once";
}
