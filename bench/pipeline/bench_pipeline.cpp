// bench_pipeline: what a console-mode download of a large virus pattern costs end to end, beside
// the time of its parts measured in the same run on the same files; and what a version query of
// the virus family costs, beside `curl` fetching the feed's signed index from the same server.
//
//   build/plain/bin/bench_pipeline [--runs N] [--queries N] [--mib N]
//
// --runs: end-to-end downloads (default 3); --queries: version queries and curl fetches (default
// 21); --mib: payload of the older and the newer pattern (default 64).
//
// Each run puts the older pattern back (installed, recorded in the scanner information file,
// adopted in the settings, current in the central store again through a rollback, the staging
// folder empty), times the console download of the newer one, puts the older one back again and
// times the parts alone on the same files: (a) the update client's download into an empty folder,
// (b) the engine's check of the downloaded pattern, (c) the copy into the installed pattern folder,
// (d) the upload into the central store, zipped as the update object uploads a virus pattern.
//
// It lays out a product home with a SQLite central database, the "v1" reference engines and the
// update client, starts its own nginx on a free loopback port (nginx and curl must be installed),
// publishes the newer pattern into a signed feed there, and removes everything when it ends (after
// a failure its folders stay, for a look). Only a pattern is installed, so no scanner service is
// asked for anything.
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "BenchSupport.h"
#include "OrvelCommon/BoundedCopy.h"
#include "OrvelCommon/ConfigFileOnDisk.h"
#include "OrvelEngines/EngineFiles.h"
#include "OrvelKF/KFBlobManager.h"
#include "OrvelKF/OrvelFileOpUtil.h"
#include "OrvelKF/QxUpdate.h"
#include "OrvelKF/QxUpdateClientBinding.h"
#include "OrvelKF/QxZip.h"
#include "ProductHome.h"
#include "Publisher.h"
#include "feed/FeedSigner.h"

namespace fs = std::filesystem;

namespace {

using namespace OrvelBench;
using OrvelEngines::PatternKind;

// The product names a pattern by the middle of its version: internal 576300 is version 5.763.00,
// file "ksv$pat.763".
constexpr std::uint32_t kOlderInternal = 576300;
constexpr std::uint32_t kNewerInternal = 576400;
constexpr const char* kOlderVersion = "5.763.00";
constexpr const char* kNewerVersion = "5.764.00";
constexpr const char* kOlderFile = "ksv$pat.763";
constexpr const char* kNewerFile = "ksv$pat.764";
constexpr unsigned kVirusPatternItem = 4;  // class 3, platform "Linux"
constexpr unsigned kLinux = 0x101;

struct Options {
  int runs = 3;
  int queries = 21;
  std::uint64_t mib = 64;
};

std::uint16_t patternNumber(std::uint32_t internal) {
  return static_cast<std::uint16_t>(internal / 100 % 1000);
}

void writePattern(const std::string& folder, std::uint32_t internal, std::uint64_t bytes) {
  if (OrvelEngines::writePatternFile(folder, PatternKind::kVirus, internal, patternNumber(internal),
                                     bytes) != OrvelEngines::FileCheck::kOk)
    die("cannot write a pattern into " + folder);
}

// The test helpers report what went wrong through GoogleTest; outside a test that is recorded as
// an ad hoc failure.
void dieOnHelperFailure(const char* step) {
  if (::testing::UnitTest::GetInstance()->ad_hoc_test_result().Failed())
    die(std::string(step) + " failed (see the messages above)");
}

double timed(const std::function<void()>& work) {
  const auto start = Clock::now();
  work();
  return secondsSince(start);
}

// Runs a program without a shell and returns what it wrote to its standard output (a few
// bytes: it is read once the program has ended); status receives its exit status, -1 when it did
// not exit.
std::string runProgram(std::vector<std::string> arguments, int& status) {
  std::vector<char*> argv;
  for (std::string& argument : arguments) argv.push_back(argument.data());
  argv.push_back(nullptr);
  status = -1;
  int out[2];
  if (::pipe2(out, O_CLOEXEC) != 0) return "";
  posix_spawn_file_actions_t actions;
  ::posix_spawn_file_actions_init(&actions);
  ::posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
  pid_t child = 0;
  const bool spawned =
      ::posix_spawnp(&child, argv[0], &actions, nullptr, argv.data(), environ) == 0;
  ::posix_spawn_file_actions_destroy(&actions);
  ::close(out[1]);
  int waited = 0;
  if (spawned && ::waitpid(child, &waited, 0) == child && WIFEXITED(waited))
    status = WEXITSTATUS(waited);
  std::string text;
  char buffer[256];
  for (ssize_t n; (n = ::read(out[0], buffer, sizeof buffer)) > 0;)
    text.append(buffer, static_cast<std::size_t>(n));
  ::close(out[0]);
  return text;
}

OrvelErrC upload(int type, const std::string& version, const std::string& path) {
  _uiKFData data{};
  data.type = type;
  ORVEL::boundedCopy(data.version, sizeof data.version, version.c_str());
  ORVEL::boundedCopy(data.file_name, sizeof data.file_name, fs::path(path).filename().c_str());
  ORVEL::boundedCopy(data.file_path, sizeof data.file_path, path.c_str());
  data.file_size = static_cast<int>(fs::file_size(path));
  return KFBlobManager::AddKFBlob(data);
}

void zip(const std::string& archive, const std::string& file) {
  if (!ORVEL::_zip(archive.c_str(), file.c_str(), 0)) die("cannot zip " + file);
}

// A scanner of one installation with the older virus pattern installed and adopted, and a feed
// that offers the newer one.
class Installation {
 public:
  explicit Installation(const Options& o)
      : m_home(OrvelTest::Backend::kSqlite), m_nginx(m_scratch / "nginx") {
    dieOnHelperFailure("laying out the product home");
    OrvelTest::forgetProcessSettings();
    for (const char* folder : {"lib/pattern/ziran", "temp/kf/ziran"})
      fs::create_directories(m_home / folder);
    fs::copy_file(std::string(ORVEL_ENGINES_DIR) + "/v1/ziran32.dll", m_home / "bin/ziran32.dll");
    fs::copy_file(ORVEL_UPDATE_CLIENT, m_home / "bin/QxUpdate.dll");
    if (!ensureUpdateClient((m_home / "bin").c_str())) die("cannot load the update client");
    writePattern(patternFolder(), kOlderInternal, o.mib << 20);
    fs::create_directories(m_scratch / "new");
    writePattern(m_scratch / "new", kNewerInternal, o.mib << 20);
    publishNewerPattern();
    m_home.setting("UpdateServer", feedUrl().c_str());
    dieOnHelperFailure("writing the update server setting");
    // The central store holds the older pattern as the update that brought it left it, so that
    // a rollback takes the store back there.
    zip(m_scratch / (std::string(kOlderFile) + ".zip"), patternFolder() + "/" + kOlderFile);
    if (upload(VIRUS_PATTERN, kOlderVersion, m_scratch / (std::string(kOlderFile) + ".zip")) !=
        ERRC_SUCCESS)
      die("cannot upload the older pattern to the central store");
  }
  ~Installation() { releaseUpdateClient(); }

  std::string feedUrl() const { return m_nginx.url("feed"); }
  std::string patternFolder() const { return m_home / "lib/pattern/ziran"; }
  std::string stagingFolder() const { return m_home / "temp/kf/ziran"; }
  std::string binFolder() const { return m_home / "bin"; }
  std::string scratch(const std::string& relative) const { return m_scratch / relative; }

  // Back to the older pattern installed, adopted and current in the central store, with an empty
  // staging folder: the download stages the installed pattern there again, as a first one does.
  void restoreOlderPattern() {
    fs::remove(patternFolder() + "/" + kNewerFile);
    ORVEL::ConfigFileOnDisk info((m_home / "config/scanner.info").c_str());
    if (!info.setparam("update", kfScannerInfoVersionKey[VIRUS_PATTERN], kOlderVersion))
      die("cannot write the scanner information file");
    m_home.setting(kfGlobalVersionKey[VIRUS_PATTERN], kOlderVersion);
    dieOnHelperFailure("writing the adopted version");
    fs::remove_all(stagingFolder());
    fs::create_directories(stagingFolder());
    std::string version;
    if (KFBlobManager::RollbackKFBlob(VIRUS_PATTERN, version) < 0)
      die("cannot roll the central store back");
    if (centralVersion() != kOlderVersion) die("the central store does not hold the older pattern");
  }

  std::string centralVersion() const {
    std::vector<_uiKFDataNoFile> rows;
    if (KFBlobManager::GetKFRows(rows) != ERRC_SUCCESS) die("cannot read the central store");
    for (const _uiKFDataNoFile& row : rows)
      if (row.type == VIRUS_PATTERN) return row.version;
    return "";
  }

 private:
  void publishNewerPattern() {
    std::string pem, publicHex;
    if (!KiteFeed::generateKeyPair(&pem, &publicHex)) die("no key pair");
    KiteFeed::AddRequest request;
    request.itemClass = QXU_CLASS_NUMBERED;
    request.id = kVirusPatternItem;
    request.version = std::to_string(kNewerInternal);
    request.files = {m_scratch / (std::string("new/") + kNewerFile)};
    KiteFeed::Publisher feed(m_nginx.root() + "/feed");
    feed.add(request);
    feed.sign(pem, "orvel-bench", 3600, std::time(nullptr));
    if (ORVEL::QxuAddTrusted(publicHex.c_str()) != QXU_OK) die("the client refused the feed key");
  }

  OrvelTest::ProductHome m_home;
  OrvelTest::TempDir m_scratch;
  Nginx m_nginx;
};

// The median of one figure (a field or a function of a run) over the runs.
template <typename Run, typename Figure>
double medianOf(const std::vector<Run>& runs, Figure figure) {
  std::vector<double> values;
  for (const Run& run : runs) values.push_back(std::invoke(figure, run));
  return median(values);
}

struct PipelineRun {
  double whole = 0;
  double fetch = 0, verify = 0, copy = 0, zip = 0, addBlob = 0;
  double upload() const { return zip + addBlob; }
  double sum() const { return fetch + verify + copy + upload(); }
};

void downloadEndToEnd(Installation& scanner, PipelineRun& run) {
  scanner.restoreOlderPattern();
  QxUpdate console(CONSOLE_UPDATE);
  std::string msg;
  QxUpdateRet result = FAIL;
  run.whole =
      timed([&] { result = console.download(VIRUS_PATTERN, scanner.feedUrl(), 0, msg, false); });
  if (result != SUCCESS)
    die("the console download returned " + std::to_string(result) + ": " + msg);
  if (!fs::exists(scanner.patternFolder() + "/" + kNewerFile) ||
      scanner.centralVersion() != kNewerVersion)
    die("the console download did not install and upload the newer pattern");
}

// The update client's download alone, as the pipeline asks for it, into an empty folder.
std::string fetchAlone(Installation& scanner, PipelineRun& run) {
  const std::string folder = scanner.scratch("fetch");
  fs::remove_all(folder);
  fs::create_directories(folder);
  DestInfo dest{folder.c_str(), "", "", 0, 0};
  tag_ItemInfo item{};
  item.uiClass = QXU_CLASS_NUMBERED;
  item.uiItemId = kVirusPatternItem;
  item.uiOption = QXU_ITEM_INCREMENTAL;
  item.pDest = &dest;
  item.stCurrent.uiMajor = kOlderInternal;
  item.uiLanguage = 1;
  item.uiPlatform = kLinux;
  const std::string url = scanner.feedUrl();
  SourceInfo source{};
  source.source = url.c_str();
  source.user = source.password = source.proxy = source.proxy_user = source.proxy_password = "";
  source.uiRecordVersion = 1;
  const QxuContext context = ORVEL::QxuCreateContext(0);
  int result = -1;
  run.fetch = timed([&] {
    result = ORVEL::QxuUpdateEx(&item, 1, &source, QXU_OPTION_DEFAULT, nullptr, nullptr, context);
  });
  ORVEL::QxuReleaseContext(context);
  if (result != QXU_OK) die("QxuUpdateEx returned " + std::to_string(result));
  return folder;
}

void partsAlone(Installation& scanner, PipelineRun& run) {
  scanner.restoreOlderPattern();
  const std::string folder = fetchAlone(scanner, run);
  const std::string fetched = folder + "/" + kNewerFile;

  std::string engineFolder = scanner.binFolder(), patternFolder = folder, msg;
  QxUpdateVersion checked{};
  bool verified = false;
  run.verify = timed([&] {
    verified = QxUpdate::verifyByZIRAN(engineFolder.data(), patternFolder.data(), VIRUS_PATTERN,
                                       msg, checked, nullptr);
  });
  if (!verified || checked.strVersion != kNewerVersion) die("the engine refused the pattern");

  const std::string installed = scanner.patternFolder() + "/" + kNewerFile;
  int copied = -1;
  run.copy =
      timed([&] { copied = OrvelFileOpUtil::copy(fetched.c_str(), installed.c_str(), true); });
  if (copied != OrvelFileOpUtil::kOk)
    die("OrvelFileOpUtil::copy returned " + std::to_string(copied));

  // A virus pattern travels to the central store zipped.
  const std::string archive = scanner.scratch(std::string(kNewerFile) + ".zip");
  run.zip = timed([&] { zip(archive, fetched); });
  OrvelErrC uploaded = ERRC_DB_FAILURE;
  run.addBlob = timed([&] { uploaded = upload(VIRUS_PATTERN, kNewerVersion, archive); });
  if (uploaded != ERRC_SUCCESS) die("AddKFBlob returned " + std::to_string(uploaded));
  fs::remove(archive);
}

void reportPipeline(const Options& o, const std::vector<PipelineRun>& runs) {
  std::printf("Console download of a %llu MiB virus pattern, %s -> %s, %d runs\n",
              static_cast<unsigned long long>(o.mib), kOlderVersion, kNewerVersion, o.runs);
  std::printf("  %-4s %8s %8s %8s %8s %8s %8s %8s %6s\n", "run", "(a)", "(b)", "(c)", "(d)zip",
              "(d)add", "sum", "whole", "ratio");
  for (std::size_t i = 0; i < runs.size(); ++i) {
    const PipelineRun& r = runs[i];
    std::printf("  %-4zu %8.3f %8.3f %8.3f %8.3f %8.3f %8.3f %8.3f %6.2f\n", i + 1, r.fetch,
                r.verify, r.copy, r.zip, r.addBlob, r.sum(), r.whole, r.whole / r.sum());
  }
  const double sum = medianOf(runs, &PipelineRun::sum), whole = medianOf(runs, &PipelineRun::whole);
  std::printf("  medians (each line the median of its own figure), seconds:\n");
  std::printf("    (a) update client download (QxuUpdateEx, empty folder)   %8.3f\n",
              medianOf(runs, &PipelineRun::fetch));
  std::printf("    (b) engine verification (QxUpdate::verifyByZIRAN)        %8.3f\n",
              medianOf(runs, &PipelineRun::verify));
  std::printf("    (c) copy into the pattern folder (OrvelFileOpUtil::copy) %8.3f\n",
              medianOf(runs, &PipelineRun::copy));
  std::printf("    (d) upload into the central store (zip + AddKFBlob)      %8.3f\n",
              medianOf(runs, &PipelineRun::upload));
  std::printf("          of which ORVEL::_zip                               %8.3f\n",
              medianOf(runs, &PipelineRun::zip));
  std::printf("          of which KFBlobManager::AddKFBlob                  %8.3f\n",
              medianOf(runs, &PipelineRun::addBlob));
  std::printf("    sum of the parts                                         %8.3f\n", sum);
  std::printf("    whole: QxUpdate(CONSOLE_UPDATE).download                 %8.3f\n", whole);
  std::printf("    ratio whole / sum: %.2f\n", whole / sum);
  figure(
      "console download of a " + std::to_string(o.mib) + " MiB pattern beside the sum of its parts",
      whole, sum, "s");
  std::printf("\n");
}

struct QueryRun {
  double construct = 0, query = 0;    // the object, then getAvailVersion
  double curl = 0, curlTransfer = 0;  // the command, and curl's own time_total
  double whole() const { return construct + query; }
};

void queryFamily(QueryRun& run) {
  std::unique_ptr<QxUpdate> update;
  run.construct = timed([&] { update = std::make_unique<QxUpdate>(); });
  std::string msg, version;
  QxUpdateRet result = FAIL;
  run.query = timed([&] { result = update->getAvailVersion(VIRUS_PATTERN, msg, version, false); });
  if ((result != SUCCESS && result != UP_TO_DATE) || version != kNewerVersion)
    die("the version query returned " + std::to_string(result) + " " + version + ": " + msg);
}

void curlIndex(const std::string& index, QueryRun& run) {
  int status = -1;
  std::string transfer;
  run.curl = timed([&] {
    transfer = runProgram({"curl", "-s", "-o", "/dev/null", "-w", "%{time_total}", index}, status);
  });
  if (status != 0) die("curl of the index failed");
  run.curlTransfer = std::strtod(transfer.c_str(), nullptr);
}

void versionQueries(const Options& o, Installation& scanner) {
  const std::string index = scanner.feedUrl() + "/kitefeed.idx";
  // The client's index cache and the database file, as any earlier query leaves them.
  QueryRun warm;
  queryFamily(warm);
  curlIndex(index, warm);
  std::vector<QueryRun> runs(static_cast<std::size_t>(o.queries));
  for (QueryRun& run : runs) {
    queryFamily(run);
    curlIndex(index, run);
  }
  const double query = medianOf(runs, &QueryRun::whole), curl = medianOf(runs, &QueryRun::curl);
  std::printf("Version query of the virus family through the configured server, %d runs\n",
              o.queries);
  std::printf("  medians (each line the median of its own figure), milliseconds:\n");
  std::printf("    QxUpdate query; query.getAvailVersion(VIRUS_PATTERN, ...)   %7.2f\n",
              query * 1e3);
  std::printf("      of which the object                                     %7.2f\n",
              medianOf(runs, &QueryRun::construct) * 1e3);
  std::printf("      of which getAvailVersion                                %7.2f\n",
              medianOf(runs, &QueryRun::query) * 1e3);
  std::printf("    curl -s -o /dev/null of kitefeed.idx                        %7.2f\n",
              curl * 1e3);
  std::printf("      of which curl's own transfer (-w %%{time_total})          %7.2f\n",
              medianOf(runs, &QueryRun::curlTransfer) * 1e3);
  std::printf("    ratio query / curl: %.2f\n", query / curl);
  std::printf("    ratio query / curl's own transfer: %.2f (curl's start-up left out)\n",
              query / medianOf(runs, &QueryRun::curlTransfer));
  figure("family version query beside curl of the signed index", query * 1e3, curl * 1e3, "ms");
}

Options parseOptions(int argc, char** argv) {
  Options o;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    const auto next = [&] { return positiveNumberAfter(argc, argv, i); };
    if (arg == "--runs")
      o.runs = static_cast<int>(next());
    else if (arg == "--queries")
      o.queries = static_cast<int>(next());
    else if (arg == "--mib")
      o.mib = static_cast<std::uint64_t>(next());
    else
      die("usage: bench_pipeline [--runs N] [--queries N] [--mib N]");
  }
  return o;
}

}  // namespace

int main(int argc, char** argv) {
  const Options o = parseOptions(argc, argv);
  printLoad();
  Installation scanner(o);
  std::vector<PipelineRun> runs(static_cast<std::size_t>(o.runs));
  for (PipelineRun& run : runs) {
    downloadEndToEnd(scanner, run);
    partsAlone(scanner, run);
  }
  reportPipeline(o, runs);
  versionQueries(o, scanner);
  return 0;
}
