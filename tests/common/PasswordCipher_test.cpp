#include "OrvelCommon/PasswordCipher.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <iterator>
#include <string>
#include <vector>

#include "OrvelCommon/Log.h"
#include "TempDir.h"

using ORVEL::kCipherBufferSize;
using ORVEL::NewDecryptStr;
using ORVEL::NewEncryptStr;
using OrvelTest::readFile;

namespace {

class PasswordCipherTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(::mkdir((m_home / "config").c_str(), 0755), 0);
    ORVEL::Log::Configure((m_home / "log").c_str(), ORVEL::ORVEL_LOG_DETAIL, 0, 0);
  }
  void TearDown() override { ORVEL::Log::Configure(nullptr, -1); }

  // Deciphers stored in a buffer of the callers' size; the guard after it must stay untouched.
  std::string decipher(const std::string& stored, bool* ok = nullptr) {
    std::vector<char> buffer(kCipherBufferSize + 1, 'G');
    std::memset(buffer.data(), 0, kCipherBufferSize);
    std::memcpy(buffer.data(), stored.data(), std::min(stored.size(), kCipherBufferSize - 1));
    bool deciphered = NewDecryptStr(buffer.data());
    if (ok) *ok = deciphered;
    EXPECT_EQ(buffer[kCipherBufferSize], 'G');
    return std::string(buffer.data());
  }

  std::string encipher(const char* plain) {
    std::string stored;
    EXPECT_TRUE(NewEncryptStr(plain, stored));
    return stored;
  }

  std::string logText() const { return readFile(m_home / "log/orvel.log"); }

  std::string keyPath() const { return m_home / "config/orvel.key"; }

  OrvelTest::TempDir m_home;
  OrvelTest::ScopedEnvironment m_inHome{"ORVEL_HOME", m_home.path().c_str()};
};

TEST_F(PasswordCipherTest, RoundTripsInPlaceWithAFreshNonceAndAPrivateKeyMadeOnce) {
  EXPECT_FALSE(OrvelTest::fileExists(keyPath()));
  const std::string first = encipher("s3cret pass=word");
  struct stat st {};
  ASSERT_EQ(::stat(keyPath().c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0600u);
  const std::string key = readFile(keyPath());
  const std::string second = encipher("s3cret pass=word");
  EXPECT_EQ(readFile(keyPath()), key);
  EXPECT_EQ(first.rfind("OKC1:", 0), 0u);
  EXPECT_NE(first, second);
  EXPECT_EQ(first.find("s3cret"), std::string::npos);
  bool ok = false;
  EXPECT_EQ(decipher(first, &ok) + "|" + decipher(second) + "|" + decipher(encipher("")),
            "s3cret pass=word|s3cret pass=word|");
  EXPECT_TRUE(ok);

  const std::string longest(ORVEL::kCipherMaxPlainBytes, 'L');
  std::string stored = encipher(longest.c_str());
  EXPECT_LT(stored.size(), kCipherBufferSize);
  EXPECT_EQ(decipher(stored), longest);
  EXPECT_FALSE(NewEncryptStr((longest + "L").c_str(), stored));
  EXPECT_FALSE(NewEncryptStr(nullptr, stored) || NewDecryptStr(nullptr));
  EXPECT_EQ(1, std::distance(std::filesystem::directory_iterator(m_home / "config"), {}))
      << "no temporary left beside orvel.key";
}

TEST_F(PasswordCipherTest, UndecipherableValuesBecomeEmptyAndAreNeverLogged) {
  const std::string secret = "Tr0ub4dor&3";
  std::string stored = encipher(secret.c_str());
  std::string flipped = stored;
  flipped[20] = flipped[20] == 'A' ? 'B' : 'A';
  for (const std::string& bad :
       {flipped, std::string("OKC1:!!!!"), std::string("OKC1:QUJD"), secret, std::string("")}) {
    bool ok = true;
    EXPECT_EQ(decipher(bad, &ok), "") << bad;
    EXPECT_FALSE(ok);
  }
  std::vector<char> full(kCipherBufferSize + 1, 'A');  // no end within the buffer
  full[kCipherBufferSize] = 'G';
  EXPECT_FALSE(NewDecryptStr(full.data()));
  EXPECT_EQ('\0', full[0]);
  EXPECT_EQ('G', full[kCipherBufferSize]);

  OrvelTest::writeFile(keyPath(), std::string(32, 'k'));  // another key, mode kept 0600
  EXPECT_EQ(decipher(stored), "");

  const std::string log = logText();
  for (const char* reason :
       {"<1> NewDecryptStr: stored value not deciphered: altered value or another key",
        "not an enciphered value", "empty value", "value not terminated in its buffer"})
    EXPECT_NE(log.find(reason), std::string::npos) << reason;
  for (const std::string& secretPart : {secret, stored.substr(5, 16), std::string(32, 'k')})
    EXPECT_EQ(log.find(secretPart), std::string::npos) << secretPart;
}

TEST_F(PasswordCipherTest, KeyFileMissingOrWithWrongModeLengthOrKindIsRefusedAndKept) {
  std::string stored = encipher("pw");
  const std::string key = readFile(keyPath());

  // Refused and kept as they are: not the owner's alone, cut short, a link to a key elsewhere.
  const auto refusedAndKept = [&](const std::string& kept, const char* logged) {
    std::string refused = "x";
    EXPECT_EQ(decipher(stored), "");
    EXPECT_FALSE(NewEncryptStr("pw", refused));
    EXPECT_EQ(refused, "");
    EXPECT_EQ(readFile(keyPath()), kept);
    EXPECT_NE(logText().find(logged), std::string::npos) << logged;
  };
  ASSERT_EQ(::chmod(keyPath().c_str(), 0640), 0);
  refusedAndKept(key, "refused: mode 0640 gives access to others");
  ASSERT_EQ(::chmod(keyPath().c_str(), 0600), 0);
  OrvelTest::writeFile(keyPath(), key.substr(0, 31));
  refusedAndKept(key.substr(0, 31), "refused: 31 bytes, not 32");
  OrvelTest::writeFile(m_home / "elsewhere.key", key);
  ASSERT_EQ(::chmod((m_home / "elsewhere.key").c_str(), 0600), 0);
  ASSERT_EQ(::unlink(keyPath().c_str()), 0);
  ASSERT_EQ(::symlink((m_home / "elsewhere.key").c_str(), keyPath().c_str()), 0);
  refusedAndKept(key, "");

  // Without a key nothing deciphers.
  ASSERT_EQ(::unlink(keyPath().c_str()), 0);
  EXPECT_EQ(decipher(stored), "");
  EXPECT_FALSE(OrvelTest::fileExists(keyPath())) << "deciphering never creates a key";
  EXPECT_NE(logText().find("does not exist"), std::string::npos);
}

}  // namespace
