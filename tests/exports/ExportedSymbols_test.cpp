// The shared objects export their public interface and nothing of their insides: the libraries
// what their public headers declare, the engines and the update client their C entry points.
#include <gtest/gtest.h>

#include <cctype>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <set>
#include <string>
#include <vector>

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

// The name a line of a C header declares when it begins "type name(": the identifier just before
// the first "(" (not comments, macros or typedefs of function pointers); "" for other lines.
std::string declaredName(const std::string& line) {
  const std::size_t paren = line.find('(');
  if (line.empty() || !std::isalpha(static_cast<unsigned char>(line[0])) ||
      paren == std::string::npos)
    return "";
  std::size_t start = paren;
  while (start > 0 &&
         (std::isalnum(static_cast<unsigned char>(line[start - 1])) || line[start - 1] == '_'))
    --start;
  const bool typed =
      start > 0 && start < paren && (line[start - 1] == ' ' || line[start - 1] == '*');
  return typed ? line.substr(start, paren - start) : "";
}

// The functions a C header declares with the prefix.
std::set<std::string> declaredFunctions(const std::string& header, const std::string& prefix) {
  std::set<std::string> names;
  std::ifstream in(std::string(ORVEL_SOURCE_DIR) + "/" + header);
  for (std::string line; std::getline(in, line);) {
    const std::string name = declaredName(line);
    if (!name.empty() && name.rfind(prefix, 0) == 0) names.insert(name);
  }
  return names;
}

TEST(ExportedSymbols, PluginsExportTheirCEntryPointsAndLibrariesTheirPublicInterfaceOnly) {
  const char* const kClientHeader = "include/OrvelKF/QxUpdateClient.h";
  const char* const kEngineHeader = "engines/include/OrvelEngines/EngineExports.h";
  const struct {
    const char *file, *header, *prefix;
    std::size_t entryPoints;
  } plugins[] = {
      {ORVEL_CLIENT_SO, kClientHeader, "", 45},     {ORVEL_ZIRAN_SO, kEngineHeader, "ZR", 7},
      {ORVEL_DEXA_SO, kEngineHeader, "ZR", 7},      {ORVEL_QXUFE_SO, kEngineHeader, "QX_UF_", 3},
      {ORVEL_QXASE_SO, kEngineHeader, "QX_AS_", 6},
  };
  for (const auto& plugin : plugins) {
    const std::set<std::string> declared = declaredFunctions(plugin.header, plugin.prefix);
    EXPECT_EQ(plugin.entryPoints, declared.size()) << plugin.header;
    EXPECT_EQ(declared, exportedSymbols(plugin.file)) << plugin.file;
  }

  // Parts of names that public headers declare, and of names of the library's insides.
  const struct {
    const char* file;
    std::vector<const char*> present, absent;
  } libraries[] = {
      {ORVEL_PLATFORM_SO,
       {"OrvelPlatform::NamedMutex::acquire(char const*)", "typeinfo for OrvelPlatform::Clock"},
       {}},
      {ORVEL_COMMON_SO,
       {"ORVEL::QxDBConnection::connect(", "vtable for ORVEL::QxDBStatement",
        "LockFileLock::lock()"},
       {"ORVEL::Sqlite", "ORVEL::Pg", "ORVEL::DBSession", "ORVEL::numberPlaceholders"}},
      {ORVEL_KF_SO,
       {"QxUpdate::Instance(QxUpdateKind)", "QxUpdateInit::Init(",
        "loadUpdateClient(char const*, char const*)", "ORVEL::QxuUpdateEx("},
       {"OrvelFileOpUtil::detail::", "ORVEL::clientbinding::", "kfSplitVersion(",
        "QxEngineCalls::"}},
  };
  // The update client's C names above all: exported by a library of the process that loads the
  // client, they would capture the client's calls to its own entry points.
  const std::set<std::string> clientNames = declaredFunctions(kClientHeader, "");
  for (const auto& library : libraries) {
    std::string all;  // every exported name on a line of its own
    for (const std::string& name : exportedSymbols(library.file)) {
      all += "\n" + name;
      EXPECT_EQ(0u, clientNames.count(name)) << library.file << " exports the client's " << name;
    }
    for (const char* name : library.present) EXPECT_NE(all.npos, all.find(name)) << name;
    for (const char* name : library.absent) EXPECT_EQ(all.npos, all.find(name)) << name;
  }
}

}  // namespace
