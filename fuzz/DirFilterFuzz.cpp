// The folder listing's name filter against a plain backtracking matcher of the same rules ("*"
// any run, "?" one byte, ASCII letters without regard to case, the whole name).
#include <string>
#include <vector>

#include "FuzzSupport.h"
#include "OrvelFileOpInternal.h"

namespace {

char lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

// matches[n][f]: the name from n on matches the filter from f on.
bool reference(const std::string& name, const std::string& filter) {
  std::vector<std::vector<char>> matches(name.size() + 1, std::vector<char>(filter.size() + 1, 0));
  matches[name.size()][filter.size()] = 1;
  for (std::size_t n = name.size() + 1; n-- > 0;) {
    for (std::size_t f = filter.size(); f-- > 0;) {
      if (filter[f] == '*')
        matches[n][f] = matches[n][f + 1] || (n < name.size() && matches[n + 1][f]);
      else
        matches[n][f] = n < name.size() &&
                        (filter[f] == '?' || lower(filter[f]) == lower(name[n])) &&
                        matches[n + 1][f + 1];
    }
  }
  return matches[0][0];
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::vector<std::string> pieces = OrvelFuzz::pieces(data, size, 2);
  const std::string &name = pieces[0], &filter = pieces[1];
  if (name.size() > 512 || filter.size() > 512) return 0;  // the reference is quadratic
  OrvelFuzz::require(
      OrvelFileOpUtil::detail::matchesFilter(name, filter) == reference(name, filter),
      "the filter matches as the rules say");
  return 0;
}
