// The shared objects export their public interface and nothing of their insides: the libraries
// what their public headers declare, the engines and the update client their C entry points.
#include <gtest/gtest.h>

#include <cctype>
#include <cstdio>
#include <fstream>
#include <set>
#include <string>
#include <vector>

namespace {

// The dynamic symbols the shared object defines, demangled, as "nm -D --defined-only" lists them.
std::set<std::string> exportedSymbols(const std::string& path) {
  std::set<std::string> names;
  FILE* pipe = ::popen(("nm -D --defined-only -C '" + path + "'").c_str(), "r");
  if (!pipe) {
    ADD_FAILURE() << "cannot run nm";
    return names;
  }
  char line[8192];
  while (std::fgets(line, sizeof line, pipe)) {
    std::string text(line);
    if (!text.empty() && text.back() == '\n') text.pop_back();
    const std::size_t type = text.find(' ');
    const std::size_t name = type == std::string::npos ? type : text.find(' ', type + 1);
    if (name != std::string::npos) names.insert(text.substr(name + 1));
  }
  EXPECT_EQ(0, ::pclose(pipe)) << "nm failed on " << path;
  return names;
}

// The name a line of a C header declares when it begins "type name(": the identifier just before
// the first "("; empty for any other line (comments, macros, typedefs of function pointers).
std::string declaredName(const std::string& line) {
  const auto isNameChar = [](char c) {
    return std::isalnum(static_cast<unsigned char>(c)) || c == '_';
  };
  const std::size_t paren = line.find('(');
  if (line.empty() || !std::isalpha(static_cast<unsigned char>(line[0])) ||
      paren == std::string::npos)
    return "";
  std::size_t begin = paren;
  while (begin > 0 && isNameChar(line[begin - 1])) --begin;
  if (begin == 0 || begin == paren || (line[begin - 1] != ' ' && line[begin - 1] != '*')) return "";
  return line.substr(begin, paren - begin);
}

// The functions a C header declares with the prefix.
std::set<std::string> declaredFunctions(const std::string& header, const std::string& prefix) {
  std::set<std::string> names;
  std::ifstream in(std::string(ORVEL_SOURCE_DIR) + "/" + header);
  EXPECT_TRUE(in.good()) << header;
  for (std::string line; std::getline(in, line);) {
    const std::string name = declaredName(line);
    if (!name.empty() && name.rfind(prefix, 0) == 0) names.insert(name);
  }
  return names;
}

// Names the link editor may put into any shared object.
bool addedByToolchain(const std::string& name) { return name == "_init" || name == "_fini"; }

TEST(ExportedSymbols, PluginsExportTheirCEntryPointsOnly) {
  const char* const kClientHeader = "include/OrvelKF/QxUpdateClient.h";
  const char* const kEngineHeader = "engines/include/OrvelEngines/EngineExports.h";
  struct Plugin {
    const char* file;
    const char* header;
    const char* prefix;
    std::size_t entryPoints;
  };
  const Plugin plugins[] = {
      {ORVEL_CLIENT_SO, kClientHeader, "", 45},     {ORVEL_ZIRAN_SO, kEngineHeader, "ZR", 7},
      {ORVEL_DEXA_SO, kEngineHeader, "ZR", 7},      {ORVEL_QXUFE_SO, kEngineHeader, "QX_UF_", 3},
      {ORVEL_QXASE_SO, kEngineHeader, "QX_AS_", 6},
  };
  for (const Plugin& plugin : plugins) {
    SCOPED_TRACE(plugin.file);
    const std::set<std::string> declared = declaredFunctions(plugin.header, plugin.prefix);
    EXPECT_EQ(plugin.entryPoints, declared.size());
    std::set<std::string> exported = exportedSymbols(plugin.file);
    for (auto it = exported.begin(); it != exported.end();)
      it = addedByToolchain(*it) ? exported.erase(it) : std::next(it);
    EXPECT_EQ(declared, exported);
  }
}

bool anyContains(const std::set<std::string>& names, const std::string& part) {
  for (const std::string& name : names)
    if (name.find(part) != std::string::npos) return true;
  return false;
}

TEST(ExportedSymbols, LibrariesExportTheirPublicInterfaceOnly) {
  struct Library {
    const char* file;
    std::vector<const char*> present;  // parts of names that public headers declare
    std::vector<const char*> absent;   // parts of names of the library's insides
  };
  const Library libraries[] = {
      {ORVEL_PLATFORM_SO,
       {"OrvelPlatform::toOsPath[abi:cxx11](char const*)",
        "OrvelPlatform::NamedMutex::acquire(char const*)",
        "OrvelPlatform::loadLibrary(char const*)", "OrvelPlatform::setClock(",
        "typeinfo for OrvelPlatform::Clock", "OrvelPlatform::errorText[abi:cxx11](int)"},
       {}},
      {ORVEL_COMMON_SO,
       {"ORVEL::Log::LogByLevel(", "ORVEL::boundedCopy(", "ORVEL::QxDBConnection::connect(",
        "vtable for ORVEL::QxDBStatement", "typeinfo for ORVEL::Blob", "LockFileLock::lock()",
        "OrvelConfigFileManager::getAdminDBSetting(", "ORVEL::NewDecryptStr(char*)",
        "ORVEL::DirectoryReaderA::GetNextEntry()", "ORVEL::QxResbundle::format("},
       {"ORVEL::Sqlite", "ORVEL::Pg", "ORVEL::DBSession", "ORVEL::openSqliteSession",
        "ORVEL::openPostgresSession", "ORVEL::numberPlaceholders", "ORVEL::parseDateTimeText"}},
      {ORVEL_KF_SO,
       {"QxUpdate::Instance(QxUpdateKind)", "QxUpdate::m_cpntname", "QxUpdateInit::Init(",
        "KFBlobManager::CmpVersion(", "ORVEL::QxDBAgent::ms_dsn",
        "ORVEL::KFNotifyUtil::replaceToken(", "ORVEL::_unzip(char*, char*)",
        "OrvelFileOpUtil::copy(", "OrvelFileOpUtil::QxDirList::getNext[abi:cxx11]()",
        "getVerByNumber(", "loadUpdateClient(char const*, char const*)", "ORVEL::QxuUpdateEx("},
       {"OrvelFileOpUtil::detail::", "ORVEL::clientbinding::", "kfSplitVersion(",
        "QxEngineCalls::"}},
  };
  // The update client's C names above all: exported by a library of the process that loads the
  // client, they would capture the client's calls to its own entry points.
  const std::set<std::string> clientNames =
      declaredFunctions("include/OrvelKF/QxUpdateClient.h", "");
  for (const Library& library : libraries) {
    SCOPED_TRACE(library.file);
    const std::set<std::string> exported = exportedSymbols(library.file);
    for (const char* name : library.present) EXPECT_TRUE(anyContains(exported, name)) << name;
    for (const char* name : library.absent) EXPECT_FALSE(anyContains(exported, name)) << name;
    for (const std::string& name : exported)
      EXPECT_EQ(0u, clientNames.count(name)) << "an entry point of the client: " << name;
  }
}

}  // namespace
