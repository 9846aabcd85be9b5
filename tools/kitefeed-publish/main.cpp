// kitefeed-publish: makes signing keys and builds a signed update feed folder.
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "Publisher.h"

namespace {

const char* const kUsage =
    "usage:\n"
    "  kitefeed-publish keygen PRIVATE_KEY_FILE PUBLIC_KEY_FILE\n"
    "  kitefeed-publish add FEED_FOLDER --class 2|3 --id N --version V\n"
    "        [--platform N] [--languages MASK] [--keep N] [--level N] FILE...\n"
    "  kitefeed-publish sign FEED_FOLDER --key PRIVATE_KEY_FILE [--name FEED_NAME]\n"
    "        [--valid-seconds N]\n"
    "  kitefeed-publish list FEED_FOLDER\n"
    "Numbers may be written in hexadecimal with 0x. Defaults: platform 0x101 (Linux),\n"
    "languages 0xffffffff (all), keep 3 versions, level 19, valid 604800 s (7 days).\n"
    "The first sign of a feed needs --name; the feed keeps that name.\n";

struct UsageError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

unsigned long long number(const std::string& option, const std::string& text) {
  char* end = nullptr;
  errno = 0;
  const unsigned long long n = std::strtoull(text.c_str(), &end, 0);
  if (text.empty() || *end != '\0' || errno != 0 || text[0] == '-')
    throw UsageError(option + " needs a number, not \"" + text + "\"");
  return n;
}

std::uint32_t word(const std::string& option, const std::string& text) {
  const unsigned long long n = number(option, text);
  if (n > 0xFFFFFFFFULL) throw UsageError(option + " must fit in 32 bits");
  return static_cast<std::uint32_t>(n);
}

// Splits "--name value" pairs from the remaining plain arguments.
struct Arguments {
  std::vector<std::pair<std::string, std::string>> options;
  std::vector<std::string> plain;
};

Arguments parse(int argc, char** argv, int first) {
  Arguments a;
  for (int i = first; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg.rfind("--", 0) == 0) {
      if (i + 1 >= argc) throw UsageError(arg + " needs a value");
      a.options.emplace_back(arg, argv[++i]);
    } else {
      a.plain.push_back(arg);
    }
  }
  return a;
}

int keygen(const Arguments& a) {
  if (a.plain.size() != 2 || !a.options.empty()) throw UsageError("keygen takes two file names");
  std::string publicHex, why;
  if (!KiteFeed::makeKeyFiles(a.plain[0], a.plain[1], &publicHex, &why)) {
    std::cerr << "kitefeed-publish: " << why << "\n";
    return 1;
  }
  std::cout << "public key " << publicHex << "\n";
  return 0;
}

int add(const std::string& feed, const Arguments& a) {
  KiteFeed::AddRequest request;
  bool haveClass = false, haveId = false;
  for (const auto& [name, value] : a.options) {
    if (name == "--class")
      request.itemClass = word(name, value), haveClass = true;
    else if (name == "--id")
      request.id = word(name, value), haveId = true;
    else if (name == "--version")
      request.version = value;
    else if (name == "--platform")
      request.platform = word(name, value);
    else if (name == "--languages")
      request.languages = word(name, value);
    else if (name == "--keep")
      request.keep = word(name, value);
    else if (name == "--level")
      request.level = static_cast<int>(word(name, value));
    else
      throw UsageError("unknown option " + name);
  }
  if (!haveClass || !haveId || request.version.empty())
    throw UsageError("add needs --class, --id and --version");
  request.files = a.plain;
  const KiteFeed::AddResult result = KiteFeed::Publisher(feed).add(request);
  std::cout << "added version " << request.version << " with " << request.files.size()
            << " files and " << result.deltas << " deltas\n";
  for (const std::string& v : result.pruned) std::cout << "dropped version " << v << "\n";
  return 0;
}

int sign(const std::string& feed, const Arguments& a) {
  std::string keyFile, feedName;
  long long valid = 7 * 24 * 3600;
  for (const auto& [name, value] : a.options) {
    if (name == "--key")
      keyFile = value;
    else if (name == "--name")
      feedName = value;
    else if (name == "--valid-seconds")
      valid = static_cast<long long>(number(name, value));
    else
      throw UsageError("unknown option " + name);
  }
  if (keyFile.empty() || !a.plain.empty()) throw UsageError("sign needs --key and nothing else");
  std::ifstream in(keyFile, std::ios::binary);
  if (!in) throw KiteFeed::PublishError("cannot read " + keyFile);
  std::ostringstream pem;
  pem << in.rdbuf();
  const std::uint64_t serial =
      KiteFeed::Publisher(feed).sign(pem.str(), feedName, valid, std::time(nullptr));
  std::cout << "signed index serial " << serial << "\n";
  return 0;
}

int run(int argc, char** argv) {
  if (argc < 3) throw UsageError("missing command or folder");
  const std::string command = argv[1];
  if (command == "keygen") return keygen(parse(argc, argv, 2));
  const std::string feed = argv[2];
  const Arguments a = parse(argc, argv, 3);
  if (command == "add") return add(feed, a);
  if (command == "sign") return sign(feed, a);
  if (command == "list" && a.options.empty() && a.plain.empty()) {
    for (const std::string& line : KiteFeed::Publisher(feed).list()) std::cout << line << "\n";
    return 0;
  }
  throw UsageError("unknown command " + command);
}

}  // namespace

int main(int argc, char** argv) {
  try {
    return run(argc, argv);
  } catch (const UsageError& e) {
    std::cerr << "kitefeed-publish: " << e.what() << "\n" << kUsage;
    return 2;
  } catch (const std::exception& e) {
    std::cerr << "kitefeed-publish: " << e.what() << "\n";
    return 1;
  }
}
