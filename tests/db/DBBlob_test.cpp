// Component content streamed into and out of the central database in 10240-byte chunks, with the
// statements of the script file, on both backends; large objects that go with their rows.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "OrvelCommon/Blob.h"
#include "OrvelCommon/QxDBResultset.h"
#include "OrvelCommon/QxDBScript.h"
#include "OrvelCommon/QxDBStatement.h"
#include "ProductHome.h"

using ORVEL::Blob;
using ORVEL::QxDBConnection;
using ORVEL::QxDBResultset;
using ORVEL::QxDBStatement;

namespace {

constexpr std::int64_t kChunk = Blob::kChunkBytes;

// Byte i of every content: a pattern that does not repeat at chunk bounds.
char byteAt(std::int64_t i) { return static_cast<char>(i * 131 % 251); }

QxDBStatement* prepare(QxDBConnection& conn, const char* key) {
  std::string format;
  EXPECT_TRUE(ORVEL::QxDBScript::getInstance()->getScript(conn.getDBMSType(), key, format));
  char sql[512];
  std::snprintf(sql, sizeof sql, format.c_str(), 0);
  QxDBStatement* stmt = nullptr;
  EXPECT_EQ(0, conn.prepareStatement(sql, stmt)) << conn.lastError();
  return stmt;
}

// Runs a KF_ADD_BLOB row of type with a blob of size bytes; its blob, or null.
Blob* insertRow(QxDBConnection& conn, QxDBStatement*& stmt, int type, std::int64_t size) {
  Blob* blob = nullptr;
  stmt = prepare(conn, "KF_ADD_BLOB");
  if (!stmt || stmt->setLong(1, type) != 0 || stmt->setBlob(2, size, blob) != 0) return nullptr;
  EXPECT_EQ(0, stmt->setBytes(3, "1.0", 3, false) + stmt->setLong(4, static_cast<long>(size)) +
                   stmt->setBytes(5, "file.bin", 8, false));
  EXPECT_EQ(-1, blob->putData("x", 1)) << "the row does not exist before the statement ran";
  return stmt->excuteUpdate() == 0 ? blob : nullptr;
}

// Writes bytes [from, to) of the pattern in chunks.
void put(Blob* blob, std::int64_t from, std::int64_t to) {
  std::vector<char> chunk(kChunk);
  for (std::int64_t at = from; at < to; at += kChunk) {
    const std::int64_t n = std::min(kChunk, to - at);
    for (std::int64_t i = 0; i < n; ++i) chunk[i] = byteAt(at + i);
    ASSERT_EQ(0, blob->putData(chunk.data(), static_cast<std::size_t>(n)));
  }
}

// Reads the content of the row of type in chunks: its length, or -1 when it is missing or a
// byte is not the pattern's.
std::int64_t readBack(QxDBConnection& conn, int type) {
  QxDBStatement* stmt = prepare(conn, "KF_GET_BLOB");
  QxDBResultset* rs = nullptr;
  Blob* blob = nullptr;
  if (!stmt || stmt->setLong(1, type) != 0 || stmt->excuteQuery(rs) != 0 || rs->next() != 0 ||
      rs->getBlob("content", blob) != 0)
    return -1;
  std::vector<char> chunk(kChunk);
  const std::int64_t length = blob->length();
  for (std::int64_t at = 0; at < length; at += kChunk) {
    const std::int64_t n = std::min(kChunk, length - at);
    EXPECT_EQ(0, blob->getData(chunk.data(), static_cast<std::size_t>(n)));
    for (std::int64_t i = 0; i < n; ++i)
      if (chunk[i] != byteAt(at + i)) return -1;
  }
  EXPECT_EQ(-1, blob->getData(chunk.data(), 1)) << "nothing beyond the end";
  const char* name = nullptr;
  EXPECT_EQ(0, rs->getString("file_name", name)) << "the row's other columns stay readable";
  EXPECT_STREQ("file.bin", name);
  conn.closeStatement(stmt);
  return length;
}

// Peak resident memory of this process since the last reset, in KiB.
long peakRssKiB() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line))
    if (line.rfind("VmHWM:", 0) == 0) return std::stol(line.substr(6));
  return -1;
}

class DbBlobTest : public OrvelTest::HomeTest {};

// 64 MiB, not a whole number of chunks, moved with a 10 KiB buffer.
TEST_P(DbBlobTest, ALargeContentComesBackIdenticalWithoutBeingHeldInMemory) {
  const std::int64_t size = 64LL * 1024 * 1024 + 777;
  auto conn = home->connect();
  ASSERT_TRUE(conn);
  std::ofstream("/proc/self/clear_refs") << "5";
  const long before = peakRssKiB();
  ASSERT_EQ(0, conn->beginTransaction());
  QxDBStatement* stmt = nullptr;
  Blob* blob = insertRow(*conn, stmt, 2, size);
  ASSERT_NE(nullptr, blob) << (stmt ? stmt->lastError() : "");
  put(blob, 0, size);
  EXPECT_EQ(size, blob->position());
  EXPECT_EQ(-1, blob->putData("x", 1)) << "nothing beyond the bound length";
  conn->closeStatement(stmt);
  ASSERT_EQ(0, conn->commit()) << conn->lastError();
  EXPECT_EQ(size, readBack(*conn, 2));
  EXPECT_LT(peakRssKiB() - before, 16 * 1024);
  EXPECT_FALSE(conn->inTransaction()) << "the read ended the transaction it needed";
}

TEST_P(DbBlobTest, UnfinishedContentLeavesNoRowAndMissingContentOrShortReadsFail) {
  auto conn = home->connect();
  ASSERT_TRUE(conn);
  const std::int64_t objects = home->largeObjects();
  QxDBStatement* stmt = nullptr;
  Blob* blob = insertRow(*conn, stmt, 3, 3 * kChunk);  // outside a transaction
  ASSERT_NE(nullptr, blob);
  put(blob, 0, 2 * kChunk);
  conn->closeStatement(stmt);  // one chunk short
  EXPECT_EQ(0, home->scalar("select count(*) as n from tb_kite_feed"));
  EXPECT_EQ(objects, home->largeObjects());
  EXPECT_FALSE(conn->inTransaction());
  blob = insertRow(*conn, stmt, 3, 3 * kChunk);
  ASSERT_NE(nullptr, blob);
  put(blob, 0, 3 * kChunk);
  conn->closeStatement(stmt);
  EXPECT_EQ(3 * kChunk, readBack(*conn, 3));

  // A commit closes a blob left open.
  ASSERT_EQ(0, conn->beginTransaction());
  blob = insertRow(*conn, stmt, 5, 100);
  ASSERT_NE(nullptr, blob);
  std::vector<char> chunk(100);
  EXPECT_EQ(-1, blob->getData(chunk.data(), 1)) << "a blob being written is not read";
  put(blob, 0, 100);
  EXPECT_EQ(0, conn->commit()) << conn->lastError();
  EXPECT_EQ(-1, blob->putData(chunk.data(), 0)) << "the blob closed with the transaction";
  conn->closeStatement(stmt);
  EXPECT_EQ(100, readBack(*conn, 5));

  home->exec(
      "insert into tb_kite_feed (type, version, file_size, file_name) "
      "values (4, '1.0', 0, 'none.bin')");
  for (int type : {4, 5}) {
    QxDBResultset* rs = nullptr;
    stmt = prepare(*conn, "KF_GET_BLOB");
    ASSERT_EQ(0, stmt->setLong(1, type));
    ASSERT_EQ(0, stmt->excuteQuery(rs));
    blob = reinterpret_cast<Blob*>(1);
    EXPECT_EQ(-1, rs->getBlob("content", blob)) << "no current row";
    ASSERT_EQ(0, rs->next());
    EXPECT_EQ(-1, rs->getBlob("no_such_column", blob));
    if (type == 4) {
      EXPECT_EQ(-1, rs->getBlob("content", blob)) << "a NULL content";
      EXPECT_EQ(nullptr, blob);
    } else {
      ASSERT_EQ(0, rs->getBlob("content", blob));
      EXPECT_EQ(0, blob->getData(chunk.data(), 60));
      EXPECT_EQ(-1, blob->getData(chunk.data(), 41)) << "only 40 bytes are left";
      EXPECT_EQ(0, blob->getData(chunk.data(), 40));
      EXPECT_EQ(-1, blob->putData(chunk.data(), 1)) << "a blob being read is not written";
      EXPECT_EQ(QxDBResultset::kNoMoreRows, rs->next());
    }
    conn->closeStatement(stmt);
  }
}

INSTANTIATE_TEST_SUITE_P(Backends, DbBlobTest, ORVEL_DB_BACKENDS);

}  // namespace
