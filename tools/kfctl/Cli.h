// kfctl's command line: global options, the subcommand and its own options, and exit codes.
#pragma once

#include <map>
#include <stdexcept>
#include <string>
#include <vector>

#include "OrvelKF/QxUpdateCatalogue.h"

namespace Kfctl {

// Exit codes, the same for every subcommand.
enum Exit : int {
  kExitOk = 0,  // success, or up to date
  kExitFailed = 1,
  kExitUsage = 2,
  kExitNotDue = 3,
  kExitRollbackUnavailable = 4,
  kExitNotFound = 5,  // the update source does not offer the component
};

Exit exitOf(QxUpdateRet result);

// The exit code of a run of several components: that of the first one that did not succeed.
struct Outcome {
  Exit code = kExitOk;
  void add(QxUpdateRet result) {
    if (code == kExitOk) code = exitOf(result);
  }
};

struct UsageError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// A subcommand's words after the name, and the options given anywhere on the line.
class Arguments {
 public:
  // flags: options without a value; every other "--name" takes the next word.
  Arguments(int argc, char** argv, const std::vector<std::string>& flags);

  const std::string& command() const { return m_command; }
  const std::vector<std::string>& words() const { return m_words; }
  bool has(const std::string& option) const { return m_options.count(option) != 0; }
  std::string value(const std::string& option, const std::string& otherwise = "") const;
  // A whole number of at most max, or otherwise when the option is not given.
  long number(const std::string& option, long otherwise, long max) const;
  // Refuses options the subcommand does not know.
  void allow(const std::vector<std::string>& known) const;

 private:
  std::string m_command;
  std::vector<std::string> m_words;
  std::map<std::string, std::string> m_options;
};

// Components named by word ("virus-pattern") or number, or "all". The spam incremental pattern
// only where it may stand alone (withPatch).
std::vector<QxUpdateType> components(const std::vector<std::string>& words, bool withPatch);
const char* componentWord(int type);
// The four scan engines (the others are patterns).
bool isEngine(int type);

}  // namespace Kfctl
