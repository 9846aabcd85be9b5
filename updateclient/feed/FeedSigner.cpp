#include "FeedSigner.h"

#include <openssl/bio.h>
#include <openssl/evp.h>
#include <openssl/pem.h>

#include <memory>

#include "FeedCrypto.h"

namespace KiteFeed {

namespace {

struct PkeyFree {
  void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
};
struct PkeyCtxFree {
  void operator()(EVP_PKEY_CTX* ctx) const { EVP_PKEY_CTX_free(ctx); }
};
struct MdCtxFree {
  void operator()(EVP_MD_CTX* ctx) const { EVP_MD_CTX_free(ctx); }
};
struct BioFree {
  void operator()(BIO* bio) const { BIO_free(bio); }
};
using Pkey = std::unique_ptr<EVP_PKEY, PkeyFree>;

bool rawPublicKeyOf(EVP_PKEY* key, std::string* raw) {
  std::size_t length = kPublicKeySize;
  std::string out(length, '\0');
  if (EVP_PKEY_get_raw_public_key(key, reinterpret_cast<unsigned char*>(out.data()), &length) !=
          1 ||
      length != kPublicKeySize)
    return false;
  *raw = std::move(out);
  return true;
}

Pkey readPrivateKey(const std::string& pem) {
  std::unique_ptr<BIO, BioFree> bio(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
  if (!bio) return nullptr;
  Pkey key(PEM_read_bio_PrivateKey(bio.get(), nullptr, nullptr, nullptr));
  if (!key || EVP_PKEY_get_id(key.get()) != EVP_PKEY_ED25519) return nullptr;
  return key;
}

}  // namespace

bool generateKeyPair(std::string* privatePem, std::string* publicHex) {
  std::unique_ptr<EVP_PKEY_CTX, PkeyCtxFree> ctx(EVP_PKEY_CTX_new_id(EVP_PKEY_ED25519, nullptr));
  if (!ctx || EVP_PKEY_keygen_init(ctx.get()) != 1) return false;
  EVP_PKEY* raw = nullptr;
  if (EVP_PKEY_keygen(ctx.get(), &raw) != 1) return false;
  Pkey key(raw);
  std::unique_ptr<BIO, BioFree> bio(BIO_new(BIO_s_mem()));
  if (!bio ||
      PEM_write_bio_PrivateKey(bio.get(), key.get(), nullptr, nullptr, 0, nullptr, nullptr) != 1)
    return false;
  char* data = nullptr;
  const long length = BIO_get_mem_data(bio.get(), &data);
  std::string publicKey;
  if (length <= 0 || !rawPublicKeyOf(key.get(), &publicKey)) return false;
  privatePem->assign(data, static_cast<std::size_t>(length));
  *publicHex = toHex(publicKey.data(), publicKey.size());
  return true;
}

bool signMessage(const std::string& privatePem, const std::string& message, std::string* signature,
                 std::string* rawPublicKey) {
  Pkey key = readPrivateKey(privatePem);
  if (!key || !rawPublicKeyOf(key.get(), rawPublicKey)) return false;
  std::unique_ptr<EVP_MD_CTX, MdCtxFree> ctx(EVP_MD_CTX_new());
  if (!ctx || EVP_DigestSignInit(ctx.get(), nullptr, nullptr, nullptr, key.get()) != 1)
    return false;
  std::size_t length = kSignatureSize;
  std::string out(length, '\0');
  if (EVP_DigestSign(ctx.get(), reinterpret_cast<unsigned char*>(out.data()), &length,
                     reinterpret_cast<const unsigned char*>(message.data()), message.size()) != 1 ||
      length != kSignatureSize)
    return false;
  *signature = std::move(out);
  return true;
}

}  // namespace KiteFeed
