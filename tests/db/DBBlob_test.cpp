// Component content streamed into and out of the central database in 10240-byte chunks, with the
// statements of the script file, on both backends; large objects that go with their rows.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <random>
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

constexpr std::size_t kChunk = Blob::kChunkBytes;

std::string statement(QxDBConnection& conn, const char* key) {
  std::string format;
  EXPECT_TRUE(ORVEL::QxDBScript::getInstance()->getScript(conn.getDBMSType(), key, format));
  char sql[512];
  std::snprintf(sql, sizeof sql, format.c_str(), 0);
  return sql;
}

void writeRandomFile(const std::string& path, std::size_t size) {
  std::mt19937 random(static_cast<unsigned>(size));
  std::ofstream out(path, std::ios::binary);
  std::vector<char> chunk(kChunk);
  for (std::size_t done = 0; done < size; done += chunk.size()) {
    for (char& c : chunk) c = static_cast<char>(random());
    out.write(chunk.data(), static_cast<std::streamsize>(std::min(chunk.size(), size - done)));
  }
}

// Binds a KF_ADD_BLOB row of type with a blob of size bytes and runs it.
Blob* insertRow(QxDBConnection& conn, QxDBStatement*& stmt, int type, std::int64_t size) {
  Blob* blob = nullptr;
  if (conn.prepareStatement(statement(conn, "KF_ADD_BLOB").c_str(), stmt) != 0) {
    ADD_FAILURE() << conn.lastError();
    return nullptr;
  }
  EXPECT_EQ(0, stmt->setLong(1, type));
  EXPECT_EQ(0, stmt->setBlob(2, size, blob));
  if (!blob) return nullptr;
  EXPECT_EQ(0, stmt->setBytes(3, "1.0", 3, false));
  EXPECT_EQ(0, stmt->setLong(4, static_cast<long>(size)));
  EXPECT_EQ(0, stmt->setBytes(5, "file.bin", 8, false));
  EXPECT_EQ(-1, blob->putData("x", 1)) << "the row does not exist before the statement ran";
  if (stmt->excuteUpdate() != 0) return nullptr;
  return blob;
}

// Uploads a file as the row of type, in chunks, in a transaction of the caller's.
void upload(QxDBConnection& conn, int type, const std::string& path, std::int64_t size) {
  ASSERT_EQ(0, conn.beginTransaction());
  QxDBStatement* stmt = nullptr;
  Blob* blob = insertRow(conn, stmt, type, size);
  ASSERT_NE(nullptr, blob) << (stmt ? stmt->lastError() : "");
  std::ifstream in(path, std::ios::binary);
  std::vector<char> chunk(kChunk);
  for (std::int64_t left = size; left > 0;) {
    const std::size_t n = static_cast<std::size_t>(std::min<std::int64_t>(left, kChunk));
    ASSERT_TRUE(in.read(chunk.data(), static_cast<std::streamsize>(n)));
    ASSERT_EQ(0, blob->putData(chunk.data(), n));
    left -= static_cast<std::int64_t>(n);
  }
  EXPECT_EQ(size, blob->position());
  EXPECT_EQ(-1, blob->putData("x", 1)) << "nothing beyond the bound length";
  conn.closeStatement(stmt);
  ASSERT_EQ(0, conn.commit()) << conn.lastError();
}

// Writes the content of the row of type to path, in chunks; returns the blob's length.
std::int64_t download(QxDBConnection& conn, int type, const std::string& path) {
  QxDBStatement* stmt = nullptr;
  QxDBResultset* rs = nullptr;
  Blob* blob = nullptr;
  if (conn.prepareStatement(statement(conn, "KF_GET_BLOB").c_str(), stmt) != 0 ||
      stmt->setLong(1, type) != 0 || stmt->excuteQuery(rs) != 0 || rs->next() != 0 ||
      rs->getBlob("content", blob) != 0) {
    ADD_FAILURE() << "no blob of type " << type;
    return -1;
  }
  std::ofstream out(path, std::ios::binary);
  std::vector<char> chunk(kChunk);
  const std::int64_t length = blob->length();
  for (std::int64_t left = length; left > 0;) {
    const std::size_t n = static_cast<std::size_t>(std::min<std::int64_t>(left, kChunk));
    EXPECT_EQ(0, blob->getData(chunk.data(), n));
    out.write(chunk.data(), static_cast<std::streamsize>(n));
    left -= static_cast<std::int64_t>(n);
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

void resetPeakRss() { std::ofstream("/proc/self/clear_refs") << "5"; }

class DbBlobTest : public OrvelTest::HomeTest {};

// 64 MiB, not a whole number of chunks, moved with a 10 KiB buffer.
TEST_P(DbBlobTest, ALargeFileComesBackIdenticalWithoutBeingHeldInMemory) {
  const std::int64_t size = 64LL * 1024 * 1024 + 777;
  writeRandomFile(*home / "in.bin", static_cast<std::size_t>(size));
  auto conn = home->connect();
  ASSERT_TRUE(conn);
  resetPeakRss();
  const long before = peakRssKiB();
  upload(*conn, 2, *home / "in.bin", size);
  EXPECT_EQ(size, download(*conn, 2, *home / "out.bin"));
  EXPECT_LT(peakRssKiB() - before, 16 * 1024);
  EXPECT_TRUE(OrvelTest::readFile(*home / "in.bin") == OrvelTest::readFile(*home / "out.bin"));
  EXPECT_FALSE(conn->inTransaction()) << "the read ended the transaction it needed";
}

TEST_P(DbBlobTest, UnfinishedBlobOutsideATransactionLeavesNoRow) {
  auto conn = home->connect();
  ASSERT_TRUE(conn);
  const std::int64_t objects = home->largeObjects();
  std::vector<char> chunk(kChunk, 'a');
  QxDBStatement* stmt = nullptr;
  Blob* blob = insertRow(*conn, stmt, 3, 3 * kChunk);
  ASSERT_NE(nullptr, blob);
  ASSERT_EQ(0, blob->putData(chunk.data(), kChunk));
  ASSERT_EQ(0, blob->putData(chunk.data(), kChunk));
  conn->closeStatement(stmt);  // one chunk short
  EXPECT_EQ(0, home->scalar("select count(*) as n from tb_kite_feed"));
  EXPECT_EQ(objects, home->largeObjects());
  EXPECT_FALSE(conn->inTransaction());

  blob = insertRow(*conn, stmt, 3, 3 * kChunk);
  ASSERT_NE(nullptr, blob);
  for (int i = 0; i < 3; ++i) ASSERT_EQ(0, blob->putData(chunk.data(), kChunk));
  conn->closeStatement(stmt);
  EXPECT_EQ(1, home->scalar("select count(*) as n from tb_kite_feed"));
  EXPECT_EQ(3 * static_cast<std::int64_t>(kChunk), download(*conn, 3, *home / "out.bin"));
}

TEST_P(DbBlobTest, ReadingRefusesMissingContentAndShortReads) {
  home->exec(
      "insert into tb_kite_feed (type, version, file_size, file_name) "
      "values (4, '1.0', 0, 'none.bin')");
  auto conn = home->connect();
  ASSERT_TRUE(conn);
  QxDBStatement* stmt = nullptr;
  QxDBResultset* rs = nullptr;
  Blob* blob = reinterpret_cast<Blob*>(1);
  ASSERT_EQ(0, conn->prepareStatement(statement(*conn, "KF_GET_BLOB").c_str(), stmt));
  ASSERT_EQ(0, stmt->setLong(1, 4));
  ASSERT_EQ(0, stmt->excuteQuery(rs));
  EXPECT_EQ(-1, rs->getBlob("content", blob)) << "no current row";
  ASSERT_EQ(0, rs->next());
  EXPECT_EQ(-1, rs->getBlob("content", blob)) << "a NULL content";
  EXPECT_EQ(nullptr, blob);
  EXPECT_EQ(-1, rs->getBlob("no_such_column", blob));
  conn->closeStatement(stmt);

  std::vector<char> chunk(100, 'b');
  ASSERT_EQ(0, conn->beginTransaction());
  Blob* written = insertRow(*conn, stmt, 5, 100);
  ASSERT_NE(nullptr, written);
  EXPECT_EQ(-1, written->getData(chunk.data(), 1)) << "a blob being written is not read";
  ASSERT_EQ(0, written->putData(chunk.data(), 100));
  conn->closeStatement(stmt);
  ASSERT_EQ(0, conn->commit());
  ASSERT_EQ(0, conn->prepareStatement(statement(*conn, "KF_GET_BLOB").c_str(), stmt));
  ASSERT_EQ(0, stmt->setLong(1, 5));
  ASSERT_EQ(0, stmt->excuteQuery(rs));
  ASSERT_EQ(0, rs->next());
  ASSERT_EQ(0, rs->getBlob("content", blob));
  EXPECT_EQ(100, blob->length());
  EXPECT_EQ(0, blob->getData(chunk.data(), 60));
  EXPECT_EQ(-1, blob->getData(chunk.data(), 41)) << "only 40 bytes are left";
  EXPECT_EQ(0, blob->getData(chunk.data(), 40));
  EXPECT_EQ(-1, blob->putData(chunk.data(), 1)) << "a blob being read is not written";
  EXPECT_EQ(QxDBResultset::kNoMoreRows, rs->next());
  conn->closeStatement(stmt);
}

TEST_P(DbBlobTest, CommitClosesABlobLeftOpen) {
  auto conn = home->connect();
  ASSERT_TRUE(conn);
  std::vector<char> chunk(kChunk, 'c');
  ASSERT_EQ(0, conn->beginTransaction());
  QxDBStatement* stmt = nullptr;
  Blob* blob = insertRow(*conn, stmt, 6, kChunk);
  ASSERT_NE(nullptr, blob);
  ASSERT_EQ(0, blob->putData(chunk.data(), kChunk));
  EXPECT_EQ(0, conn->commit()) << conn->lastError();
  EXPECT_EQ(-1, blob->putData(chunk.data(), 0)) << "the blob closed with the transaction";
  conn->closeStatement(stmt);
  EXPECT_EQ(static_cast<std::int64_t>(kChunk), download(*conn, 6, *home / "out.bin"));
  EXPECT_EQ(std::string(kChunk, 'c'), OrvelTest::readFile(*home / "out.bin"));
}

INSTANTIATE_TEST_SUITE_P(Backends, DbBlobTest, ORVEL_DB_BACKENDS);

// A large object of PostgreSQL lives apart from its row; the table's trigger removes it with the
// row, so none is ever left behind.
class PgLargeObjectTest : public OrvelTest::PgHomeTest {
 protected:
  void SetUp() override {
    PgHomeTest::SetUp();
    if (!home) return;
    writeRandomFile(*home / "in.bin", 3 * kChunk + 1);
    conn = home->connect();
    ASSERT_TRUE(conn);
    base = home->largeObjects();
  }
  void TearDown() override {
    conn.reset();
    PgHomeTest::TearDown();
  }
  void uploadType(int type) { upload(*conn, type, *home / "in.bin", 3 * kChunk + 1); }

  std::unique_ptr<QxDBConnection> conn;
  std::int64_t base = 0;
};

TEST_F(PgLargeObjectTest, DeletedOrReplacedRowTakesItsObjectAlong) {
  uploadType(1);
  uploadType(2);
  uploadType(3);
  EXPECT_EQ(base + 3, home->largeObjects());
  home->exec("delete from tb_kite_feed where type = 1");
  EXPECT_EQ(base + 2, home->largeObjects());
  home->exec("update tb_kite_feed set content = null where type = 2");
  EXPECT_EQ(base + 1, home->largeObjects());
  home->exec("update tb_kite_feed set type = 103 where type = 3");  // a backup keeps its object
  EXPECT_EQ(base + 1, home->largeObjects());
  home->exec("truncate tb_kite_feed");
  EXPECT_EQ(base, home->largeObjects());
}

TEST_F(PgLargeObjectTest, FailedInsertLeavesNoObject) {
  uploadType(1);
  ASSERT_EQ(0, conn->beginTransaction());
  QxDBStatement* stmt = nullptr;
  EXPECT_EQ(nullptr, insertRow(*conn, stmt, 1, 10)) << "type 1 has its row already";
  conn->closeStatement(stmt);
  EXPECT_EQ(-1, conn->commit()) << "the failed insert ended the transaction";
  EXPECT_EQ(nullptr, insertRow(*conn, stmt, 1, 10)) << "again, with a transaction of its own";
  conn->closeStatement(stmt);
  EXPECT_EQ(base + 1, home->largeObjects());
  EXPECT_EQ(1, home->scalar("select count(*) as n from tb_kite_feed"));
}

}  // namespace
