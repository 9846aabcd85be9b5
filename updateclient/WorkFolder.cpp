#include "WorkFolder.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>

#include "ClientError.h"
#include "OrvelKF/QxUpdateClient.h"
#include "OrvelPlatform/Path.h"
#include "Settings.h"
#include "feed/FeedCrypto.h"
#include "feed/FeedFiles.h"

namespace QxuClient {

namespace {

constexpr const char* kKeySuffix = ".key";

struct FdCloser {
  int fd;
  ~FdCloser() {
    if (fd >= 0) ::close(fd);
  }
};

struct DirCloser {
  void operator()(DIR* d) const { ::closedir(d); }
};

std::string lowerCase(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

std::string trimmed(const std::string& text) {
  const auto first = text.find_first_not_of(" \t\r\n");
  if (first == std::string::npos) return "";
  return text.substr(first, text.find_last_not_of(" \t\r\n") - first + 1);
}

[[noreturn]] void failWork(const std::string& what, const std::string& path) {
  const int error = errno;
  fail(QXU_E_WORK_FOLDER, what + " " + path + ": " + std::strerror(error),
       static_cast<unsigned>(error));
}

struct SeenSerial {
  std::uint64_t serial = 0;
  std::string bodySha256;
};

// A state that cannot be read or understood is never taken for a missing one:
// that would forget the serial and let an older index in again.
[[noreturn]] void damagedState(const std::string& statePath, const std::string& why) {
  fail(QXU_E_WORK_FOLDER, "The feed state " + statePath + " is damaged; remove it to let the " +
                              "client start the memory of this feed over (" + why + ").");
}

// The serial remembered in a state file; nothing when there is no file yet.
// The file names its key and feed, which must be the ones it is kept for.
std::optional<SeenSerial> readSeenSerial(const std::string& statePath, const std::string& keyId,
                                         const std::string& feedName) {
  std::string text;
  if (!KiteFeed::readWholeFile(statePath, &text)) {
    if (errno == ENOENT) return std::nullopt;
    failWork("Cannot read the feed state", statePath);
  }
  const auto state = nlohmann::json::parse(text, nullptr, false);
  if (!state.is_object()) damagedState(statePath, "not a JSON object");
  const auto serial = state.find("serial");
  const auto digest = state.find("body_sha256");
  if (serial == state.end() || !serial->is_number_unsigned()) damagedState(statePath, "no serial");
  if (digest == state.end() || !digest->is_string() ||
      !KiteFeed::isHexOfLength(digest->get<std::string>(), 64))
    damagedState(statePath, "no body digest");
  if (state.value("key", nlohmann::json()) != keyId ||
      state.value("feed", nlohmann::json()) != feedName)
    damagedState(statePath, "it names another key or feed");
  return SeenSerial{serial->get<std::uint64_t>(), digest->get<std::string>()};
}

}  // namespace

std::string normalizedSource(const std::string& url) {
  std::string out = url;
  while (!out.empty() && out.back() == '/') out.pop_back();
  return out;
}

std::string sourceId(const std::string& url) { return KiteFeed::sha256Hex(normalizedSource(url)); }

WorkFolder WorkFolder::current() {
  const std::string folder = ProcessState::instance().workFolder();
  if (folder.empty())
    fail(QXU_E_WORK_FOLDER, "The loader has not set the working folder (KiteFeedPath_FromLoader).");
  return WorkFolder(folder);
}

WorkFolder::WorkFolder(const std::string& folder)
    : m_root(OrvelPlatform::toOsPath(folder) + "/kitefeed") {}

std::string WorkFolder::path(const std::string& relative) const { return m_root + "/" + relative; }

void WorkFolder::makeFolder(const std::string& relative) const {
  for (const std::string& p : {m_root, path(relative)}) {
    if (::mkdir(p.c_str(), 0755) != 0 && errno != EEXIST) failWork("Cannot create the folder", p);
  }
}

std::string WorkFolder::addTrusted(const std::string& publicHex) {
  const std::string hex = lowerCase(trimmed(publicHex));
  std::string raw;
  if (!KiteFeed::isHexOfLength(hex, 64) || !KiteFeed::fromHex(hex, &raw))
    fail(QXU_E_KEY_FORMAT, "The key \"" + publicHex.substr(0, 80) +
                               "\" is not an Ed25519 public key of 64 hexadecimal digits.");
  const std::string id = KiteFeed::keyIdOf(raw);
  makeFolder("trusted");
  const std::string file = path("trusted/" + id + kKeySuffix);
  if (!KiteFeed::replaceFile(file, hex + "\n")) failWork("Cannot write the key file", file);
  return id;
}

void WorkFolder::removeTrusted(const std::string& keyId) {
  const std::string id = lowerCase(trimmed(keyId));
  if (!KiteFeed::isHexOfLength(id, 64))
    fail(QXU_E_KEY_NOT_FOUND, "\"" + keyId.substr(0, 80) + "\" is not a key id.");
  const std::string file = path("trusted/" + id + kKeySuffix);
  if (::unlink(file.c_str()) != 0) {
    if (errno == ENOENT) fail(QXU_E_KEY_NOT_FOUND, "No trusted key has the id " + id + ".");
    failWork("Cannot remove the key file", file);
  }
}

std::vector<std::string> WorkFolder::trustedIds() const {
  std::vector<std::string> ids;
  std::unique_ptr<DIR, DirCloser> dir(::opendir(path("trusted").c_str()));
  if (!dir) return ids;
  while (const dirent* entry = ::readdir(dir.get())) {
    const std::string name = entry->d_name;
    const std::string suffix(kKeySuffix);
    if (name.size() != 64 + suffix.size() || name.compare(64, suffix.size(), suffix) != 0) continue;
    const std::string id = name.substr(0, 64);
    std::string raw;
    if (KiteFeed::isHexOfLength(id, 64) && trustedKey(id, &raw)) ids.push_back(id);
  }
  std::sort(ids.begin(), ids.end());
  return ids;
}

bool WorkFolder::trustedKey(const std::string& keyId, std::string* rawKey) const {
  if (!KiteFeed::isHexOfLength(keyId, 64)) return false;
  std::string text;
  if (!KiteFeed::readWholeFile(path("trusted/" + lowerCase(keyId) + kKeySuffix), &text))
    return false;
  std::string raw;
  const std::string hex = lowerCase(trimmed(text));
  // A key file whose content does not hash to its name is not trusted.
  if (!KiteFeed::isHexOfLength(hex, 64) || !KiteFeed::fromHex(hex, &raw) ||
      KiteFeed::keyIdOf(raw) != lowerCase(keyId))
    return false;
  *rawKey = raw;
  return true;
}

void WorkFolder::acceptSerial(const std::string& keyId, const std::string& feedName,
                              std::uint64_t serial, const std::string& bodySha256) {
  makeFolder("state");
  // Key and feed, never the URL: one feed reached under another spelling of
  // its URL, or through a mirror, must not start a fresh memory.
  const std::string base = path("state/" + keyId + "-" + feedName);
  const std::string lockPath = base + ".lock";
  FdCloser lock{::open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644)};
  if (lock.fd < 0 || ::flock(lock.fd, LOCK_EX) != 0) failWork("Cannot lock", lockPath);

  const std::string statePath = base + ".json";
  const std::string feed = "The index of the feed \"" + feedName + "\" (key " + keyId + ")";
  if (const std::optional<SeenSerial> seen = readSeenSerial(statePath, keyId, feedName)) {
    if (serial < seen->serial)
      fail(QXU_E_INDEX_REPLAYED, feed + " has serial " + std::to_string(serial) + ", but serial " +
                                     std::to_string(seen->serial) + " was already received.");
    if (serial == seen->serial && seen->bodySha256 != bodySha256)
      fail(QXU_E_INDEX_REPLAYED,
           feed + " repeats serial " + std::to_string(serial) + " with different content.");
    if (serial == seen->serial) return;
  }
  const nlohmann::json state{
      {"key", keyId}, {"feed", feedName}, {"serial", serial}, {"body_sha256", bodySha256}};
  if (!KiteFeed::replaceFile(statePath, state.dump() + "\n"))
    failWork("Cannot write the feed state", statePath);
}

bool WorkFolder::cachedIndex(const std::string& source, std::string* bytes,
                             std::string* etag) const {
  const std::string base = path("cache/" + sourceId(source));
  std::string tag;
  if (!KiteFeed::readWholeFile(base + ".idx", bytes)) return false;
  if (!KiteFeed::readWholeFile(base + ".etag", &tag)) tag.clear();
  *etag = trimmed(tag);
  return true;
}

void WorkFolder::storeIndex(const std::string& source, const std::string& bytes,
                            const std::string& etag) {
  makeFolder("cache");
  const std::string base = path("cache/" + sourceId(source));
  // The index goes first: a stale .etag beside a new index only costs one
  // full fetch, the reverse could pair an old index with a new tag.
  ::unlink((base + ".etag").c_str());
  if (!KiteFeed::replaceFile(base + ".idx", bytes)) failWork("Cannot write", base + ".idx");
  if (!etag.empty() && !KiteFeed::replaceFile(base + ".etag", etag + "\n"))
    failWork("Cannot write", base + ".etag");
}

void WorkFolder::clearCache() {
  const std::string folder = path("cache");
  std::unique_ptr<DIR, DirCloser> dir(::opendir(folder.c_str()));
  if (!dir) {
    if (errno == ENOENT) return;
    failWork("Cannot open", folder);
  }
  while (const dirent* entry = ::readdir(dir.get())) {
    const std::string name = entry->d_name;
    if (name == "." || name == "..") continue;
    const std::string file = folder + "/" + name;
    if (::unlink(file.c_str()) != 0 && errno != ENOENT) failWork("Cannot remove", file);
  }
}

void WorkFolder::clearCache(const std::string& source) {
  const std::string base = path("cache/" + sourceId(source));
  for (const char* suffix : {".idx", ".etag"}) {
    const std::string file = base + suffix;
    if (::unlink(file.c_str()) != 0 && errno != ENOENT) failWork("Cannot remove", file);
  }
}

std::string WorkFolder::defaultCaFile() const { return path("ca.pem"); }

}  // namespace QxuClient
