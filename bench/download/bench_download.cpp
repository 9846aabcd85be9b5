// bench_download: how fast the update client fetches from nginx on loopback,
// compared with `curl -o` in the same run, and how many bytes an incremental
// update fetches, and how long its delta takes to make, compared with xdelta3
// and bsdiff on the same pair of files.
//
//   bench_download [--size-mib N] [--delta-mib N] [--runs N] [--keep]
//
// It starts its own nginx on a free loopback port (nginx, curl, xdelta3 and
// bsdiff must be installed) and works in a temporary folder that it removes.
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "BenchSupport.h"
#include "OrvelKF/QxUpdateClient.h"
#include "Publisher.h"
#include "feed/FeedCrypto.h"
#include "feed/FeedSigner.h"

namespace fs = std::filesystem;

namespace {

using namespace OrvelBench;

struct Options {
  std::size_t sizeMiB = 256;
  std::size_t deltaMiB = 64;
  int runs = 7;
  bool keep = false;
};

void writeFile(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  if (!out) die("cannot write " + path);
}

std::string randomBytes(std::size_t size, unsigned seed) {
  std::mt19937_64 engine(seed);
  std::string bytes(size, '\0');
  for (std::size_t i = 0; i + 8 <= size; i += 8) {
    const std::uint64_t v = engine();
    std::memcpy(&bytes[i], &v, 8);
  }
  return bytes;
}

struct Client {
  QxuContext context = QxuCreateContext(0);
  ~Client() { QxuReleaseContext(context); }
  std::uint64_t lastBytes() const {
    char text[64] = "0";
    QxuGetPropertyEx("LastBytesFetched", text, sizeof text, context);
    return std::stoull(text);
  }
};

int fetchItem(Client& client, const std::string& url, const std::string& folder,
              std::uint32_t itemClass, std::uint32_t id, QxuVersionBuild current,
              std::uint32_t option) {
  DestInfo dest{folder.c_str(), "", "", 0, 0};
  tag_ItemInfo item{};
  item.uiClass = itemClass;
  item.uiItemId = id;
  item.uiOption = option;
  item.pDest = &dest;
  item.stCurrent = current;
  item.uiLanguage = 1;
  item.uiPlatform = 0x101;
  SourceInfo source{};
  source.source = url.c_str();
  source.user = source.password = source.proxy = source.proxy_user = source.proxy_password = "";
  source.uiRecordVersion = 1;
  return QxuUpdateEx(&item, 1, &source, QXU_OPTION_DEFAULT, nullptr, nullptr, client.context);
}

// CPU seconds (user + system) of this process or of its finished children.
double cpuSeconds(int who) {
  rusage usage{};
  ::getrusage(who, &usage);
  return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
         static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

void publish(const std::string& feed, const std::string& pem, std::uint32_t itemClass,
             std::uint32_t id, const std::string& version, const std::string& file) {
  KiteFeed::AddRequest request;
  request.itemClass = itemClass;
  request.id = id;
  request.version = version;
  request.files = {file};
  KiteFeed::Publisher(feed).add(request);
  // The client remembers the highest serial per key and feed name: each feed needs its own name.
  KiteFeed::Publisher(feed).sign(pem, fs::path(feed).filename(), 3600, std::time(nullptr));
}

void throughput(const Options& o, Nginx& nginx, const std::string& work, const std::string& pem) {
  const std::size_t size = o.sizeMiB << 20;
  const std::string input = work + "/input/ziran32.dll";
  fs::create_directories(work + "/input");
  writeFile(input, randomBytes(size, 42));
  const std::string feed = nginx.root() + "/big";
  publish(feed, pem, 2, 0x20000, "8.700.1004", input);
  std::string digest;
  std::uint64_t ignored = 0;
  KiteFeed::sha256OfFile(input, &digest, &ignored);
  const std::string fileUrl = nginx.url("big/files/" + digest);
  const std::string dest = work + "/dest";
  fs::create_directories(dest);

  Client client;
  std::vector<double> clientTimes, curlTimes, clientCpu, curlCpu;
  for (int run = 0; run < o.runs; ++run) {
    fs::remove(dest + "/ziran32.dll");
    fs::remove(work + "/curl.out");
    double cpu = cpuSeconds(RUSAGE_SELF);
    auto start = Clock::now();
    const int result = fetchItem(client, nginx.url("big"), dest, 2, 0x20000, {8, 700, 999}, 1);
    clientTimes.push_back(secondsSince(start));
    clientCpu.push_back(cpuSeconds(RUSAGE_SELF) - cpu);
    if (result != QXU_OK) die("QxuUpdateEx returned " + std::to_string(result));
    cpu = cpuSeconds(RUSAGE_CHILDREN);
    start = Clock::now();
    if (shell("curl -s -o " + work + "/curl.out " + fileUrl) != 0) die("curl failed");
    curlTimes.push_back(secondsSince(start));
    curlCpu.push_back(cpuSeconds(RUSAGE_CHILDREN) - cpu);
  }
  const double mib = static_cast<double>(size) / (1 << 20);
  const auto best = [](const std::vector<double>& v) {
    return *std::min_element(v.begin(), v.end());
  };
  std::printf("Full download of a %zu MiB item from nginx on loopback, %d alternating runs\n",
              o.sizeMiB, o.runs);
  std::printf("  %-49s %9s %9s %9s\n", "", "median", "best", "CPU");
  std::printf("  %-49s %5.1f MiB/s %5.1f MiB/s %6.3f s\n",
              "QxuUpdateEx (index, SHA-256, temporary + rename)", mib / median(clientTimes),
              mib / best(clientTimes), median(clientCpu));
  std::printf("  %-49s %5.1f MiB/s %5.1f MiB/s %6.3f s\n", "curl -o", mib / median(curlTimes),
              mib / best(curlTimes), median(curlCpu));
  std::printf("  ratio client / curl: %.2f of the medians, %.2f of the best runs\n",
              median(curlTimes) / median(clientTimes), best(curlTimes) / best(clientTimes));
  figure("update-client download of " + std::to_string(o.sizeMiB) + " MiB, digest checked",
         mib / median(clientTimes), mib / median(curlTimes), "MiB/s");
  std::printf("\n");
  fs::remove(input);
  fs::remove(dest + "/ziran32.dll");
  fs::remove(work + "/curl.out");
}

// Changes `fraction` of the bytes in runs of `run` bytes at random places, to new random bytes as
// a new pattern release brings them (an inversion of the old bytes would hand a differ that
// subtracts, like bsdiff, a pattern to compress that real changes do not have).
std::string changed(const std::string& base, double fraction, std::size_t run, unsigned seed) {
  std::string out = base;
  std::mt19937_64 engine(seed);
  const std::size_t runs = static_cast<std::size_t>(base.size() * fraction / run);
  for (std::size_t i = 0; i < runs; ++i) {
    const std::size_t at = (engine() % (base.size() / run)) * run;
    for (std::size_t j = 0; j < run; ++j) out[at + j] = static_cast<char>(engine());
  }
  return out;
}

void incremental(const Options& o, Nginx& nginx, const std::string& work, const std::string& pem,
                 std::size_t run, unsigned item) {
  const std::size_t size = o.deltaMiB << 20;
  const std::string folder = work + "/delta" + std::to_string(run);
  fs::create_directories(folder + "/v1");
  fs::create_directories(folder + "/v2");
  fs::create_directories(folder + "/dest");
  const std::string v1 = randomBytes(size, 7);
  const std::string v2 = changed(v1, 0.01, run, 9);
  writeFile(folder + "/v1/ksv$pat.100", v1);
  writeFile(folder + "/v2/ksv$pat.101", v2);
  const std::string feed = nginx.root() + "/delta" + std::to_string(run);
  publish(feed, pem, 3, item, "100", folder + "/v1/ksv$pat.100");
  auto start = Clock::now();
  publish(feed, pem, 3, item, "101", folder + "/v2/ksv$pat.101");
  const double publishSeconds = secondsSince(start);
  fs::copy_file(folder + "/v1/ksv$pat.100", folder + "/dest/ksv$pat.100");

  Client client;
  start = Clock::now();
  const int result = fetchItem(client, nginx.url("delta" + std::to_string(run)), folder + "/dest",
                               3, item, {100, 0, 0}, QXU_ITEM_INCREMENTAL);
  const double applySeconds = secondsSince(start);
  if (result != QXU_OK) die("incremental QxuUpdateEx returned " + std::to_string(result));
  std::string got, want;
  std::uint64_t n = 0;
  KiteFeed::sha256OfFile(folder + "/dest/ksv$pat.101", &got, &n);
  KiteFeed::sha256OfFile(folder + "/v2/ksv$pat.101", &want, &n);
  if (got != want) die("the incremental result differs from the new version");
  const std::uint64_t fetched = client.lastBytes();

  const std::string v1File = folder + "/v1/ksv$pat.100", v2File = folder + "/v2/ksv$pat.101";
  const ChildRun xdelta =
      measured("xdelta3 -e -f -s '" + v1File + "' '" + v2File + "' '" + folder + "/x.vcdiff'");
  const ChildRun bsdiff =
      measured("bsdiff '" + v1File + "' '" + v2File + "' '" + folder + "/b.bsdiff'");
  if (xdelta.status != 0 || bsdiff.status != 0) die("xdelta3 or bsdiff failed");
  const auto xdeltaSize = fs::file_size(folder + "/x.vcdiff");
  const auto bsdiffSize = fs::file_size(folder + "/b.bsdiff");
  const std::string change = run == 1 ? "as single bytes" : "in runs of " + std::to_string(run);
  std::printf("Incremental update of a %zu MiB pattern, 1%% of its bytes changed %s\n", o.deltaMiB,
              change.c_str());
  std::printf("  bytes fetched (index + zstd delta): %10llu = %5.2f%% of %zu\n",
              static_cast<unsigned long long>(fetched), 100.0 * fetched / size, size);
  std::printf("  xdelta3 delta of the same pair     : %10llu, made in %.1f s\n",
              static_cast<unsigned long long>(xdeltaSize), xdelta.seconds);
  std::printf("  bsdiff patch of the same pair      : %10llu, made in %.1f s\n",
              static_cast<unsigned long long>(bsdiffSize), bsdiff.seconds);
  std::printf("  publish (make delta) %.1f s, fetch + merge + verify %.3f s\n", publishSeconds,
              applySeconds);
  const std::string pair = std::to_string(o.deltaMiB) + " MiB pattern, 1% changed " + change;
  figure("incremental bytes beside xdelta3, " + pair, static_cast<double>(fetched),
         static_cast<double>(xdeltaSize), "bytes");
  figure("incremental bytes beside bsdiff, " + pair, static_cast<double>(fetched),
         static_cast<double>(bsdiffSize), "bytes");
  figure("delta creation in kitefeed-publish beside xdelta3, " + pair, publishSeconds,
         xdelta.seconds, "s");
  std::printf("\n");
  fs::remove_all(folder);
}

Options parseOptions(int argc, char** argv) {
  Options o;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    const auto next = [&] { return positiveNumberAfter(argc, argv, i); };
    if (arg == "--size-mib")
      o.sizeMiB = static_cast<std::size_t>(next());
    else if (arg == "--delta-mib")
      o.deltaMiB = static_cast<std::size_t>(next());
    else if (arg == "--runs")
      o.runs = static_cast<int>(next());
    else if (arg == "--keep")
      o.keep = true;
    else
      die("usage: bench_download [--size-mib N] [--delta-mib N] [--runs N] [--keep]");
  }
  return o;
}

}  // namespace

int main(int argc, char** argv) {
  const Options o = parseOptions(argc, argv);
  printLoad();
  char pattern[] = "/tmp/bench-download-XXXXXX";
  if (!::mkdtemp(pattern)) die("no temporary folder");
  const std::string work = pattern;
  fs::permissions(work, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                            fs::perms::others_read | fs::perms::others_exec);
  {
    Nginx nginx(work + "/nginx");
    fs::create_directories(work + "/client");
    std::string pem, publicHex;
    if (!KiteFeed::generateKeyPair(&pem, &publicHex)) die("no key pair");
    if (!QxuSetProperty("KiteFeedPath_FromLoader", (work + "/client").c_str()) ||
        QxuAddTrusted(publicHex.c_str()) != QXU_OK)
      die("cannot set up the client's working folder");
    throughput(o, nginx, work, pem);
    incremental(o, nginx, work, pem, 64, 4);
    incremental(o, nginx, work, pem, 1, 0x20000400);
  }
  if (!o.keep) fs::remove_all(work);
  return 0;
}
