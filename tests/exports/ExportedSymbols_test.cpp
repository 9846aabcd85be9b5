// The engines and the update client export exactly their C entry points, and the libraries none
// of the client's names.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <regex>
#include <set>
#include <string>

namespace {

// The dynamic symbols the shared object defines, demangled, as "nm -D --defined-only" lists them;
// without the names the link editor may put into any shared object.
std::set<std::string> exportedSymbols(const std::string& path) {
  std::set<std::string> names;
  FILE* pipe = ::popen(("nm -D --defined-only -C -j '" + path + "'").c_str(), "r");
  char line[8192];
  while (pipe && std::fgets(line, sizeof line, pipe))
    names.insert(std::string(line, std::strcspn(line, "\n")));
  EXPECT_TRUE(pipe && ::pclose(pipe) == 0) << "nm failed on " << path;
  for (const char* toolchain : {"_init", "_fini"}) names.erase(toolchain);
  return names;
}

// The functions a C header declares with the prefix: lines that begin "type name(" (not comments,
// macros or typedefs of function pointers).
std::set<std::string> declaredFunctions(const std::string& header, const std::string& prefix) {
  static const std::regex declaration("^[A-Za-z][^(]*[ *]([A-Za-z_]\\w*)\\(");
  std::set<std::string> names;
  std::ifstream in(std::string(ORVEL_SOURCE_DIR) + "/" + header);
  std::smatch match;
  for (std::string line; std::getline(in, line);)
    if (std::regex_search(line, match, declaration) && match.str(1).rfind(prefix, 0) == 0)
      names.insert(match.str(1));
  return names;
}

TEST(ExportedSymbols, PluginsExportExactlyTheirCEntryPointsAndLibrariesNoneOfTheClients) {
  const char* const kClientHeader = "include/OrvelKF/QxUpdateClient.h";
  const char* const kEngineHeader = "engines/include/OrvelEngines/EngineExports.h";
  const struct {
    const char *file, *header, *prefix;
  } plugins[] = {{ORVEL_CLIENT_SO, kClientHeader, ""},
                 {ORVEL_ZIRAN_SO, kEngineHeader, "ZR"},
                 {ORVEL_DEXA_SO, kEngineHeader, "ZR"},
                 {ORVEL_QXUFE_SO, kEngineHeader, "QX_UF_"},
                 {ORVEL_QXASE_SO, kEngineHeader, "QX_AS_"}};
  for (const auto& plugin : plugins)
    EXPECT_EQ(declaredFunctions(plugin.header, plugin.prefix), exportedSymbols(plugin.file))
        << plugin.file;

  // No library of the process that loads the update client may export the client's C names:
  // they would capture the client's calls to its own entry points.
  const std::set<std::string> clientNames = declaredFunctions(kClientHeader, "");
  for (const char* library : {ORVEL_PLATFORM_SO, ORVEL_COMMON_SO, ORVEL_KF_SO})
    for (const std::string& name : exportedSymbols(library))
      EXPECT_EQ(0u, clientNames.count(name)) << library << " exports the client's " << name;
}

}  // namespace
