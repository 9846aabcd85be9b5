// bench_zip: how long ORVEL::_zip and ORVEL::_unzip take on a folder of component files, beside
// Info-ZIP's zip and unzip of the same folder in the same run.
//
//   build/plain/bin/bench_zip [--mib N] [--runs N]
//
// --mib: the size of the folder (default 256); --runs: runs of the four steps, whose median is
// reported (default 1).
//
// The folder holds a few hundred files in nested folders, of sizes from a few KiB to many MiB and
// of three kinds in about equal shares of the bytes: random bytes (compressed patterns, which
// deflate cannot shrink), log-like text (which shrinks several times) and tables of fixed-size
// records (in between). Each run zips it with _zip and with `zip -6 -r -q` (the level _zip uses),
// extracts each archive with its own tool (_unzip, `unzip -q`) into an empty folder, and compares
// both trees with the original (`diff -r`); a tree that differs ends the run with a failure. Every
// step runs in a child process of its own. The run works in a temporary folder that it removes
// (after a failure it stays, for a look).
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "BenchSupport.h"
#include "OrvelKF/QxZip.h"

namespace fs = std::filesystem;

namespace {

using namespace OrvelBench;

constexpr const char* kUsage = "usage: bench_zip [--mib N] [--runs N]";
constexpr int kFiles = 320;
// The largest file over the smallest: 4 KiB to 6 MiB in a folder of 256 MiB.
constexpr double kSizeSpread = 1536;
constexpr std::size_t kWriteBlock = 1 << 20;
const char* const kFolders[] = {
    "bin",         "lib/engine", "lib/pattern/virus", "lib/pattern/spyware", "config", "log",
    "log/archive", "docs/en",    "docs/ja",           "temp/kf/staged"};
constexpr int kFolderCount = sizeof kFolders / sizeof kFolders[0];

struct Options {
  long mib = 256;
  int runs = 1;
};

enum class Kind { kRandom, kText, kRecords };
constexpr int kKinds = 3;

struct PlannedFile {
  std::string path;
  std::uint64_t bytes;
  Kind kind;
};

std::string shellQuoted(const std::string& text) {
  std::string out = "'";
  for (char c : text) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return out + "'";
}

// Sizes spread evenly on a log scale, scaled so that they add up to the folder's size; the kinds
// go to the largest files first, each to the kind with the fewest bytes so far, so that every
// kind has about a third of the bytes.
std::vector<PlannedFile> planFolder(const std::string& folder, std::uint64_t total) {
  std::mt19937_64 engine(20261206);
  std::uniform_real_distribution<double> logSize(0, std::log(kSizeSpread));
  std::vector<double> weights(kFiles);
  double sum = 0;
  for (double& weight : weights) sum += weight = std::exp(logSize(engine));
  std::vector<PlannedFile> files(kFiles);
  std::uint64_t planned = 0;
  for (int i = 0; i < kFiles; ++i) {
    files[i].bytes =
        i + 1 < kFiles ? static_cast<std::uint64_t>(weights[i] / sum * total) : total - planned;
    planned += files[i].bytes;
  }
  std::vector<int> order(kFiles);
  for (int i = 0; i < kFiles; ++i) order[i] = i;
  std::sort(order.begin(), order.end(),
            [&](int a, int b) { return files[a].bytes > files[b].bytes; });
  std::uint64_t bytesOfKind[kKinds] = {};
  for (int i : order) {
    const int kind =
        static_cast<int>(std::min_element(bytesOfKind, bytesOfKind + kKinds) - bytesOfKind);
    bytesOfKind[kind] += files[i].bytes;
    files[i].kind = static_cast<Kind>(kind);
  }
  static const char* const kPatterns[] = {"blob-%03d.bin", "notes-%03d.log", "table-%03d.dat"};
  for (int i = 0; i < kFiles; ++i) {
    char name[32];
    std::snprintf(name, sizeof name, kPatterns[static_cast<int>(files[i].kind)], i);
    files[i].path = folder + "/" + kFolders[i % kFolderCount] + "/" + name;
  }
  return files;
}

void appendRandom(std::string& out, std::size_t bytes, std::mt19937_64& engine) {
  for (std::size_t done = 0; done < bytes; done += 8) {
    const std::uint64_t word = engine();
    out.append(reinterpret_cast<const char*>(&word), std::min<std::size_t>(8, bytes - done));
  }
}

// Lines a scanner's log could hold: a few fixed words, the numbers vary.
void appendText(std::string& out, std::size_t bytes, std::mt19937_64& engine) {
  static const char* const kVerdicts[] = {"clean", "clean", "clean", "quarantined", "skipped"};
  static const char* const kActions[] = {"scan", "update", "upload", "fetch", "rollback"};
  const std::size_t end = out.size() + bytes;
  char line[200];
  while (out.size() < end) {
    const std::uint64_t v = engine();
    const int length = std::snprintf(
        line, sizeof line,
        "2026-12-%02u %02u:%02u:%02u [%s] share=/srv/share/dept%02u/file-%05u.doc verdict=%s "
        "engine=5.%03u.00 pattern=ksv$pat.%03u bytes=%u\n",
        static_cast<unsigned>(v % 28 + 1), static_cast<unsigned>(v >> 5 & 15),
        static_cast<unsigned>((v >> 9) % 60), static_cast<unsigned>(v >> 15 & 31),
        kActions[(v >> 20) % 5], static_cast<unsigned>(v >> 22 & 31),
        static_cast<unsigned>(v >> 27 & 0xffff), kVerdicts[(v >> 43) % 5],
        static_cast<unsigned>(760 + (v >> 46 & 3)), static_cast<unsigned>(760 + (v >> 48 & 7)),
        static_cast<unsigned>(v >> 51 & 0x1fff));
    out.append(line, std::min<std::size_t>(static_cast<std::size_t>(length), end - out.size()));
  }
}

// 64-byte records: a counting id, a few small fields, a random digest and zero padding.
void appendRecords(std::string& out, std::size_t bytes, std::mt19937_64& engine,
                   std::uint64_t& id) {
  const std::size_t end = out.size() + bytes;
  unsigned char record[64];
  while (out.size() < end) {
    std::fill(std::begin(record), std::end(record), 0);
    ++id;
    std::copy_n(reinterpret_cast<const unsigned char*>(&id), 8, record);
    const std::uint64_t fields = engine() & 0x0000ffff00ff00ffULL;
    std::copy_n(reinterpret_cast<const unsigned char*>(&fields), 8, record + 8);
    for (int i = 0; i < 2; ++i) {
      const std::uint64_t digest = engine();
      std::copy_n(reinterpret_cast<const unsigned char*>(&digest), 8, record + 16 + 8 * i);
    }
    out.append(reinterpret_cast<const char*>(record),
               std::min<std::size_t>(sizeof record, end - out.size()));
  }
}

bool writeFile(const PlannedFile& file, std::mt19937_64& engine) {
  fs::create_directories(fs::path(file.path).parent_path());
  std::ofstream out(file.path, std::ios::binary);
  std::string block;
  std::uint64_t id = 0;
  for (std::uint64_t left = file.bytes; left > 0;) {
    const std::size_t part = static_cast<std::size_t>(std::min<std::uint64_t>(left, kWriteBlock));
    block.clear();
    if (file.kind == Kind::kRandom) appendRandom(block, part, engine);
    if (file.kind == Kind::kText) appendText(block, part, engine);
    if (file.kind == Kind::kRecords) appendRecords(block, part, engine, id);
    out.write(block.data(), static_cast<std::streamsize>(block.size()));
    left -= part;
  }
  return static_cast<bool>(out.flush());
}

int writeFolder(const std::vector<PlannedFile>& files) {
  std::mt19937_64 engine(42);
  for (const PlannedFile& file : files)
    if (!writeFile(file, engine)) return 1;
  return 0;
}

void printComposition(const std::vector<PlannedFile>& files) {
  double mib[kKinds] = {};
  std::uint64_t smallest = UINT64_MAX, largest = 0;
  for (const PlannedFile& file : files) {
    mib[static_cast<int>(file.kind)] += static_cast<double>(file.bytes) / (1 << 20);
    smallest = std::min(smallest, file.bytes);
    largest = std::max(largest, file.bytes);
  }
  std::printf(
      "folder: %zu files in %d folders, %.1f KiB to %.1f MiB; %.1f MiB random, %.1f MiB log-like "
      "text, %.1f MiB tables\n",
      files.size(), kFolderCount, static_cast<double>(smallest) / 1024,
      static_cast<double>(largest) / (1 << 20), mib[0], mib[1], mib[2]);
}

void checkRun(const ChildRun& run, const std::string& step) {
  if (run.status != 0) die(step + " failed (exit status " + std::to_string(run.status) + ")");
}

void checkSameTree(const std::string& original, const std::string& copy, const std::string& step) {
  if (shell("diff -r -q " + shellQuoted(original) + " " + shellQuoted(copy) + " >&2") != 0)
    die("the tree of " + step + " differs from the original folder (see above)");
}

// The four steps of one run, each in a child of its own.
struct Run {
  ChildRun zip, peerZip, unzip, peerUnzip;
};

Run runOnce(const std::string& work, const std::string& folder) {
  const std::string archive = work + "/ours.zip";
  const std::string peerArchive = work + "/peer.zip";
  const std::string tree = work + "/unzipped";
  const std::string peerTree = work + "/peer-unzipped";
  for (const std::string& old : {archive, peerArchive, tree, peerTree}) fs::remove_all(old);
  fs::create_directories(tree);
  fs::create_directories(peerTree);

  Run run;
  run.zip = measured([&] { return ORVEL::_zip(archive.c_str(), folder.c_str(), 0) ? 0 : 1; });
  checkRun(run.zip, "_zip");
  run.peerZip =
      measured("cd " + shellQuoted(folder) + " && zip -6 -r -q " + shellQuoted(peerArchive) + " .");
  checkRun(run.peerZip, "zip -6 -r -q");
  run.unzip = measured([&] {
    std::string from = archive, to = tree;
    return ORVEL::_unzip(from.data(), to.data()) == 0 ? 0 : 1;
  });
  checkRun(run.unzip, "_unzip");
  run.peerUnzip = measured("unzip -q " + shellQuoted(peerArchive) + " -d " + shellQuoted(peerTree));
  checkRun(run.peerUnzip, "unzip -q");
  checkSameTree(folder, tree, "_zip and _unzip");
  checkSameTree(folder, peerTree, "zip and unzip");
  return run;
}

double medianOf(const std::vector<Run>& runs, ChildRun Run::*step) {
  std::vector<double> seconds;
  for (const Run& run : runs) seconds.push_back((run.*step).seconds);
  return median(seconds);
}

double largestPeakOf(const std::vector<Run>& runs, ChildRun Run::*step) {
  double peak = 0;
  for (const Run& run : runs) peak = std::max(peak, (run.*step).peakMiB);
  return peak;
}

void report(const Options& o, const std::string& work, const std::vector<Run>& runs) {
  const double mib = static_cast<double>(o.mib);
  const double size = static_cast<double>(fs::file_size(work + "/ours.zip")) / (1 << 20);
  const double peerSize = static_cast<double>(fs::file_size(work + "/peer.zip")) / (1 << 20);
  std::printf("archive of the %ld MiB folder: _zip %.1f MiB (%.1f%%), zip -6 %.1f MiB (%.1f%%)\n",
              o.mib, size, 100 * size / mib, peerSize, 100 * peerSize / mib);
  std::printf(
      "median of %d run(s); largest peak RSS: _zip %.1f MiB, zip %.1f MiB, _unzip %.1f "
      "MiB, unzip %.1f MiB\n",
      o.runs, largestPeakOf(runs, &Run::zip), largestPeakOf(runs, &Run::peerZip),
      largestPeakOf(runs, &Run::unzip), largestPeakOf(runs, &Run::peerUnzip));
  std::printf("both extracted trees equal the original\n");
  const std::string folder = "a " + std::to_string(o.mib) + " MiB folder";
  figure("zip of " + folder, medianOf(runs, &Run::zip), medianOf(runs, &Run::peerZip), "s");
  figure("unzip of " + folder, medianOf(runs, &Run::unzip), medianOf(runs, &Run::peerUnzip), "s");
}

Options parseOptions(int argc, char** argv) {
  Options o;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--mib")
      o.mib = positiveNumberAfter(argc, argv, i);
    else if (arg == "--runs")
      o.runs = static_cast<int>(positiveNumberAfter(argc, argv, i));
    else
      die(kUsage);
  }
  return o;
}

}  // namespace

int main(int argc, char** argv) {
  const Options o = parseOptions(argc, argv);
  printLoad();
  char pattern[] = "/tmp/bench-zip-XXXXXX";
  if (!::mkdtemp(pattern)) die("no temporary folder");
  const std::string work = pattern;
  const std::string folder = work + "/folder";
  const std::vector<PlannedFile> files =
      planFolder(folder, static_cast<std::uint64_t>(o.mib) << 20);
  checkRun(measured([&] { return writeFolder(files); }), "writing the folder");
  printComposition(files);

  std::vector<Run> runs;
  for (int i = 0; i < o.runs; ++i) runs.push_back(runOnce(work, folder));
  report(o, work, runs);
  fs::remove_all(work);
  return 0;
}
