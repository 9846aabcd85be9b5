#include "OrvelCommon/PasswordCipher.h"

#include <fcntl.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/rand.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string_view>
#include <vector>

#include "OrvelCommon/Log.h"
#include "OrvelPlatform/Path.h"

namespace ORVEL {

namespace {

constexpr std::size_t kKeyBytes = 32;
constexpr std::size_t kNonceBytes = 12;
constexpr std::size_t kTagBytes = 16;
constexpr std::string_view kPrefix = kCipherTextPrefix;
static_assert(kPrefix.size() == 5, "kCipherMaxPlainBytes assumes a five-byte prefix");

// Key material never outlives its use in memory.
struct CipherKey {
  unsigned char bytes[kKeyBytes];
  ~CipherKey() { OPENSSL_cleanse(bytes, sizeof bytes); }
};

// Holds plain text; wiped when it goes.
struct SecretBuffer {
  explicit SecretBuffer(std::size_t size) : bytes(size) {}
  ~SecretBuffer() { OPENSSL_cleanse(bytes.data(), bytes.size()); }
  std::vector<unsigned char> bytes;
};

struct CipherContextFree {
  void operator()(EVP_CIPHER_CTX* context) const { EVP_CIPHER_CTX_free(context); }
};
using CipherContext = std::unique_ptr<EVP_CIPHER_CTX, CipherContextFree>;

enum class KeyStatus { kLoaded, kMissing, kRefused };

std::string configFolder() {
  const char* home = std::getenv("ORVEL_HOME");
  if (!home || !*home) return std::string();
  return OrvelPlatform::toOsPath(std::string(home) + "\\config");
}

bool readExactly(int fd, unsigned char* out, std::size_t size) {
  std::size_t done = 0;
  while (done < size) {
    ssize_t n = ::read(fd, out + done, size - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<std::size_t>(n);
  }
  return true;
}

bool writeExactly(int fd, const unsigned char* data, std::size_t size) {
  std::size_t done = 0;
  while (done < size) {
    ssize_t n = ::write(fd, data + done, size - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<std::size_t>(n);
  }
  return true;
}

// A key that others can read protects nothing, and a key of the wrong length is not ours: either
// is reported and left alone, never used or replaced.
bool keyFileAcceptable(const std::string& path, const struct stat& st) {
  if (!S_ISREG(st.st_mode)) {
    Log::LogByLevel(ORVEL_LOG_ERROR, "PasswordCipher: key file %s refused: not a regular file",
                    path.c_str());
    return false;
  }
  if (st.st_mode & 077) {
    Log::LogByLevel(ORVEL_LOG_ERROR,
                    "PasswordCipher: key file %s refused: mode %04o gives access to others",
                    path.c_str(), static_cast<unsigned>(st.st_mode & 07777));
    return false;
  }
  if (st.st_size != static_cast<off_t>(kKeyBytes)) {
    Log::LogByLevel(ORVEL_LOG_ERROR, "PasswordCipher: key file %s refused: %lld bytes, not %zu",
                    path.c_str(), static_cast<long long>(st.st_size), kKeyBytes);
    return false;
  }
  return true;
}

KeyStatus loadKey(const std::string& path, CipherKey* key) {
  // No link is followed: the key file must be the file itself.
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK | O_NOFOLLOW);
  if (fd < 0) {
    if (errno == ENOENT) return KeyStatus::kMissing;
    Log::LogByLevel(ORVEL_LOG_ERROR, "PasswordCipher: key file %s refused: %s", path.c_str(),
                    std::strerror(errno));
    return KeyStatus::kRefused;
  }
  struct stat st;
  bool ok = ::fstat(fd, &st) == 0 && keyFileAcceptable(path, st);
  if (ok && !readExactly(fd, key->bytes, kKeyBytes)) {
    Log::LogByLevel(ORVEL_LOG_ERROR, "PasswordCipher: key file %s could not be read", path.c_str());
    ok = false;
  }
  ::close(fd);
  return ok ? KeyStatus::kLoaded : KeyStatus::kRefused;
}

bool writeKeyFile(int fd, const CipherKey& key) {
  return ::fchmod(fd, 0600) == 0 && writeExactly(fd, key.bytes, kKeyBytes) && ::fsync(fd) == 0;
}

// The key is written under a temporary name and linked into place, so the key file appears whole
// or not at all; link() fails when another process was first, and then its key is the one used.
KeyStatus createKey(const std::string& folder, const std::string& path, CipherKey* key) {
  ::mkdir(folder.c_str(), 0755);
  if (RAND_bytes(key->bytes, static_cast<int>(kKeyBytes)) != 1) {
    Log::LogByLevel(ORVEL_LOG_ERROR, "PasswordCipher: no random bytes for a new key");
    return KeyStatus::kRefused;
  }
  std::string pattern = folder + "/." + kCipherKeyFileName + ".XXXXXX";
  std::vector<char> tempName(pattern.begin(), pattern.end());
  tempName.push_back('\0');
  int fd = ::mkostemp(tempName.data(), O_CLOEXEC);
  if (fd < 0) {
    Log::LogByLevel(ORVEL_LOG_ERROR, "PasswordCipher: cannot create key file in %s: %s",
                    folder.c_str(), std::strerror(errno));
    return KeyStatus::kRefused;
  }
  bool written = writeKeyFile(fd, *key);
  written = ::close(fd) == 0 && written;
  int linkError = 0;
  if (written && ::link(tempName.data(), path.c_str()) != 0) linkError = errno;
  ::unlink(tempName.data());
  if (written && linkError == 0) return KeyStatus::kLoaded;
  if (linkError == EEXIST) return loadKey(path, key);
  Log::LogByLevel(ORVEL_LOG_ERROR, "PasswordCipher: cannot create key file %s: %s", path.c_str(),
                  written ? std::strerror(linkError) : "write failed");
  return KeyStatus::kRefused;
}

bool keyForEnciphering(CipherKey* key) {
  std::string folder = configFolder();
  if (folder.empty()) {
    Log::LogByLevel(ORVEL_LOG_ERROR, "NewEncryptStr: ORVEL_HOME is not set, no key file");
    return false;
  }
  std::string path = folder + "/" + kCipherKeyFileName;
  KeyStatus status = loadKey(path, key);
  if (status == KeyStatus::kMissing) status = createKey(folder, path, key);
  return status == KeyStatus::kLoaded;
}

bool keyForDeciphering(CipherKey* key) {
  std::string folder = configFolder();
  if (folder.empty()) {
    Log::LogByLevel(ORVEL_LOG_ERROR, "NewDecryptStr: ORVEL_HOME is not set, no key file");
    return false;
  }
  std::string path = folder + "/" + kCipherKeyFileName;
  KeyStatus status = loadKey(path, key);
  if (status == KeyStatus::kMissing) {
    Log::LogByLevel(ORVEL_LOG_ERROR, "NewDecryptStr: key file %s does not exist", path.c_str());
  }
  return status == KeyStatus::kLoaded;
}

std::string base64Encode(const std::vector<unsigned char>& data) {
  std::string text(4 * ((data.size() + 2) / 3) + 1, '\0');
  int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(&text[0]), data.data(),
                          static_cast<int>(data.size()));
  text.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
  return text;
}

bool isBase64Character(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '+' ||
         c == '/';
}

// Strict: whole groups of four, padding only at the end. EVP_DecodeBlock alone would skip blanks
// and count padding as data.
bool base64Decode(std::string_view text, std::vector<unsigned char>* out) {
  if (text.empty() || text.size() % 4 != 0) return false;
  std::size_t padding = 0;
  while (padding < 2 && text[text.size() - 1 - padding] == '=') ++padding;
  for (std::size_t i = 0; i < text.size() - padding; ++i) {
    if (!isBase64Character(text[i])) return false;
  }
  out->assign(text.size() / 4 * 3, 0);
  int n = EVP_DecodeBlock(out->data(), reinterpret_cast<const unsigned char*>(text.data()),
                          static_cast<int>(text.size()));
  if (n < 0 || static_cast<std::size_t>(n) != out->size()) return false;
  out->resize(out->size() - padding);
  return true;
}

bool sealWithKey(const CipherKey& key, const unsigned char* plain, std::size_t plainSize,
                 std::vector<unsigned char>* sealed) {
  sealed->assign(kNonceBytes + plainSize + kTagBytes, 0);
  unsigned char* nonce = sealed->data();
  unsigned char* body = nonce + kNonceBytes;
  unsigned char* tag = body + plainSize;
  CipherContext context(EVP_CIPHER_CTX_new());
  int length = 0;
  int finalLength = 0;
  const auto* aad = reinterpret_cast<const unsigned char*>(kPrefix.data());
  return context && RAND_bytes(nonce, static_cast<int>(kNonceBytes)) == 1 &&
         EVP_EncryptInit_ex(context.get(), EVP_aes_256_gcm(), nullptr, key.bytes, nonce) == 1 &&
         EVP_EncryptUpdate(context.get(), nullptr, &length, aad,
                           static_cast<int>(kPrefix.size())) == 1 &&
         EVP_EncryptUpdate(context.get(), body, &length, plain, static_cast<int>(plainSize)) == 1 &&
         EVP_EncryptFinal_ex(context.get(), body + length, &finalLength) == 1 &&
         EVP_CIPHER_CTX_ctrl(context.get(), EVP_CTRL_GCM_GET_TAG, static_cast<int>(kTagBytes),
                             tag) == 1;
}

// False for any cipher text that the key did not seal as it is (GCM checks the tag).
bool openWithKey(const CipherKey& key, std::vector<unsigned char>& sealed, SecretBuffer* plain,
                 std::size_t* plainSize) {
  std::size_t bodySize = sealed.size() - kNonceBytes - kTagBytes;
  unsigned char* nonce = sealed.data();
  unsigned char* body = nonce + kNonceBytes;
  unsigned char* tag = body + bodySize;
  CipherContext context(EVP_CIPHER_CTX_new());
  int length = 0;
  int finalLength = 0;
  const auto* aad = reinterpret_cast<const unsigned char*>(kPrefix.data());
  bool ok = context &&
            EVP_DecryptInit_ex(context.get(), EVP_aes_256_gcm(), nullptr, key.bytes, nonce) == 1 &&
            EVP_DecryptUpdate(context.get(), nullptr, &length, aad,
                              static_cast<int>(kPrefix.size())) == 1 &&
            EVP_DecryptUpdate(context.get(), plain->bytes.data(), &length, body,
                              static_cast<int>(bodySize)) == 1 &&
            EVP_CIPHER_CTX_ctrl(context.get(), EVP_CTRL_GCM_SET_TAG, static_cast<int>(kTagBytes),
                                tag) == 1 &&
            EVP_DecryptFinal_ex(context.get(), plain->bytes.data() + length, &finalLength) == 1;
  *plainSize = ok ? static_cast<std::size_t>(length + finalLength) : 0;
  return ok;
}

// The reason only: the value itself never reaches the log.
bool refuseValue(const char* reason) {
  Log::LogByLevel(ORVEL_LOG_ERROR, "NewDecryptStr: stored value not deciphered: %s", reason);
  return false;
}

// On success the buffer holds the plain text; on failure the caller empties it.
bool decipherInPlace(char* buffer, std::size_t length) {
  std::string_view stored(buffer, length);
  if (stored.empty()) return refuseValue("empty value");
  if (stored.substr(0, kPrefix.size()) != kPrefix) return refuseValue("not an enciphered value");
  std::vector<unsigned char> sealed;
  if (!base64Decode(stored.substr(kPrefix.size()), &sealed) ||
      sealed.size() < kNonceBytes + kTagBytes) {
    return refuseValue("malformed enciphered value");
  }
  CipherKey key;
  if (!keyForDeciphering(&key)) return refuseValue("no usable key");
  SecretBuffer plain(sealed.size());
  std::size_t plainSize = 0;
  if (!openWithKey(key, sealed, &plain, &plainSize)) {
    return refuseValue("altered value or another key");
  }
  // The stored form is always longer than its plain text, so this stays inside the buffer.
  std::memcpy(buffer, plain.bytes.data(), plainSize);
  std::memset(buffer + plainSize, 0, length - plainSize);
  return true;
}

}  // namespace

bool NewDecryptStr(char* buffer) {
  if (!buffer) return false;
  std::size_t length = ::strnlen(buffer, kCipherBufferSize);
  bool ok = length < kCipherBufferSize ? decipherInPlace(buffer, length)
                                       : refuseValue("value not terminated in its buffer");
  if (!ok) buffer[0] = '\0';
  return ok;
}

bool NewEncryptStr(const char* plain, std::string& cipherText) {
  cipherText.clear();
  if (!plain) return false;
  std::size_t plainSize = ::strnlen(plain, kCipherMaxPlainBytes + 1);
  if (plainSize > kCipherMaxPlainBytes) {
    Log::LogByLevel(ORVEL_LOG_ERROR, "NewEncryptStr: text longer than %zu bytes refused",
                    kCipherMaxPlainBytes);
    return false;
  }
  CipherKey key;
  if (!keyForEnciphering(&key)) return false;
  std::vector<unsigned char> sealed;
  if (!sealWithKey(key, reinterpret_cast<const unsigned char*>(plain), plainSize, &sealed)) {
    Log::LogByLevel(ORVEL_LOG_ERROR, "NewEncryptStr: enciphering failed");
    return false;
  }
  cipherText = std::string(kPrefix) + base64Encode(sealed);
  return true;
}

}  // namespace ORVEL
