// kfpattern: makes pattern and rule files of the reference engines' formats, of a given version
// and size, and checks them. For tests, the demo, benchmarks and feeds.
//
//   kfpattern pattern KIND INTERNAL_VERSION [--number N] [--size BYTES] [--out DIR]
//   kfpattern rules BASE [--incrementals N] [--size BYTES] [--out DIR]
//   kfpattern check FILE...
//
// KIND is virus, spyware, lurebox, lurebox-exception or cloudsift. The pattern number defaults to
// the internal version divided by 100 (576300 is ksv$pat.5763).
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>

#include "OrvelEngines/EngineFiles.h"

using namespace OrvelEngines;

namespace {

struct Options {
  std::string out = ".";
  unsigned long long size = 4096;
  long number = -1;
  unsigned long incrementals = 0;
};

int usage() {
  std::fputs(
      "usage: kfpattern pattern KIND INTERNAL_VERSION [--number N] [--size BYTES] [--out DIR]\n"
      "       kfpattern rules BASE [--incrementals N] [--size BYTES] [--out DIR]\n"
      "       kfpattern check FILE...\n"
      "KIND: virus, spyware, lurebox, lurebox-exception, cloudsift\n",
      stderr);
  return 2;
}

bool parseNumber(const char* text, unsigned long long& value) {
  char* end = nullptr;
  errno = 0;
  value = std::strtoull(text, &end, 10);
  return *text && *end == '\0' && errno == 0 && text[0] != '-';
}

bool parseOptions(int argc, char** argv, int first, Options& options) {
  for (int i = first; i < argc; i += 2) {
    if (i + 1 >= argc) return false;
    unsigned long long value = 0;
    const std::string name = argv[i];
    if (name == "--out") {
      options.out = argv[i + 1];
    } else if (!parseNumber(argv[i + 1], value)) {
      return false;
    } else if (name == "--size") {
      options.size = value;
    } else if (name == "--number" && value <= 65535) {
      options.number = static_cast<long>(value);
    } else if (name == "--incrementals" && value <= kMaxIncremental) {
      options.incrementals = static_cast<unsigned long>(value);
    } else {
      return false;
    }
  }
  return true;
}

int report(FileCheck check, const std::string& what) {
  if (check == FileCheck::kOk) {
    std::printf("%s\n", what.c_str());
    return 0;
  }
  std::fprintf(stderr, "kfpattern: %s: %s\n", what.c_str(), fileCheckText(check));
  return 1;
}

int makePattern(int argc, char** argv) {
  static const std::map<std::string, PatternKind> kinds = {
      {"virus", PatternKind::kVirus},         {"spyware", PatternKind::kSpyware},
      {"lurebox", PatternKind::kLurebox},     {"lurebox-exception", PatternKind::kLureboxException},
      {"cloudsift", PatternKind::kCloudsift},
  };
  Options options;
  unsigned long long internal = 0;
  if (argc < 4 || !kinds.count(argv[2]) || !parseNumber(argv[3], internal) ||
      internal > 0xFFFFFFFFull || !parseOptions(argc, argv, 4, options))
    return usage();
  const unsigned long long number = options.number >= 0 ? options.number : internal / 100;
  if (number > 65535) {
    std::fputs("kfpattern: the pattern number does not fit 16 bits; give --number\n", stderr);
    return 2;
  }
  std::string path;
  const FileCheck written =
      writePatternFile(options.out, kinds.at(argv[2]), static_cast<std::uint32_t>(internal),
                       static_cast<std::uint16_t>(number), options.size, &path);
  return report(written, path);
}

int makeRules(int argc, char** argv) {
  Options options;
  unsigned long long base = 0;
  if (argc < 3 || !parseNumber(argv[2], base) || base > kMaxRuleBase ||
      !parseOptions(argc, argv, 3, options))
    return usage();
  const FileCheck written = writeRuleSet(options.out, static_cast<unsigned>(base),
                                         static_cast<unsigned>(options.incrementals), options.size);
  return report(written,
                options.out + "/" + ruleFileName(RuleKind::kBase, static_cast<unsigned>(base)));
}

int check(int argc, char** argv) {
  int failures = 0;
  for (int i = 2; i < argc; ++i) {
    PatternInfo info;
    RuleName rule{};
    const std::string path = argv[i];
    const std::string name = path.substr(path.find_last_of('/') + 1);
    const FileCheck result =
        parseRuleFileName(name, rule) ? checkRuleFile(path) : checkPatternFile(path, info, true);
    std::printf("%s: %s\n", path.c_str(), fileCheckText(result));
    if (result != FileCheck::kOk) ++failures;
  }
  return argc < 3 ? usage() : (failures ? 1 : 0);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return usage();
  const std::string command = argv[1];
  if (command == "pattern") return makePattern(argc, argv);
  if (command == "rules") return makeRules(argc, argv);
  if (command == "check") return check(argc, argv);
  return usage();
}
