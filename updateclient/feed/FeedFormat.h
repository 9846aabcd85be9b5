// The update feed's index: data model, the signed envelope and the JSON body.
// FEED.md (one folder up) describes the format for people; this is the one
// place in code that reads and writes it, used by the client and the
// publisher alike.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace KiteFeed {

// File name of the signed index in the feed's root folder.
constexpr const char* kIndexFileName = "kitefeed.idx";
constexpr int kFormatVersion = 1;

constexpr std::uint32_t kClassVersioned = 2;
constexpr std::uint32_t kClassNumbered = 3;

// Three words for class 2 (major.minor.build); class 3 keeps the pattern
// number in major and zeros elsewhere.
struct Version {
  std::uint32_t major = 0;
  std::uint32_t minor = 0;
  std::uint32_t build = 0;
};
bool operator==(const Version& a, const Version& b);
bool operator<(const Version& a, const Version& b);
inline bool operator!=(const Version& a, const Version& b) { return !(a == b); }

// "8.700.1004" for class 2, "576300" for class 3.
std::string versionText(std::uint32_t itemClass, const Version& v);
// Strict inverse of versionText: three decimal numbers for class 2, one for 3.
bool parseVersionText(std::uint32_t itemClass, const std::string& text, Version* v);

// A delta that turns the file of an earlier version into this file.
struct Delta {
  Version from;
  std::string baseName;  // name of the earlier file in the destination folder
  std::uint64_t baseSize = 0;
  std::string baseSha256;
  std::string path;  // below the feed root
  std::uint64_t size = 0;
  std::string sha256;
};

struct File {
  std::string name;  // plain file name in the destination folder
  std::uint64_t size = 0;
  std::string sha256;
  std::string path;  // below the feed root
  std::vector<Delta> deltas;
};

// One version of one item for one platform and a set of languages.
struct Entry {
  std::uint32_t itemClass = 0;
  std::uint32_t id = 0;
  std::uint32_t platform = 0;
  std::uint32_t languages = 0;  // bit mask of language bits
  Version version;
  std::vector<File> files;
};

struct Body {
  std::string feed;  // the feed's name (isFeedName); serials count per feed and key
  std::uint64_t serial = 0;
  std::int64_t issued = 0;   // seconds since 1970 (UTC)
  std::int64_t expires = 0;  // the index is refused from this second on
  std::vector<Entry> entries;
};

// The signed envelope: the body bytes, the id of the signing key and the
// signature over exactly those bytes.
struct Envelope {
  std::string keyId;      // 64 hexadecimal digits
  std::string signature;  // 64 raw bytes
  std::string body;
};

bool parseEnvelope(const std::string& bytes, Envelope* envelope, std::string* why);
std::string writeEnvelope(const Envelope& envelope);

bool parseBody(const std::string& json, Body* body, std::string* why);
std::string writeBody(const Body& body);

// The publisher's catalogue: every kept version, the feed's name (empty until
// the first signature) and the serial of the last signed index.
struct Catalog {
  std::string feed;
  std::uint64_t serial = 0;
  std::vector<Entry> entries;
};
std::string writeCatalog(const Catalog& catalog);
bool parseCatalog(const std::string& json, Catalog* catalog, std::string* why);

// A name a file may have in a destination folder: not empty, not "." or "..",
// no "/", "\" or control character, at most 255 bytes.
bool isPlainFileName(const std::string& name);
// A feed's name: 1 to 64 of [A-Za-z0-9._-], beginning with a letter or digit
// (it is part of a file name in the client's working folder).
bool isFeedName(const std::string& name);
// A relative path below the feed root: segments of [A-Za-z0-9._-], none of
// them empty, "." or "..", at most 1024 bytes.
bool isFeedPath(const std::string& path);

}  // namespace KiteFeed
