#include "Publisher.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <map>
#include <set>
#include <sstream>

#include "feed/FeedCrypto.h"
#include "feed/FeedDelta.h"
#include "feed/FeedFiles.h"
#include "feed/FeedSigner.h"

namespace KiteFeed {

namespace fs = std::filesystem;

namespace {

constexpr const char* kCatalogName = "catalog.json";

std::string readFile(const std::string& path) {
  std::string bytes;
  if (!readWholeFile(path, &bytes))
    throw PublishError("cannot read " + path + ": " + std::strerror(errno));
  return bytes;
}

void writeAtomically(const std::string& path, const std::string& bytes) {
  if (!replaceFile(path, bytes))
    throw PublishError("cannot write " + path + ": " + std::strerror(errno));
}

bool sameKey(const Entry& a, const Entry& b) {
  return a.itemClass == b.itemClass && a.id == b.id && a.platform == b.platform &&
         a.languages == b.languages;
}

// Files of two versions are paired by their names with every digit removed
// ("ksv$pat.763" and "ksv$pat.764", "qx015000.rul" and "qx015001.rul").
std::string pairingKey(const std::string& name) {
  std::string key;
  for (char c : name)
    if (c < '0' || c > '9') key += c;
  return key;
}

const File* baseFileFor(const Entry& earlier, const std::string& name) {
  for (const File& f : earlier.files)
    if (f.name == name) return &f;
  const File* match = nullptr;
  for (const File& f : earlier.files) {
    if (pairingKey(f.name) != pairingKey(name)) continue;
    if (match) return nullptr;  // ambiguous: no delta rather than a wrong one
    match = &f;
  }
  return match;
}

// Clients remember serials per feed name: a feed keeps the name it was first
// signed with, so that no client takes a renamed feed for a new one.
std::string feedNameFor(const Catalog& catalog, const std::string& given) {
  if (given.empty()) {
    if (catalog.feed.empty())
      throw PublishError("the feed has no name yet: give it one when signing (--name)");
    return catalog.feed;
  }
  if (!isFeedName(given))
    throw PublishError("\"" + given +
                       "\" is not a feed name (1 to 64 letters, digits, '.', '_' or '-', "
                       "beginning with a letter or digit)");
  if (!catalog.feed.empty() && catalog.feed != given)
    throw PublishError("the feed is named \"" + catalog.feed + "\"; a feed keeps its name");
  return given;
}

void addPaths(const std::vector<Entry>& entries, std::set<std::string>* paths) {
  for (const Entry& e : entries)
    for (const File& f : e.files) {
      paths->insert(f.path);
      for (const Delta& d : f.deltas) paths->insert(d.path);
    }
}

std::string hexWord(std::uint32_t n) {
  std::ostringstream out;
  out << "0x" << std::hex << n;
  return out.str();
}

}  // namespace

Publisher::Publisher(std::string feedFolder) : m_folder(std::move(feedFolder)) {}

Catalog Publisher::load() const {
  const std::string path = m_folder + "/" + kCatalogName;
  Catalog catalog;
  if (!fs::exists(path)) return catalog;
  std::string why;
  if (!parseCatalog(readFile(path), &catalog, &why)) throw PublishError(path + " is " + why);
  return catalog;
}

void Publisher::save(const Catalog& catalog) const {
  writeAtomically(m_folder + "/" + kCatalogName, writeCatalog(catalog));
}

std::string Publisher::storeBytes(const std::string& folder, const std::string& bytes) const {
  const std::string digest = sha256Hex(bytes);
  const std::string relative = folder + "/" + digest;
  const std::string path = m_folder + "/" + relative;
  fs::create_directories(m_folder + "/" + folder);
  if (!fs::exists(path)) writeAtomically(path, bytes);
  return relative;
}

AddResult Publisher::add(const AddRequest& request) {
  if (request.itemClass != kClassVersioned && request.itemClass != kClassNumbered)
    throw PublishError("the class must be 2 (versioned item) or 3 (numbered item)");
  if (request.files.empty()) throw PublishError("an item version needs at least one file");
  if (request.keep < 1) throw PublishError("--keep must be at least 1");
  Entry entry;
  entry.itemClass = request.itemClass;
  entry.id = request.id;
  entry.platform = request.platform;
  entry.languages = request.languages;
  if (!parseVersionText(request.itemClass, request.version, &entry.version))
    throw PublishError("\"" + request.version + "\" is not a version of class " +
                       std::to_string(request.itemClass) +
                       (request.itemClass == kClassVersioned ? " (three numbers: 8.700.1004)"
                                                             : " (one number: 576300)"));
  fs::create_directories(m_folder);
  Catalog catalog = load();

  std::vector<const Entry*> earlier;
  for (const Entry& e : catalog.entries)
    if (sameKey(e, entry)) earlier.push_back(&e);
  std::sort(earlier.begin(), earlier.end(),
            [](const Entry* a, const Entry* b) { return b->version < a->version; });
  if (!earlier.empty() && !(earlier.front()->version < entry.version))
    throw PublishError("refusing to publish version " + request.version +
                       ": it is not newer than the published version " +
                       versionText(entry.itemClass, earlier.front()->version));
  // Deltas are made from the versions that stay in the catalogue.
  if (earlier.size() > request.keep - 1) earlier.resize(request.keep - 1);

  AddResult result;
  std::set<std::string> names;
  for (const std::string& path : request.files) {
    File file;
    file.name = fs::path(path).filename().string();
    if (!isPlainFileName(file.name) || !names.insert(file.name).second)
      throw PublishError("\"" + path + "\" does not give a usable, unique file name");
    const std::string bytes = readFile(path);
    file.size = bytes.size();
    file.sha256 = sha256Hex(bytes);
    file.path = storeBytes("files", bytes);
    for (const Entry* old : earlier) {
      const File* base = baseFileFor(*old, file.name);
      if (!base) continue;
      std::string delta, why;
      const std::string baseBytes = readFile(m_folder + "/" + base->path);
      if (!makeDelta(baseBytes, bytes, request.level, &delta, &why))
        throw PublishError("cannot make a delta for " + file.name + ": " + why);
      if (delta.size() >= bytes.size()) continue;  // the full file is no larger
      Delta d;
      d.from = old->version;
      d.baseName = base->name;
      d.baseSize = base->size;
      d.baseSha256 = base->sha256;
      d.size = delta.size();
      d.sha256 = sha256Hex(delta);
      d.path = storeBytes("deltas", delta);
      file.deltas.push_back(d);
      ++result.deltas;
    }
    entry.files.push_back(file);
  }

  std::set<std::string> kept;
  for (const Entry* old : earlier) kept.insert(versionText(old->itemClass, old->version));
  std::vector<Entry> next;
  for (const Entry& e : catalog.entries) {
    if (sameKey(e, entry) && !kept.count(versionText(e.itemClass, e.version))) {
      result.pruned.push_back(versionText(e.itemClass, e.version));
      continue;
    }
    next.push_back(e);
  }
  // Deltas from a dropped version can no longer be made again or checked.
  for (Entry& e : next) {
    if (!sameKey(e, entry)) continue;
    for (File& f : e.files)
      f.deltas.erase(std::remove_if(f.deltas.begin(), f.deltas.end(),
                                    [&](const Delta& d) {
                                      return !kept.count(versionText(e.itemClass, d.from));
                                    }),
                     f.deltas.end());
  }
  next.push_back(entry);
  catalog.entries = std::move(next);
  save(catalog);
  removeUnreferenced(catalog.entries);
  return result;
}

// Clients fetch what the signed index being served names until the next
// sign replaces it: those files stay even when the catalogue dropped them.
void Publisher::removeUnreferenced(const std::vector<Entry>& entries) const {
  std::set<std::string> used;
  if (!addLiveIndexPaths(&used)) return;  // what the clients need is unknown
  addPaths(entries, &used);
  for (const char* folder : {"files", "deltas"}) {
    const fs::path dir = fs::path(m_folder) / folder;
    if (!fs::is_directory(dir)) continue;
    for (const auto& item : fs::directory_iterator(dir)) {
      const std::string relative = std::string(folder) + "/" + item.path().filename().string();
      if (!used.count(relative)) fs::remove(item.path());
    }
  }
}

bool Publisher::addLiveIndexPaths(std::set<std::string>* paths) const {
  const std::string path = m_folder + "/" + kIndexFileName;
  if (!fs::exists(path)) return true;
  Envelope envelope;
  Body body;
  std::string why;
  if (!parseEnvelope(readFile(path), &envelope, &why) || !parseBody(envelope.body, &body, &why))
    return false;
  addPaths(body.entries, paths);
  return true;
}

std::uint64_t Publisher::sign(const std::string& privateKeyPem, const std::string& feedName,
                              std::int64_t validSeconds, std::time_t now) {
  if (validSeconds < 1) throw PublishError("the validity must be at least one second");
  Catalog catalog = load();
  Body body;
  body.feed = feedNameFor(catalog, feedName);
  body.serial = catalog.serial + 1;
  body.issued = now;
  body.expires = static_cast<std::int64_t>(now) + validSeconds;
  // The index lists the newest version of every item.
  for (const Entry& e : catalog.entries) {
    auto it = std::find_if(body.entries.begin(), body.entries.end(),
                           [&](const Entry& b) { return sameKey(b, e); });
    if (it == body.entries.end())
      body.entries.push_back(e);
    else if (it->version < e.version)
      *it = e;
  }
  Envelope envelope;
  envelope.body = writeBody(body);
  std::string publicKey;
  if (!signMessage(privateKeyPem, envelope.body, &envelope.signature, &publicKey))
    throw PublishError("the private key is not an Ed25519 key in PEM form");
  envelope.keyId = keyIdOf(publicKey);
  fs::create_directories(m_folder);
  writeAtomically(m_folder + "/" + kIndexFileName, writeEnvelope(envelope));
  catalog.feed = body.feed;
  catalog.serial = body.serial;
  save(catalog);
  removeUnreferenced(catalog.entries);
  return body.serial;
}

std::vector<std::string> Publisher::list() const {
  std::vector<std::string> lines;
  for (const Entry& e : load().entries) {
    std::string line = "class " + std::to_string(e.itemClass) + " id " + hexWord(e.id) +
                       " platform " + hexWord(e.platform) + " languages " + hexWord(e.languages) +
                       " version " + versionText(e.itemClass, e.version);
    for (const File& f : e.files)
      line += " | " + f.name + " " + std::to_string(f.size) + " bytes, " +
              std::to_string(f.deltas.size()) + " deltas";
    lines.push_back(line);
  }
  return lines;
}

bool makeKeyFiles(const std::string& privatePath, const std::string& publicPath,
                  std::string* publicHex, std::string* why) {
  std::string pem;
  if (!generateKeyPair(&pem, publicHex)) {
    *why = "OpenSSL cannot make an Ed25519 key";
    return false;
  }
  // Created with its final mode, never over a file or through a planted
  // link: at no moment can another user read the key.
  if (!createFileExclusively(privatePath, pem, 0600)) {
    const int error = errno;
    *why = "cannot create " + privatePath + ": " + std::strerror(error) +
           (error == EEXIST ? " (a key file is never replaced)" : "");
    return false;
  }
  if (!replaceFile(publicPath, *publicHex + "\n")) {
    const int error = errno;
    *why = "cannot write " + publicPath + ": " + std::strerror(error);
    ::unlink(privatePath.c_str());  // a key without its public half is of no use
    return false;
  }
  return true;
}

}  // namespace KiteFeed
