#include "FeedCrypto.h"

#include <openssl/evp.h>

#include <cstdio>
#include <stdexcept>

namespace KiteFeed {

namespace {

struct PkeyFree {
  void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
};
struct MdCtxFree {
  void operator()(EVP_MD_CTX* ctx) const { EVP_MD_CTX_free(ctx); }
};
struct FileClose {
  void operator()(std::FILE* f) const { std::fclose(f); }
};

int hexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

std::string toHex(const void* data, std::size_t size) {
  static const char kDigits[] = "0123456789abcdef";
  const auto* bytes = static_cast<const unsigned char*>(data);
  std::string out(size * 2, '0');
  for (std::size_t i = 0; i < size; ++i) {
    out[2 * i] = kDigits[bytes[i] >> 4];
    out[2 * i + 1] = kDigits[bytes[i] & 15];
  }
  return out;
}

bool fromHex(const std::string& hex, std::string* bytes) {
  if (hex.size() % 2 != 0) return false;
  std::string out(hex.size() / 2, '\0');
  for (std::size_t i = 0; i < out.size(); ++i) {
    const int hi = hexValue(hex[2 * i]);
    const int lo = hexValue(hex[2 * i + 1]);
    if (hi < 0 || lo < 0) return false;
    out[i] = static_cast<char>(hi * 16 + lo);
  }
  *bytes = std::move(out);
  return true;
}

bool isHexOfLength(const std::string& text, std::size_t digits) {
  if (text.size() != digits) return false;
  for (char c : text)
    if (hexValue(c) < 0) return false;
  return true;
}

void Sha256::Free::operator()(EVP_MD_CTX* ctx) const { EVP_MD_CTX_free(ctx); }

Sha256::Sha256() : m_ctx(EVP_MD_CTX_new()) {
  if (!m_ctx) throw std::bad_alloc();
  reset();
}

Sha256::~Sha256() = default;

void Sha256::reset() {
  if (EVP_DigestInit_ex(m_ctx.get(), EVP_sha256(), nullptr) != 1)
    throw std::runtime_error("SHA-256 is not available");
}

void Sha256::update(const void* data, std::size_t size) {
  if (size != 0) EVP_DigestUpdate(m_ctx.get(), data, size);
}

std::string Sha256::finishHex() {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  EVP_DigestFinal_ex(m_ctx.get(), digest, &length);
  reset();
  return toHex(digest, length);
}

std::string sha256Hex(const std::string& bytes) {
  Sha256 sha;
  sha.update(bytes.data(), bytes.size());
  return sha.finishHex();
}

bool sha256OfFile(const std::string& osPath, std::string* hex, std::uint64_t* size) {
  std::unique_ptr<std::FILE, FileClose> file(std::fopen(osPath.c_str(), "rb"));
  if (!file) return false;
  Sha256 sha;
  std::uint64_t total = 0;
  std::string buffer(1 << 20, '\0');
  std::size_t got;
  while ((got = std::fread(buffer.data(), 1, buffer.size(), file.get())) > 0) {
    sha.update(buffer.data(), got);
    total += got;
  }
  if (std::ferror(file.get())) return false;
  *hex = sha.finishHex();
  *size = total;
  return true;
}

std::string keyIdOf(const std::string& rawPublicKey) { return sha256Hex(rawPublicKey); }

bool ed25519Verify(const std::string& rawPublicKey, const std::string& message,
                   const std::string& signature) {
  if (rawPublicKey.size() != kPublicKeySize || signature.size() != kSignatureSize) return false;
  std::unique_ptr<EVP_PKEY, PkeyFree> key(EVP_PKEY_new_raw_public_key(
      EVP_PKEY_ED25519, nullptr, reinterpret_cast<const unsigned char*>(rawPublicKey.data()),
      rawPublicKey.size()));
  if (!key) return false;
  std::unique_ptr<EVP_MD_CTX, MdCtxFree> ctx(EVP_MD_CTX_new());
  if (!ctx) return false;
  if (EVP_DigestVerifyInit(ctx.get(), nullptr, nullptr, nullptr, key.get()) != 1) return false;
  return EVP_DigestVerify(ctx.get(), reinterpret_cast<const unsigned char*>(signature.data()),
                          signature.size(), reinterpret_cast<const unsigned char*>(message.data()),
                          message.size()) == 1;
}

}  // namespace KiteFeed
