// The 45 forwarders: each reaches its own entry point with its own arguments and returns its
// result; counted ones hold a reference for the call, direct ones never load. The calls come from
// the binding's entry-point list (ForwarderCalls.inc, made by make_client_double.py).
#include <cstdio>
#include <cstring>
#include <set>

#include "BindingTestSupport.h"

using namespace BindingTest;

namespace {

using ForwarderTest = ClientBindingTest;

int progress(unsigned int, unsigned long long, unsigned long long, void*) { return 1; }

// What pointer arguments point at (never written): the double's report shows which went where.
struct ForwarderArguments {
  alignas(16) char slots[8][64] = {};

  template <typename Pointer>
  Pointer pointer(int position) {
    return reinterpret_cast<Pointer>(slots[position]);
  }
  static std::string shown(const void* address) {
    char text[32];
    std::snprintf(text, sizeof text, "%p", address);
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

}  // namespace

TEST_F(ForwarderTest, EachForwarderReachesItsEntryPointOrAnswersForAnAbsentClient) {
  const std::string bin = clientFolder("full");
  clientFolder(nullptr, "empty");
  ASSERT_EQ(42u, std::size(kForwarders));
  ForwarderArguments a;
  // A holder's reference serves every call, direct ones included, and nothing loads again. The
  // forwarder of the one optional entry point the client lacks answers like an unavailable
  // client rather than call through a null pointer.
  const std::string partial = clientFolder("without_clear_cache_ex", "partial");
  ASSERT_EQ(kUpdateClientLoaded, loadUpdateClient(partial.c_str(), nullptr));
  EXPECT_EQ(44, cb::boundEntryCount());
  for (const Forwarder& f : kForwarders) {
    OrvelProbe::reset();
    const bool lacking = std::strcmp(f.name, "QxuClearCacheEx") == 0;
    EXPECT_EQ(lacking ? kUpdateClientUnavailable : 1000 + f.number, f.invoke(a)) << f.name;
    EXPECT_EQ(lacking ? Calls{} : Calls{f.report(a)}, OrvelProbe::record().calls);
    EXPECT_EQ(1u, cb::referenceCount()) << f.name << " kept a reference";
  }
  EXPECT_EQ(1ul, loadsSinceSetUp());
  releaseUpdateClient();

  // Nothing held: a counted forwarder loads the client of the current folder for its call alone,
  // or answers 53 (a text: none) and calls nothing; a direct one answers 0 and never loads.
  for (const std::string folder : {"bin", "empty"}) {
    CurrentFolder current(m_dir / folder);
    const bool loads = folder == "bin";
    for (const Forwarder& f : kForwarders) {
      OrvelProbe::reset();
      const bool reaches = loads && !direct(f.name);
      const bool noText = direct(f.name) || std::strcmp(f.name, "QxuGetErrorString") == 0;
      EXPECT_EQ(reaches  ? 1000 + f.number
                : noText ? 0
                         : kUpdateClientUnavailable,
                f.invoke(a))
          << folder << ": " << f.name;
      Calls expected = loadProperties(bin, bin);
      expected.push_back(f.report(a));
      EXPECT_EQ(reaches ? expected : Calls{}, OrvelProbe::record().calls)
          << folder << ": " << f.name;
      EXPECT_FALSE(cb::clientLoaded()) << "the client goes with the call";
    }
    const QxuVersionBuild made = ORVEL::QxuMakeVersionBuild("5.763.1");
    EXPECT_EQ(loads ? 763u : 0u, made.uiMinor) << "no version is made up";
    EXPECT_EQ(loads ? 6u : 0u, made.uiMajor + made.uiBuild);
    EXPECT_EQ(1 + 39ul, loadsSinceSetUp()) << "one load for each counted call";
  }
  EXPECT_STREQ("", ORVEL::QxuGetVersion());
  EXPECT_EQ(nullptr, ORVEL::QxuCreateContext(0));
}
