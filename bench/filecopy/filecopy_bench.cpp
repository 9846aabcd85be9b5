// Compares the throughput of OrvelFileOpUtil::copy with cp on one large file.
//
//   orvel_bench_filecopy [--dir FOLDER] [--size-mib N] [--rounds N]
//
// The scratch folder is made below FOLDER (default $TMPDIR, else /tmp) and removed at the end.
// Rounds alternate between the two copiers so that both meet the same disk and cache state;
// the destination is removed and dirty pages are written back (untimed) before every round.
// Neither copier syncs its output, so both are timed the same way.
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "BenchSupport.h"
#include "OrvelKF/OrvelFileOpUtil.h"

extern char** environ;

namespace {

using OrvelBench::median;

struct Options {
  std::string baseDir;
  std::uint64_t sizeMib = 1024;
  int rounds = 5;
};

bool parseOptions(int argc, char** argv, Options* options) {
  const char* tmp = std::getenv("TMPDIR");
  options->baseDir = tmp && *tmp ? tmp : "/tmp";
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string name = argv[i];
    if (name == "--dir") {
      options->baseDir = argv[i + 1];
    } else if (name == "--size-mib") {
      options->sizeMib = std::strtoull(argv[i + 1], nullptr, 10);
    } else if (name == "--rounds") {
      options->rounds = std::atoi(argv[i + 1]);
    } else {
      return false;
    }
  }
  return argc % 2 == 1 && options->sizeMib > 0 && options->rounds > 0;
}

// Incompressible content, so that no layer can shortcut the copy.
bool writeSourceFile(const std::string& path, std::uint64_t sizeMib) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  std::vector<std::uint64_t> block(1024 * 1024 / sizeof(std::uint64_t));
  std::uint64_t state = 0x9E3779B97F4A7C15ull;
  for (std::uint64_t mib = 0; mib < sizeMib && out; ++mib) {
    for (std::uint64_t& word : block) {
      state ^= state << 13;
      state ^= state >> 7;
      state ^= state << 17;
      word = state;
    }
    out.write(reinterpret_cast<const char*>(block.data()),
              static_cast<std::streamsize>(block.size() * sizeof(std::uint64_t)));
  }
  return static_cast<bool>(out);
}

bool runCp(const std::string& source, const std::string& destination) {
  const char* argv[] = {"cp", source.c_str(), destination.c_str(), nullptr};
  pid_t child;
  if (posix_spawnp(&child, "cp", nullptr, nullptr, const_cast<char**>(argv), environ) != 0) {
    return false;
  }
  int status = 0;
  return waitpid(child, &status, 0) == child && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

template <typename CopyFn>
double timedSeconds(CopyFn copyFn, bool* ok) {
  const auto start = std::chrono::steady_clock::now();
  *ok = copyFn();
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

void report(const char* name, const std::vector<double>& seconds, double mib) {
  std::printf("%-22s best %8.1f MiB/s   median %8.1f MiB/s\n", name,
              mib / *std::min_element(seconds.begin(), seconds.end()), mib / median(seconds));
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  if (!parseOptions(argc, argv, &options)) {
    std::fprintf(stderr, "usage: %s [--dir FOLDER] [--size-mib N] [--rounds N]\n", argv[0]);
    return 2;
  }
  std::string pattern = options.baseDir + "/orvel-bench-filecopy-XXXXXX";
  if (mkdtemp(pattern.data()) == nullptr) {
    std::perror("mkdtemp");
    return 1;
  }
  const std::string scratch = pattern;
  const std::string source = scratch + "/source.bin";
  const std::string destination = scratch + "/copy.bin";
  int exitCode = 0;

  std::printf("scratch %s, file %llu MiB, %d rounds each\n", scratch.c_str(),
              static_cast<unsigned long long>(options.sizeMib), options.rounds);
  if (!writeSourceFile(source, options.sizeMib)) {
    std::fprintf(stderr, "cannot write %s\n", source.c_str());
    exitCode = 1;
  }
  std::vector<double> oursSeconds;
  std::vector<double> cpSeconds;
  for (int round = 0; exitCode == 0 && round < options.rounds; ++round) {
    for (const bool ours : {true, false}) {
      std::filesystem::remove(destination);
      ::sync();
      bool ok = false;
      const double seconds =
          ours ? timedSeconds(
                     [&] {
                       return OrvelFileOpUtil::copy(source.c_str(), destination.c_str(), true) ==
                              OrvelFileOpUtil::kOk;
                     },
                     &ok)
               : timedSeconds([&] { return runCp(source, destination); }, &ok);
      if (ok && round == 0) ok = OrvelFileOpUtil::comp(source.c_str(), destination.c_str());
      if (!ok) {
        std::fprintf(stderr, "%s failed in round %d\n", ours ? "copy" : "cp", round);
        exitCode = 1;
        break;
      }
      (ours ? oursSeconds : cpSeconds).push_back(seconds);
    }
  }
  if (exitCode == 0) {
    const double mib = static_cast<double>(options.sizeMib);
    report("OrvelFileOpUtil::copy", oursSeconds, mib);
    report("cp", cpSeconds, mib);
    std::printf("ratio copy/cp          best %.2f   median %.2f\n",
                *std::min_element(cpSeconds.begin(), cpSeconds.end()) /
                    *std::min_element(oursSeconds.begin(), oursSeconds.end()),
                median(cpSeconds) / median(oursSeconds));
    OrvelBench::figure("OrvelFileOpUtil::copy of " + std::to_string(options.sizeMib) + " MiB",
                       mib / median(oursSeconds), mib / median(cpSeconds), "MiB/s");
  }
  std::error_code ignored;
  std::filesystem::remove_all(scratch, ignored);
  return exitCode;
}
