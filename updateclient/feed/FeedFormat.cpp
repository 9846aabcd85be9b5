#include "FeedFormat.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <nlohmann/json.hpp>
#include <set>
#include <stdexcept>
#include <tuple>

#include "FeedCrypto.h"

namespace KiteFeed {

using nlohmann::json;

namespace {

constexpr const char* kMagicLine = "KITEFEED-INDEX 1\n";
constexpr std::uint64_t kMaxJsonInteger = 1ULL << 53;

// Every check failure of the body raises this; parse functions turn it into
// their false result and the text.
struct FormatError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// Feed names and the segments of feed paths: [A-Za-z0-9._-].
bool isFeedCharacter(char c) {
  return std::isalnum(static_cast<unsigned char>(c)) || c == '.' || c == '_' || c == '-';
}

void require(bool ok, const std::string& what) {
  if (!ok) throw FormatError(what);
}

const json& field(const json& object, const char* name) {
  require(object.is_object(), std::string("expected an object holding \"") + name + "\"");
  auto it = object.find(name);
  require(it != object.end(), std::string("missing field \"") + name + "\"");
  return *it;
}

std::uint64_t unsignedField(const json& object, const char* name, std::uint64_t max) {
  const json& value = field(object, name);
  require(
      value.is_number_unsigned() || (value.is_number_integer() && value.get<std::int64_t>() >= 0),
      std::string("field \"") + name + "\" is not a non-negative integer");
  const std::uint64_t n = value.get<std::uint64_t>();
  require(n <= max, std::string("field \"") + name + "\" is out of range");
  return n;
}

std::uint32_t wordField(const json& object, const char* name) {
  return static_cast<std::uint32_t>(unsignedField(object, name, 0xFFFFFFFFULL));
}

std::int64_t timeField(const json& object, const char* name) {
  const json& value = field(object, name);
  require(value.is_number_integer(), std::string("field \"") + name + "\" is not an integer");
  return value.get<std::int64_t>();
}

std::string textField(const json& object, const char* name) {
  const json& value = field(object, name);
  require(value.is_string(), std::string("field \"") + name + "\" is not a text");
  return value.get<std::string>();
}

std::string digestField(const json& object, const char* name) {
  std::string text = textField(object, name);
  require(isHexOfLength(text, 64), std::string("field \"") + name + "\" is not a SHA-256 digest");
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

std::string pathField(const json& object, const char* name) {
  std::string text = textField(object, name);
  require(isFeedPath(text), std::string("field \"") + name + "\" is not a feed path: " + text);
  return text;
}

std::string feedNameField(const json& object, const char* name) {
  std::string text = textField(object, name);
  require(isFeedName(text), std::string("field \"") + name + "\" is not a feed name");
  return text;
}

std::string nameField(const json& object, const char* name) {
  std::string text = textField(object, name);
  require(isPlainFileName(text), std::string("field \"") + name + "\" is not a plain file name");
  return text;
}

Version versionField(const json& object, const char* name, std::uint32_t itemClass) {
  const json& value = field(object, name);
  Version v;
  if (itemClass == kClassNumbered) {
    v.major = wordField(object, name);
    return v;
  }
  require(value.is_string() && parseVersionText(itemClass, value.get<std::string>(), &v),
          std::string("field \"") + name + "\" is not a version of three numbers");
  return v;
}

json versionJson(std::uint32_t itemClass, const Version& v) {
  if (itemClass == kClassNumbered) return v.major;
  return versionText(itemClass, v);
}

Delta deltaFromJson(const json& j, std::uint32_t itemClass) {
  Delta d;
  d.from = versionField(j, "from", itemClass);
  d.baseName = nameField(j, "base_name");
  d.baseSize = unsignedField(j, "base_size", kMaxJsonInteger);
  d.baseSha256 = digestField(j, "base_sha256");
  d.path = pathField(j, "path");
  d.size = unsignedField(j, "size", kMaxJsonInteger);
  d.sha256 = digestField(j, "sha256");
  return d;
}

File fileFromJson(const json& j, std::uint32_t itemClass) {
  File f;
  f.name = nameField(j, "name");
  f.size = unsignedField(j, "size", kMaxJsonInteger);
  f.sha256 = digestField(j, "sha256");
  f.path = pathField(j, "path");
  auto it = j.find("deltas");
  if (it != j.end()) {
    require(it->is_array(), "field \"deltas\" is not a list");
    for (const json& d : *it) f.deltas.push_back(deltaFromJson(d, itemClass));
  }
  return f;
}

Entry entryFromJson(const json& j) {
  Entry e;
  e.itemClass = wordField(j, "class");
  require(e.itemClass == kClassVersioned || e.itemClass == kClassNumbered,
          "an item has a class other than 2 or 3");
  e.id = wordField(j, "id");
  e.platform = wordField(j, "platform");
  e.languages = wordField(j, "languages");
  e.version = versionField(j, "version", e.itemClass);
  const json& files = field(j, "files");
  require(files.is_array() && !files.empty(), "an item has no list of files");
  std::set<std::string> names;
  for (const json& f : files) {
    e.files.push_back(fileFromJson(f, e.itemClass));
    require(names.insert(e.files.back().name).second, "an item lists a file name twice");
  }
  return e;
}

json deltaJson(const Delta& d, std::uint32_t itemClass) {
  return json{{"from", versionJson(itemClass, d.from)},
              {"base_name", d.baseName},
              {"base_size", d.baseSize},
              {"base_sha256", d.baseSha256},
              {"path", d.path},
              {"size", d.size},
              {"sha256", d.sha256}};
}

json entryJson(const Entry& e) {
  json files = json::array();
  for (const File& f : e.files) {
    json deltas = json::array();
    for (const Delta& d : f.deltas) deltas.push_back(deltaJson(d, e.itemClass));
    files.push_back(json{{"name", f.name},
                         {"size", f.size},
                         {"sha256", f.sha256},
                         {"path", f.path},
                         {"deltas", deltas}});
  }
  return json{{"class", e.itemClass},
              {"id", e.id},
              {"platform", e.platform},
              {"languages", e.languages},
              {"version", versionJson(e.itemClass, e.version)},
              {"files", files}};
}

std::vector<Entry> entriesFromJson(const json& list) {
  require(list.is_array(), "field \"items\" is not a list");
  std::vector<Entry> entries;
  for (const json& e : list) entries.push_back(entryFromJson(e));
  return entries;
}

json entriesJson(const std::vector<Entry>& entries) {
  json list = json::array();
  for (const Entry& e : entries) list.push_back(entryJson(e));
  return list;
}

bool takeLine(const std::string& bytes, std::size_t* pos, const char* prefix, std::string* value) {
  const std::size_t end = bytes.find('\n', *pos);
  if (end == std::string::npos) return false;
  const std::string line = bytes.substr(*pos, end - *pos);
  const std::string p(prefix);
  if (line.compare(0, p.size(), p) != 0) return false;
  *value = line.substr(p.size());
  *pos = end + 1;
  return true;
}

}  // namespace

bool operator==(const Version& a, const Version& b) {
  return a.major == b.major && a.minor == b.minor && a.build == b.build;
}

bool operator<(const Version& a, const Version& b) {
  return std::tie(a.major, a.minor, a.build) < std::tie(b.major, b.minor, b.build);
}

std::string versionText(std::uint32_t itemClass, const Version& v) {
  if (itemClass == kClassNumbered) return std::to_string(v.major);
  return std::to_string(v.major) + "." + std::to_string(v.minor) + "." + std::to_string(v.build);
}

bool parseVersionText(std::uint32_t itemClass, const std::string& text, Version* v) {
  const int parts = itemClass == kClassNumbered ? 1 : 3;
  std::uint32_t words[3] = {0, 0, 0};
  std::size_t pos = 0;
  for (int i = 0; i < parts; ++i) {
    if (i > 0) {
      if (pos >= text.size() || text[pos] != '.') return false;
      ++pos;
    }
    std::uint64_t n = 0;
    const std::size_t start = pos;
    while (pos < text.size() && text[pos] >= '0' && text[pos] <= '9') {
      n = n * 10 + static_cast<unsigned>(text[pos] - '0');
      if (n > 0xFFFFFFFFULL) return false;
      ++pos;
    }
    if (pos == start) return false;
    words[i] = static_cast<std::uint32_t>(n);
  }
  if (pos != text.size()) return false;
  v->major = words[0];
  v->minor = words[1];
  v->build = words[2];
  return true;
}

bool parseEnvelope(const std::string& bytes, Envelope* envelope, std::string* why) {
  const std::string magic(kMagicLine);
  if (bytes.compare(0, magic.size(), magic) != 0) {
    *why = "the index does not begin with \"KITEFEED-INDEX 1\"";
    return false;
  }
  std::size_t pos = magic.size();
  std::string keyId, signatureHex;
  if (!takeLine(bytes, &pos, "key ", &keyId) || !isHexOfLength(keyId, 64)) {
    *why = "the index has no valid \"key\" line";
    return false;
  }
  if (!takeLine(bytes, &pos, "signature ", &signatureHex) ||
      !isHexOfLength(signatureHex, 2 * kSignatureSize)) {
    *why = "the index has no valid \"signature\" line";
    return false;
  }
  if (pos >= bytes.size() || bytes[pos] != '\n') {
    *why = "the index header does not end with an empty line";
    return false;
  }
  for (char& c : keyId) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  envelope->keyId = keyId;
  fromHex(signatureHex, &envelope->signature);
  envelope->body = bytes.substr(pos + 1);
  return true;
}

std::string writeEnvelope(const Envelope& envelope) {
  return std::string(kMagicLine) + "key " + envelope.keyId + "\nsignature " +
         toHex(envelope.signature.data(), envelope.signature.size()) + "\n\n" + envelope.body;
}

bool parseBody(const std::string& text, Body* body, std::string* why) {
  try {
    const json j = json::parse(text);
    require(unsignedField(j, "format", 0xFFFF) == kFormatVersion, "unknown format version");
    Body b;
    b.feed = feedNameField(j, "feed");
    b.serial = unsignedField(j, "serial", kMaxJsonInteger);
    b.issued = timeField(j, "issued");
    b.expires = timeField(j, "expires");
    b.entries = entriesFromJson(field(j, "items"));
    *body = std::move(b);
    return true;
  } catch (const json::exception& e) {
    *why = std::string("the index body is not valid JSON: ") + e.what();
  } catch (const FormatError& e) {
    *why = std::string("the index body is malformed: ") + e.what();
  }
  return false;
}

std::string writeBody(const Body& body) {
  const json j{{"format", kFormatVersion}, {"feed", body.feed},
               {"serial", body.serial},    {"issued", body.issued},
               {"expires", body.expires},  {"items", entriesJson(body.entries)}};
  return j.dump(1) + "\n";
}

std::string writeCatalog(const Catalog& catalog) {
  json j{{"format", kFormatVersion},
         {"serial", catalog.serial},
         {"items", entriesJson(catalog.entries)}};
  if (!catalog.feed.empty()) j["feed"] = catalog.feed;
  return j.dump(1) + "\n";
}

bool parseCatalog(const std::string& text, Catalog* catalog, std::string* why) {
  try {
    const json j = json::parse(text);
    require(unsignedField(j, "format", 0xFFFF) == kFormatVersion, "unknown format version");
    Catalog c;
    // A feed that was never signed has no name yet.
    if (j.contains("feed")) c.feed = feedNameField(j, "feed");
    c.serial = unsignedField(j, "serial", kMaxJsonInteger);
    c.entries = entriesFromJson(field(j, "items"));
    *catalog = std::move(c);
    return true;
  } catch (const json::exception& e) {
    *why = std::string("not valid JSON: ") + e.what();
  } catch (const FormatError& e) {
    *why = std::string("malformed: ") + e.what();
  }
  return false;
}

bool isPlainFileName(const std::string& name) {
  if (name.empty() || name.size() > 255 || name == "." || name == "..") return false;
  for (unsigned char c : name)
    if (c == '/' || c == '\\' || c < 0x20 || c == 0x7F) return false;
  return true;
}

bool isFeedName(const std::string& name) {
  if (name.empty() || name.size() > 64 || !std::isalnum(static_cast<unsigned char>(name[0])))
    return false;
  return std::all_of(name.begin(), name.end(), isFeedCharacter);
}

bool isFeedPath(const std::string& path) {
  if (path.empty() || path.size() > 1024) return false;
  std::size_t start = 0;
  while (true) {
    const std::size_t end = path.find('/', start);
    const std::string segment = path.substr(start, end == std::string::npos ? end : end - start);
    if (segment.empty() || segment == "." || segment == "..") return false;
    if (!std::all_of(segment.begin(), segment.end(), isFeedCharacter)) return false;
    if (end == std::string::npos) return true;
    start = end + 1;
  }
}

}  // namespace KiteFeed
