// The client's own files below its working folder (the folder the loader
// names in "KiteFeedPath_FromLoader"), all under "kitefeed/":
//   trusted/<key id>.key   one trusted Ed25519 public key (64 hex digits)
//   state/<key id>-<feed name>.json  the highest index serial seen of a feed
//                          signed with a key, wherever the index came from
//   cache/<source id>.idx  the last verified index of a source, with .etag
//   ca.pem                 an optional extra CA bundle for https sources
// A source id is the SHA-256 of the source URL without trailing slashes.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace QxuClient {

class WorkFolder {
 public:
  // The working folder set by the loader; fails with QXU_E_WORK_FOLDER when
  // there is none.
  static WorkFolder current();
  explicit WorkFolder(const std::string& folder);

  // Trusted keys. addTrusted takes 64 hex digits (QXU_E_KEY_FORMAT otherwise)
  // and returns the key id.
  std::string addTrusted(const std::string& publicHex);
  void removeTrusted(const std::string& keyId);
  std::vector<std::string> trustedIds() const;
  // The raw 32-byte key of a trusted id; false when it is not trusted.
  bool trustedKey(const std::string& keyId, std::string* rawKey) const;

  // Remembers the serial of an index of the feed signed with the key, unless
  // it goes backwards or repeats with another body (QXU_E_INDEX_REPLAYED). A
  // state that cannot be read or understood is QXU_E_WORK_FOLDER.
  void acceptSerial(const std::string& keyId, const std::string& feedName, std::uint64_t serial,
                    const std::string& bodySha256);

  bool cachedIndex(const std::string& source, std::string* bytes, std::string* etag) const;
  void storeIndex(const std::string& source, const std::string& bytes, const std::string& etag);
  void clearCache();
  void clearCache(const std::string& source);

  std::string defaultCaFile() const;

 private:
  std::string path(const std::string& relative) const;
  void makeFolder(const std::string& relative) const;

  std::string m_root;  // OS path of <working folder>/kitefeed
};

// Source URL without trailing slashes, and its id.
std::string normalizedSource(const std::string& url);
std::string sourceId(const std::string& url);

}  // namespace QxuClient
