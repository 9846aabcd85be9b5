// Digests, hexadecimal text and Ed25519 checks shared by the update client and
// the feed publisher. OpenSSL objects are held by RAII owners; nothing here
// throws except std::bad_alloc.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

typedef struct evp_md_ctx_st EVP_MD_CTX;

namespace KiteFeed {

constexpr std::size_t kPublicKeySize = 32;
constexpr std::size_t kSignatureSize = 64;

std::string toHex(const void* data, std::size_t size);
// Lower- or upper-case digits; false on odd length or a non-digit.
bool fromHex(const std::string& hex, std::string* bytes);
bool isHexOfLength(const std::string& text, std::size_t digits);

// Streaming SHA-256.
class Sha256 {
 public:
  Sha256();
  ~Sha256();
  Sha256(const Sha256&) = delete;
  Sha256& operator=(const Sha256&) = delete;

  void update(const void* data, std::size_t size);
  // The digest in lower-case hexadecimal; the object starts over afterwards.
  std::string finishHex();
  void reset();

 private:
  struct Free {
    void operator()(EVP_MD_CTX* ctx) const;
  };
  std::unique_ptr<EVP_MD_CTX, Free> m_ctx;
};

std::string sha256Hex(const std::string& bytes);
// Digest and size of a file; false when it cannot be read.
bool sha256OfFile(const std::string& osPath, std::string* hex, std::uint64_t* size);

// The id of a raw 32-byte public key: its SHA-256 in hexadecimal.
std::string keyIdOf(const std::string& rawPublicKey);

// True when signature (64 raw bytes) is a valid Ed25519 signature of message
// under the raw 32-byte public key.
bool ed25519Verify(const std::string& rawPublicKey, const std::string& message,
                   const std::string& signature);

}  // namespace KiteFeed
