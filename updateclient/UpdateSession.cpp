#include "UpdateSession.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>

#include "ClientError.h"
#include "OrvelPlatform/Clock.h"
#include "OrvelPlatform/Path.h"
#include "StagedFile.h"
#include "feed/FeedCrypto.h"
#include "feed/FeedDelta.h"

namespace QxuClient {

namespace {

constexpr unsigned kMaxItems = 1024;
constexpr std::size_t kDeltaReadChunk = 1 << 20;

using KiteFeed::Version;

std::string text(const char* p) { return p ? p : ""; }

Version versionOf(const QxuVersionBuild& v, std::uint32_t itemClass) {
  Version out;
  out.major = v.uiMajor;
  if (itemClass != KiteFeed::kClassNumbered) {
    out.minor = v.uiMinor;
    out.build = v.uiBuild;
  }
  return out;
}

QxuVersionBuild asVersionBuild(const Version& v) { return {v.major, v.minor, v.build}; }

std::string hex(std::uint32_t n) {
  char buffer[16];
  std::snprintf(buffer, sizeof buffer, "0x%X", n);
  return buffer;
}

std::string describe(const tag_ItemInfo& item) {
  return "item " + hex(item.uiItemId) + " (class " + std::to_string(item.uiClass) + ", platform " +
         hex(item.uiPlatform) + ", language " + hex(item.uiLanguage) + ")";
}

std::string utcText(std::int64_t t) {
  const std::time_t value = static_cast<std::time_t>(t);
  std::tm tm{};
  char buffer[32] = "?";
  if (gmtime_r(&value, &tm)) std::strftime(buffer, sizeof buffer, "%Y-%m-%d %H:%M:%S UTC", &tm);
  return buffer;
}

// A read-only view of the current version of a file in the destination.
class MappedFile {
 public:
  explicit MappedFile(const std::string& path) {
    m_fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    struct stat st;
    if (m_fd < 0 || ::fstat(m_fd, &st) != 0)
      fail(QXU_E_MERGE, "Cannot read the current file " + path + ": " + std::strerror(errno),
           static_cast<unsigned>(errno));
    m_size = static_cast<std::size_t>(st.st_size);
    if (m_size == 0) return;
    void* p = ::mmap(nullptr, m_size, PROT_READ, MAP_PRIVATE, m_fd, 0);
    if (p == MAP_FAILED)
      fail(QXU_E_MERGE, "Cannot map the current file " + path + ": " + std::strerror(errno),
           static_cast<unsigned>(errno));
    m_data = p;
  }
  ~MappedFile() {
    if (m_data) ::munmap(m_data, m_size);
    if (m_fd >= 0) ::close(m_fd);
  }
  MappedFile(const MappedFile&) = delete;
  MappedFile& operator=(const MappedFile&) = delete;
  const void* data() const { return m_data; }
  std::size_t size() const { return m_size; }

 private:
  int m_fd = -1;
  void* m_data = nullptr;
  std::size_t m_size = 0;
};

struct FdOwner {
  int fd;
  ~FdOwner() {
    if (fd >= 0) ::close(fd);
  }
};

SourceSettings sourceSettings(const SourceInfo& source, unsigned option) {
  SourceSettings s;
  s.baseUrl = checkedSourceUrl(source.source);
  s.port = source.port;
  s.user = text(source.user);
  s.password = text(source.password);
  s.proxyEnabled = source.proxy_enable != 0 && !text(source.proxy).empty();
  s.socks = (option & QXU_OPTION_SOCKS_PROXY) != 0;
  s.proxy = text(source.proxy);
  s.proxyPort = source.proxy_port;
  s.proxyUser = text(source.proxy_user);
  s.proxyPassword = text(source.proxy_password);
  return s;
}

std::string caFileFor(const Settings& settings, const WorkFolder& work) {
  if (!settings.caFile.empty()) return OrvelPlatform::toOsPath(settings.caFile);
  const std::string standard = work.defaultCaFile();
  return ::access(standard.c_str(), R_OK) == 0 ? standard : "";
}

}  // namespace

UpdateSession::UpdateSession(const Settings& settings, const SourceInfo& source, unsigned option,
                             QxuProgressCallback progress, void* userData)
    : m_settings(settings),
      m_source(checkedSourceUrl(source.source)),
      m_work(WorkFolder::current()),
      m_progress(progress),
      m_userData(userData) {
  m_transfer = std::make_unique<Transfer>(m_settings, sourceSettings(source, option),
                                          caFileFor(m_settings, m_work));
}

int UpdateSession::run(tag_ItemInfo* items, unsigned count) {
  if (!items || count == 0 || count > kMaxItems)
    fail(QXU_E_INVALID_ARGUMENT, "QxuUpdateEx needs between 1 and 1024 items.");
  m_items = items;
  // Until a download commits, the version in place is the current one; the
  // caller reads an unmoved result as "this pattern did not change" when it
  // retries a failed merge with full files.
  for (unsigned i = 0; i < count; ++i)
    if (items[i].uiOption != QXU_ITEM_QUERY) items[i].stResult = items[i].stCurrent;
  m_body = fetchVerifiedIndex();

  bool listed = false, newer = false, downloads = false;
  std::vector<Plan> plans;
  for (unsigned i = 0; i < count; ++i) {
    tag_ItemInfo& item = items[i];
    const KiteFeed::Entry* entry = findEntry(item);
    const Version current = versionOf(item.stCurrent, item.uiClass);
    if (item.uiOption == QXU_ITEM_QUERY) {
      if (!entry) continue;  // stResult stays as the caller prefilled it
      listed = true;
      item.stResult = asVersionBuild(entry->version);
      newer = newer || current < entry->version;
      continue;
    }
    downloads = true;
    if (!entry) fail(QXU_E_HTTP_STATUS, "The feed does not list " + describe(item) + ".", 404);
    listed = true;
    if (!(current < entry->version)) continue;
    plans.push_back(Plan{i, entry, destinationOf(item)});
  }
  if (!downloads && !listed)
    fail(QXU_E_HTTP_STATUS, "The feed lists none of the " + std::to_string(count) + " items.", 404);

  std::vector<std::unique_ptr<StagedFile>> staged;
  for (const Plan& plan : plans)
    for (const KiteFeed::File& file : plan.entry->files) staged.push_back(stageFile(plan, file));

  std::size_t committed = 0;
  try {
    for (auto& file : staged) {
      file->commit();
      ++committed;
    }
  } catch (...) {
    // Backwards, so that a name replaced twice ends with its first content.
    while (committed > 0) staged[--committed]->rollBack();
    throw;
  }
  for (auto& file : staged) file->dropReplaced();
  for (const Plan& plan : plans) items[plan.index].stResult = asVersionBuild(plan.entry->version);
  return (!plans.empty() || newer) ? QXU_OK : QXU_UP_TO_DATE;
}

KiteFeed::Body UpdateSession::fetchVerifiedIndex() {
  if (m_work.trustedIds().empty())
    fail(QXU_E_NO_TRUSTED_KEY, "No trusted feed key is installed in the working folder.");
  const std::string url = m_transfer->urlOf(KiteFeed::kIndexFileName);
  std::string cached, etag;
  const bool conditional = url.compare(0, 7, "file://") != 0 &&
                           m_work.cachedIndex(m_source, &cached, &etag) && !etag.empty();
  MemorySink sink(m_settings.indexMaxBytes, "index " + url);
  FetchResult fetched = m_transfer->fetch(url, sink, nullptr, conditional ? etag : "");
  if (fetched.notModified) {
    try {
      return verifyIndex(cached);
    } catch (const ClientError& e) {
      // A damaged cache must not lock the client out: fetch the index whole.
      if (e.result() == QXU_E_INDEX_EXPIRED || e.result() == QXU_E_INDEX_REPLAYED) throw;
      m_work.clearCache(m_source);
      sink.restart();
      fetched = m_transfer->fetch(url, sink, nullptr);
    }
  }
  KiteFeed::Body body = verifyIndex(sink.bytes());
  if (!fetched.etag.empty() && url.compare(0, 7, "file://") != 0)
    m_work.storeIndex(m_source, sink.bytes(), fetched.etag);
  return body;
}

KiteFeed::Body UpdateSession::verifyIndex(const std::string& bytes) {
  KiteFeed::Envelope envelope;
  std::string why;
  if (!KiteFeed::parseEnvelope(bytes, &envelope, &why))
    fail(QXU_E_INDEX_FORMAT, "The index of " + m_source + " is malformed: " + why + ".");
  std::string key;
  if (!m_work.trustedKey(envelope.keyId, &key))
    fail(QXU_E_UNKNOWN_KEY, "The index of " + m_source + " is signed by key " + envelope.keyId +
                                ", which is not trusted.");
  if (!KiteFeed::ed25519Verify(key, envelope.body, envelope.signature))
    fail(QXU_E_BAD_SIGNATURE, "The signature of the index of " + m_source +
                                  " does not verify with key " + envelope.keyId + ".");
  KiteFeed::Body body;
  if (!KiteFeed::parseBody(envelope.body, &body, &why))
    fail(QXU_E_INDEX_FORMAT, "The index of " + m_source + ": " + why);
  if (!m_settings.feedName.empty() && body.feed != m_settings.feedName)
    fail(QXU_E_WRONG_FEED, "The index of " + m_source + " belongs to the feed \"" + body.feed +
                               "\", not to \"" + m_settings.feedName + "\" (FeedName).");
  const std::int64_t now = static_cast<std::int64_t>(OrvelPlatform::clock().now());
  if (now >= body.expires)
    fail(QXU_E_INDEX_EXPIRED, "The index of " + m_source + " (serial " +
                                  std::to_string(body.serial) + ") expired at " +
                                  utcText(body.expires) + ".");
  m_work.acceptSerial(envelope.keyId, body.feed, body.serial, KiteFeed::sha256Hex(envelope.body));
  return body;
}

const KiteFeed::Entry* UpdateSession::findEntry(const tag_ItemInfo& item) const {
  const std::uint32_t language = item.uiLanguage != 0 ? item.uiLanguage : 1;
  const KiteFeed::Entry* best = nullptr;
  for (const KiteFeed::Entry& e : m_body.entries) {
    if (e.itemClass != item.uiClass || e.id != item.uiItemId || e.platform != item.uiPlatform ||
        (e.languages & language) == 0)
      continue;
    if (!best || best->version < e.version) best = &e;
  }
  return best;
}

std::string UpdateSession::destinationOf(const tag_ItemInfo& item) const {
  if (!item.pDest || !item.pDest->szPath || !*item.pDest->szPath)
    fail(QXU_E_INVALID_ARGUMENT, "The download of " + describe(item) + " has no destination.");
  std::string folder = OrvelPlatform::toOsPath(item.pDest->szPath);
  while (folder.size() > 1 && folder.back() == '/') folder.pop_back();
  struct stat st;
  if (::stat(folder.c_str(), &st) != 0) {
    const int error = errno;
    fail(QXU_E_DEST_FOLDER,
         "The destination folder " + std::string(item.pDest->szPath) +
             " cannot be used: " + std::strerror(error),
         static_cast<unsigned>(error));
  }
  if (!S_ISDIR(st.st_mode))
    fail(QXU_E_DEST_FOLDER,
         "The destination " + std::string(item.pDest->szPath) + " is not a folder.", ENOTDIR);
  return folder;
}

ProgressFn UpdateSession::progressFor(unsigned index) const {
  if (!m_progress) return nullptr;
  return [this, index](std::uint64_t done, std::uint64_t total) {
    return m_progress(index, done, total, m_userData) != 0;
  };
}

std::unique_ptr<StagedFile> UpdateSession::stageFile(const Plan& plan, const KiteFeed::File& file) {
  if (const KiteFeed::Delta* delta = usableDelta(plan, file))
    return stageFromDelta(plan, file, *delta);
  return stageFull(plan, file);
}

const KiteFeed::Delta* UpdateSession::usableDelta(const Plan& plan,
                                                  const KiteFeed::File& file) const {
  const tag_ItemInfo& item = m_items[plan.index];
  if (item.uiOption != QXU_ITEM_INCREMENTAL) return nullptr;
  const Version current = versionOf(item.stCurrent, item.uiClass);
  for (const KiteFeed::Delta& d : file.deltas) {
    if (d.from != current) continue;
    struct stat st;
    const std::string base = plan.folder + "/" + d.baseName;
    // The current version must be staged whole; its content is proved by
    // the digest of the merged result.
    if (::stat(base.c_str(), &st) == 0 && S_ISREG(st.st_mode) &&
        static_cast<std::uint64_t>(st.st_size) == d.baseSize)
      return &d;
  }
  return nullptr;
}

std::unique_ptr<StagedFile> UpdateSession::stageFull(const Plan& plan, const KiteFeed::File& file) {
  auto out = std::make_unique<StagedFile>(plan.folder, file.name, file.size, file.sha256);
  m_transfer->fetch(m_transfer->urlOf(file.path), *out, progressFor(plan.index));
  out->verify();
  return out;
}

std::unique_ptr<StagedFile> UpdateSession::stageFromDelta(const Plan& plan,
                                                          const KiteFeed::File& file,
                                                          const KiteFeed::Delta& delta) {
  StagedFile patch(plan.folder, file.name + ".kfdelta", delta.size, delta.sha256);
  m_transfer->fetch(m_transfer->urlOf(delta.path), patch, progressFor(plan.index));
  patch.verify();

  auto out = std::make_unique<StagedFile>(plan.folder, file.name, file.size, file.sha256);
  const std::string what = "The delta from " + delta.baseName + " to " + file.name;
  try {
    MappedFile base(plan.folder + "/" + delta.baseName);
    KiteFeed::DeltaDecoder decoder(base.data(), base.size(),
                                   [&out](const char* p, std::size_t n) { out->write(p, n); });
    FdOwner in{::open(patch.temporaryPath().c_str(), O_RDONLY | O_CLOEXEC)};
    if (in.fd < 0) fail(QXU_E_WRITE, "Cannot read back " + patch.temporaryPath(), errno);
    std::string buffer(kDeltaReadChunk, '\0');
    std::string why;
    ssize_t n;
    while ((n = ::read(in.fd, buffer.data(), buffer.size())) > 0) {
      if (!decoder.feed(buffer.data(), static_cast<std::size_t>(n), &why))
        fail(QXU_E_MERGE, what + " does not apply to the current file: " + why + ".");
    }
    if (n < 0) fail(QXU_E_WRITE, "Cannot read back " + patch.temporaryPath(), errno);
    if (!decoder.finished()) fail(QXU_E_MERGE, what + " ends before its frame does.");
    out->verify();
  } catch (const ClientError& e) {
    if (e.result() == QXU_E_FILE_SIZE || e.result() == QXU_E_FILE_DIGEST)
      fail(QXU_E_MERGE, what + " does not reproduce the new file: " + e.text());
    throw;
  }
  return out;
}

}  // namespace QxuClient
