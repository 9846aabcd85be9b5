#include "OrvelCommon/PasswordCipher.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "ChildProcess.h"
#include "OrvelCommon/DirectoryReaderA.h"
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

  std::string logText() const {
    std::string path = m_home / "log/orvel.log";
    return OrvelTest::fileExists(path) ? readFile(path) : std::string();
  }

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
  EXPECT_EQ(st.st_size, 32);
  const std::string key = readFile(keyPath());
  const std::string second = encipher("s3cret pass=word");
  EXPECT_EQ(readFile(keyPath()), key);
  EXPECT_EQ(first.rfind("OKC1:", 0), 0u);
  EXPECT_NE(first, second);
  EXPECT_EQ(first.find("s3cret"), std::string::npos);
  bool ok = false;
  EXPECT_EQ(decipher(first, &ok), "s3cret pass=word");
  EXPECT_TRUE(ok);
  EXPECT_EQ(decipher(second), "s3cret pass=word");
  EXPECT_EQ(decipher(encipher("")), "");

  const std::string longest(ORVEL::kCipherMaxPlainBytes, 'L');
  std::string stored = encipher(longest.c_str());
  EXPECT_LT(stored.size(), kCipherBufferSize);
  EXPECT_EQ(decipher(stored), longest);
  EXPECT_FALSE(NewEncryptStr((longest + "L").c_str(), stored));
  EXPECT_EQ(stored, "");
  EXPECT_FALSE(NewEncryptStr(nullptr, stored));
  EXPECT_FALSE(NewDecryptStr(nullptr));
  std::set<std::string> configFiles;
  ORVEL::DirectoryReaderA reader((m_home / "config").c_str());
  while (reader.GetNextEntry()) configFiles.insert(reader.EntryName());
  EXPECT_EQ(configFiles, (std::set<std::string>{".", "..", "orvel.key"})) << "no temporary left";

  // Reading the key leaves no file open.
  auto openFiles = [] {
    std::size_t count = 0;
    for (ORVEL::DirectoryReaderA fds("/proc/self/fd"); fds.GetNextEntry();) ++count;
    return count;
  };
  const std::size_t before = openFiles();
  for (int i = 0; i < 20; ++i) EXPECT_EQ("s3cret pass=word", decipher(first));
  EXPECT_EQ(before, openFiles());
}

TEST_F(PasswordCipherTest, ProcessesStartingAtOnceAgreeOnOneKey) {
  constexpr int kProcesses = 6;
  std::vector<pid_t> children;
  for (int p = 0; p < kProcesses; ++p) {
    children.push_back(OrvelTest::startChild([&, p] {
      std::string stored;
      std::string plain = "value " + std::to_string(p);
      if (!NewEncryptStr(plain.c_str(), stored)) return 1;
      OrvelTest::writeFile(m_home / ("stored" + std::to_string(p)), stored);
      return 0;
    }));
  }
  for (pid_t child : children) ASSERT_EQ(OrvelTest::waitChild(child), 0);
  for (int p = 0; p < kProcesses; ++p) {
    EXPECT_EQ(decipher(readFile(m_home / ("stored" + std::to_string(p)))),
              "value " + std::to_string(p));
  }
}

TEST_F(PasswordCipherTest, UndecipherableValuesBecomeEmptyAndAreNeverLogged) {
  const std::string secret = "Tr0ub4dor&3";
  std::string stored = encipher(secret.c_str());
  std::string flipped = stored;
  flipped[20] = flipped[20] == 'A' ? 'B' : 'A';
  for (const std::string& bad :
       {flipped, stored.substr(0, stored.size() - 4), std::string("OKC1:") + "!!!!",
        std::string("OKC1:"), std::string("OKC1:QUJD"), secret, std::string("")}) {
    bool ok = true;
    EXPECT_EQ(decipher(bad, &ok), "") << bad;
    EXPECT_FALSE(ok);
  }
  std::vector<char> full(kCipherBufferSize + 1, 'G');
  std::memset(full.data(), 'A', kCipherBufferSize);
  EXPECT_FALSE(NewDecryptStr(full.data()));
  EXPECT_EQ(full[0], '\0');
  EXPECT_EQ(full[kCipherBufferSize], 'G');

  OrvelTest::writeFile(keyPath(), std::string(32, 'k'));  // another key, mode kept 0600
  EXPECT_EQ(decipher(stored), "");

  const std::string log = logText();
  for (const char* reason :
       {"<1> NewDecryptStr: stored value not deciphered: altered value or another key",
        "not an enciphered value", "empty value"})
    EXPECT_NE(log.find(reason), std::string::npos) << reason;
  for (const std::string& secretPart : {secret, stored.substr(5, 16), std::string(32, 'k')})
    EXPECT_EQ(log.find(secretPart), std::string::npos) << secretPart;
}

TEST_F(PasswordCipherTest, KeyFileMissingOrWithWrongModeLengthOrKindIsRefusedAndKept) {
  std::string stored = encipher("pw");
  const std::string key = readFile(keyPath());

  ASSERT_EQ(::chmod(keyPath().c_str(), 0640), 0);
  EXPECT_EQ(decipher(stored), "");
  std::string refused;
  EXPECT_FALSE(NewEncryptStr("pw", refused));
  EXPECT_EQ(refused, "");
  EXPECT_EQ(readFile(keyPath()), key);
  EXPECT_NE(logText().find("refused: mode 0640 gives access to others"), std::string::npos);

  ASSERT_EQ(::chmod(keyPath().c_str(), 0600), 0);
  OrvelTest::writeFile(keyPath(), key.substr(0, 31));
  EXPECT_EQ(decipher(stored), "");
  EXPECT_FALSE(NewEncryptStr("pw", refused));
  EXPECT_EQ(readFile(keyPath()), key.substr(0, 31));
  EXPECT_NE(logText().find("refused: 31 bytes, not 32"), std::string::npos);

  OrvelTest::writeFile(m_home / "elsewhere.key", key);
  ASSERT_EQ(::chmod((m_home / "elsewhere.key").c_str(), 0600), 0);
  ASSERT_EQ(::unlink(keyPath().c_str()), 0);
  ASSERT_EQ(::symlink((m_home / "elsewhere.key").c_str(), keyPath().c_str()), 0);
  EXPECT_EQ(decipher(stored), "");
  EXPECT_FALSE(NewEncryptStr("pw", refused));

  ASSERT_EQ(::unlink(keyPath().c_str()), 0);
  OrvelTest::writeFile(keyPath(), key);
  ASSERT_EQ(::chmod(keyPath().c_str(), 0600), 0);
  EXPECT_EQ(decipher(stored), "pw") << "the right key file is usable again";

  // Without home or key nothing deciphers.
  ASSERT_EQ(::unlink(keyPath().c_str()), 0);
  EXPECT_EQ(decipher(stored), "");
  EXPECT_FALSE(OrvelTest::fileExists(keyPath())) << "deciphering never creates a key";
  EXPECT_NE(logText().find("does not exist"), std::string::npos);

  unsetenv("ORVEL_HOME");
  EXPECT_EQ(decipher(stored), "");
  EXPECT_FALSE(NewEncryptStr("pw", refused));
}

}  // namespace
