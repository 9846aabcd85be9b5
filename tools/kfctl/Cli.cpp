#include "Cli.h"

#include <cerrno>
#include <cstdlib>

namespace Kfctl {

namespace {

const char* const kWords[kfComponentCount] = {
    "virus-engine",      "virus-pattern",   "spyware-pattern",   "lurebox-pattern",
    "lurebox-exception", "antispam-engine", "spam-pattern",      "spam-incremental-pattern",
    "url-filter-engine", "dexa-engine",     "cloudsift-pattern",
};

int componentNumber(const std::string& word) {
  for (int type = 0; type < kfComponentCount; ++type)
    if (word == kWords[type]) return type;
  char* end = nullptr;
  errno = 0;
  const long n = std::strtol(word.c_str(), &end, 10);
  if (word.empty() || *end != '\0' || errno != 0 || !kfIsKnownType(static_cast<int>(n))) return -1;
  return static_cast<int>(n);
}

}  // namespace

Exit exitOf(QxUpdateRet result) {
  switch (result) {
    case UP_TO_DATE:
    case SUCCESS:
      return kExitOk;
    case NOT_DUE:
      return kExitNotDue;
    case ROLLBACK_UNAVAILABLE:
      return kExitRollbackUnavailable;
    case SOURCE_NOT_FOUND:
      return kExitNotFound;
    default:
      return kExitFailed;
  }
}

Arguments::Arguments(int argc, char** argv, const std::vector<std::string>& flags) {
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "-v" || arg == "-h") {
      m_options[arg == "-v" ? "--verbose" : "--help"] = "";
    } else if (arg.rfind("--", 0) == 0 && arg.size() > 2) {
      bool flag = false;
      for (const std::string& f : flags) flag = flag || f == arg;
      if (!flag && i + 1 >= argc) throw UsageError(arg + " needs a value");
      m_options[arg] = flag ? "" : argv[++i];
    } else if (m_command.empty()) {
      m_command = arg;
    } else {
      m_words.push_back(arg);
    }
  }
}

std::string Arguments::value(const std::string& option, const std::string& otherwise) const {
  const auto found = m_options.find(option);
  return found == m_options.end() ? otherwise : found->second;
}

long Arguments::number(const std::string& option, long otherwise, long max) const {
  if (!has(option)) return otherwise;
  const std::string text = value(option);
  char* end = nullptr;
  errno = 0;
  const long n = std::strtol(text.c_str(), &end, 10);
  if (text.empty() || *end != '\0' || errno != 0 || n < 0 || n > max)
    throw UsageError(option + " needs a whole number from 0 to " + std::to_string(max) +
                     ", not \"" + text + "\"");
  return n;
}

void Arguments::allow(const std::vector<std::string>& known) const {
  for (const auto& [option, value] : m_options) {
    bool found =
        option == "--home" || option == "--json" || option == "--verbose" || option == "--help";
    for (const std::string& k : known) found = found || k == option;
    if (!found) throw UsageError("kfctl " + m_command + " has no option " + option);
  }
}

std::vector<QxUpdateType> components(const std::vector<std::string>& words, bool withPatch) {
  std::vector<QxUpdateType> chosen;
  for (const std::string& word : words) {
    if (word == "all") {
      for (int type = 0; type < kfComponentCount; ++type)
        if (type != QXASE_PATCH) chosen.push_back(static_cast<QxUpdateType>(type));
      continue;
    }
    const int type = componentNumber(word);
    if (type < 0 || (type == QXASE_PATCH && !withPatch))
      throw UsageError("unknown component \"" + word + "\" (see kfctl --help)");
    chosen.push_back(static_cast<QxUpdateType>(type));
  }
  if (chosen.empty()) throw UsageError("name a component, or all");
  return chosen;
}

bool isEngine(int type) {
  return type == SCAN_ENGINE || type == QXASE_ENGINE || type == QXUFE_ENGINE || type == DEXA_ENGINE;
}

const char* componentWord(int type) { return kfIsKnownType(type) ? kWords[type] : "?"; }

}  // namespace Kfctl
