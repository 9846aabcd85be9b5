#include "OrvelKF/KFBlobManager.h"

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "OrvelCommon/Blob.h"
#include "OrvelCommon/BoundedCopy.h"
#include "OrvelCommon/Log.h"
#include "OrvelCommon/QxDBConnection.h"
#include "OrvelCommon/QxDBResultset.h"
#include "OrvelCommon/QxDBStatement.h"
#include "OrvelKF/QxDBAgent.h"
#include "OrvelPlatform/Path.h"

using ORVEL::Log;
using ORVEL::ORVEL_LOG_ERROR;
using ORVEL::ORVEL_LOG_TRACE;
using ORVEL::QxDBAgent;

namespace {

constexpr int kBackupTypeOffset = 100;
constexpr int kStatementBytes = 512;
constexpr std::size_t kChunkBytes = ORVEL::Blob::kChunkBytes;

struct FileCloser {
  void operator()(std::FILE* file) const { std::fclose(file); }
};
using FilePtr = std::unique_ptr<std::FILE, FileCloser>;

// A statement prepared on the agent's connection, released on every path.
class PreparedStatement {
 public:
  PreparedStatement(ORVEL::QxDBConnection& conn, const char* sql) : m_conn(conn) {
    if (m_conn.prepareStatement(sql, m_stmt) != 0 || !m_stmt) throw "prepare statement failed";
  }
  ~PreparedStatement() { release(); }
  PreparedStatement(const PreparedStatement&) = delete;
  PreparedStatement& operator=(const PreparedStatement&) = delete;

  ORVEL::QxDBStatement* operator->() const { return m_stmt; }
  void release() {
    if (m_stmt) m_conn.closeStatement(m_stmt);
    m_stmt = nullptr;
  }

 private:
  ORVEL::QxDBConnection& m_conn;
  ORVEL::QxDBStatement* m_stmt = nullptr;
};

// The text of a column copied into a fixed field, cut to fit.
template <std::size_t N>
void copyColumn(QxDBAgent& agent, const char* column, char (&field)[N]) {
  const char* text = nullptr;
  agent.getString(column, text);
  ORVEL::boundedCopy(field, N, text);
}

void logException(const char* where, const char* message, const char* sql) {
  Log::LogByLevel(ORVEL_LOG_ERROR, "KFBlobManager::%s: Exception \"%s\" thrown for statement %s",
                  where, message ? message : "", sql);
}

// Begins the transaction of a change to the rows of a type and makes the changes of one type
// take turns (see "KF_LOCK_KFROWS"): what the change reads after this is what the change before it
// left. Without the transaction each statement would commit on its own, and a failure half-way
// would leave the type without its current row.
void beginRowChange(QxDBAgent& agent, char (&sql)[kStatementBytes], int type) {
  if (!agent.startTransaction()) throw "the transaction did not begin";
  agent.loadSQL(sql, sizeof sql, "KF_LOCK_KFROWS", type, type + kBackupTypeOffset);
  agent.excuteQuery(sql);
  agent.closeStatement();
}

// Gives the row of the component id its new type; the row must be there.
void moveRow(QxDBAgent& agent, char (&sql)[kStatementBytes], int newType, int componentId,
             int oldType) {
  agent.loadSQL(sql, sizeof sql, "KF_BACKUP_KFROW", newType, componentId, oldType);
  if (agent.excuteUpdate(sql) != 1) throw "the row to move was not found";
}

bool endsWithSeparator(const char* path) {
  std::size_t length = std::strlen(path);
  return length > 0 && (path[length - 1] == '/' || path[length - 1] == '\\');
}

// A file written under a name of its own beside its final one, made durable and renamed into
// place only when whole: a failed fetch never leaves a half file that could pass for a pattern,
// nor destroys the file that was there, nor leaves its temporary behind. The name is created
// exclusively, so no other fetch of the same path writes into it or removes it; it begins with
// "." so that a look for pattern files in the folder ("ksv$pat.*") does not take it for one.
class FileInProgress {
 public:
  explicit FileInProgress(const std::string& path) : m_final(OrvelPlatform::toOsPath(path)) {
    int fd = -1;
    for (int attempt = 0; attempt < kNameAttempts && fd < 0; ++attempt) {
      const std::string name = _temporaryName();
      fd = ::open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
      if (fd >= 0) m_temporary = name;
      if (fd < 0 && errno != EEXIST) return;
    }
    if (fd >= 0) m_file.reset(::fdopen(fd, "wb"));
    if (fd >= 0 && !m_file) ::close(fd);
  }
  ~FileInProgress() {
    m_file.reset();
    if (!m_done && !m_temporary.empty()) ::unlink(m_temporary.c_str());
  }
  bool opened() const { return m_file != nullptr; }
  bool write(const char* data, std::size_t length) {
    return std::fwrite(data, 1, length, m_file.get()) == length;
  }
  bool finish() {
    std::FILE* file = m_file.release();
    // On the disk before it has its final name: after a power loss that name holds the whole
    // file or the one it replaced.
    const bool durable = std::fflush(file) == 0 && ::fsync(::fileno(file)) == 0;
    if (std::fclose(file) != 0 || !durable) return false;
    m_done = std::rename(m_temporary.c_str(), m_final.c_str()) == 0;
    return m_done;
  }

 private:
  static constexpr int kNameAttempts = 100;
  // Of the final name, so that the temporary one stays within a file name's 255 bytes.
  static constexpr std::size_t kKeptNameBytes = 200;

  // ".<final name>.<process>-<count>.kfpart" in the folder of the final name.
  std::string _temporaryName() const {
    static std::atomic<unsigned> count{0};
    const std::size_t slash = m_final.rfind('/');
    const std::size_t nameAt = slash == std::string::npos ? 0 : slash + 1;
    return m_final.substr(0, nameAt) + "." + m_final.substr(nameAt, kKeptNameBytes) + "." +
           std::to_string(::getpid()) + "-" + std::to_string(++count) + ".kfpart";
  }

  std::string m_final;
  std::string m_temporary;  // empty until created
  FilePtr m_file;
  bool m_done = false;
};

int compareNumbers(double first, double second) {
  if (first < second) return 1;
  if (first > second) return -1;
  return 0;
}

// "17461.001" has the fraction 0.001; a text without "." has none.
double spamPatternFraction(const char* text) {
  const char* dot = std::strchr(text, '.');
  return dot ? std::strtod(("0" + std::string(dot)).c_str(), nullptr) : 0.0;
}

// "5.763.00" continues with 763.00 after its first "."; without "." it is 0.
double afterFirstDot(const char* text) {
  const char* dot = std::strchr(text, '.');
  return dot ? std::strtod(dot + 1, nullptr) : 0.0;
}

int compareSpamPatternVersions(const char* first, const char* second) {
  const long firstBase = std::atol(first);
  const long secondBase = std::atol(second);
  if (secondBase != firstBase) return secondBase > firstBase ? 1 : -1;
  return compareNumbers(spamPatternFraction(first), spamPatternFraction(second));
}

// Reads the leading number ("5.763.00" as 5.763), then what follows the first
// "." to tell apart texts whose leading numbers are equal. Double precision:
// single precision took builds such as 500.12345 and 500.12346 for equal.
int compareDottedVersions(const char* first, const char* second) {
  int result = compareNumbers(std::strtod(first, nullptr), std::strtod(second, nullptr));
  if (result != 0) return result;
  return compareNumbers(afterFirstDot(first), afterFirstDot(second));
}

}  // namespace

int KFBlobManager::CmpVersion(QxUpdateType type, const char* first, const char* second) {
  if (!first || !second || type == QXASE_PATCH) return -1;
  if (type == QXASE_PATTERN) return compareSpamPatternVersions(first, second);
  return compareDottedVersions(first, second);
}

OrvelErrC KFBlobManager::AddKFBlob(const _uiKFData& data) {
  QxDBAgent agent;
  if (!agent.isOK()) {
    Log::LogByLevel(ORVEL_LOG_ERROR, "KFBlobManager::AddKFBlob: QxDBAgent init failed");
    return ERRC_DB_FAILURE;
  }
  OrvelErrC result = _removeKFRow(agent, data.type, data.version);
  if (result != ERRC_SUCCESS) return result;
  return _addKFBlob(agent, data);
}

OrvelErrC KFBlobManager::_removeKFRow(QxDBAgent& agent, int type, const char* version) {
  char sql[kStatementBytes] = "";
  try {
    beginRowChange(agent, sql, type);
    agent.loadSQL(sql, sizeof sql, "KF_GET_ROW_INFO", type);
    agent.excuteQuery(sql);
    if (agent.fetchNextRow() != 0) {
      Log::LogByLevel(ORVEL_LOG_TRACE,
                      "KFBlobManager::_removeKFRow: can not find the row with type = %d", type);
      return ERRC_SUCCESS;
    }
    int componentId = 0;
    char stored[32] = "";
    agent.getInt("component_id", componentId);
    copyColumn(agent, "version", stored);
    if (CmpVersion(static_cast<QxUpdateType>(type), version, stored) != -1) {
      Log::LogByLevel(
          ORVEL_LOG_ERROR,
          "KFBlobManager::AddKFBlob: INFO: Component in database has been up-to-date: %s >= %s",
          stored, version ? version : "");
      agent.rollbackTransaction();
      return ERRC_DB_UP_TO_DATE;
    }
    agent.loadSQL(sql, sizeof sql, "KF_REMOVE_BACKUPROW", type + kBackupTypeOffset);
    agent.excuteUpdate(sql);
    moveRow(agent, sql, type + kBackupTypeOffset, componentId, type);
    return ERRC_SUCCESS;
  } catch (const char* message) {
    logException("_removeKFRow", message, sql);
    agent.rollbackTransaction();
    return ERRC_DB_FAILURE;
  }
}

OrvelErrC KFBlobManager::_addKFBlob(QxDBAgent& agent, const _uiKFData& data) {
  ORVEL::QxDBConnection* conn = agent.getConnection();
  if (!conn) {
    agent.rollbackTransaction();
    return ERRC_DB_FAILURE;
  }
  FilePtr file(std::fopen(OrvelPlatform::toOsPath(data.file_path).c_str(), "rb"));
  if (!file) {
    Log::LogErrorToFile("KFBlobManager::_addKFBlob: can not open file: %s", data.file_path);
    agent.rollbackTransaction();
    return ERRC_FILE_OPEN;
  }
  char sql[kStatementBytes] = "";
  try {
    agent.loadSQL(sql, sizeof sql, "KF_ADD_BLOB");
    PreparedStatement stmt(*conn, sql);
    ORVEL::Blob* blob = nullptr;
    stmt->setLong(1, data.type);
    stmt->setBlob(2, data.file_size, blob);
    stmt->setBytes(3, data.version, static_cast<long>(strnlen(data.version, sizeof data.version)),
                   false);
    stmt->setLong(4, data.file_size);
    stmt->setBytes(5, data.file_name,
                   static_cast<long>(strnlen(data.file_name, sizeof data.file_name)), false);
    if (stmt->excuteUpdate() == -1 || !blob || stmt->affectedRows() != 1)
      throw "excute update operation failed";

    char chunk[kChunkBytes];
    for (long left = data.file_size; left > 0;) {
      const std::size_t size =
          left < static_cast<long>(kChunkBytes) ? static_cast<std::size_t>(left) : kChunkBytes;
      if (std::fread(chunk, 1, size, file.get()) != size) throw "read binary from file failed";
      if (blob->putData(chunk, size) != 0) throw "put KFBlob data into adminDB failed";
      left -= static_cast<long>(size);
    }
    stmt.release();
    file.reset();
    // A commit the database refuses leaves nothing stored: that is no success.
    if (!agent.commitTransaction()) throw "commit of the upload failed";
    return ERRC_SUCCESS;
  } catch (const char* message) {
    logException("_addKFBlob", message, sql);
    agent.rollbackTransaction();
    return ERRC_DB_FAILURE;
  }
}

OrvelErrC KFBlobManager::GetKFBlob(_uiKFData& data) {
  QxDBAgent agent;
  if (!agent.isOK()) return ERRC_DB_FAILURE;
  char sql[kStatementBytes] = "";
  try {
    agent.loadSQL(sql, sizeof sql, "KF_GET_BLOB");
    PreparedStatement stmt(*agent.getConnection(), sql);
    stmt->setLong(1, data.type);
    ORVEL::QxDBResultset* rs = nullptr;
    if (stmt->excuteQuery(rs) != 0 || !rs) throw "excute query operation failed";
    if (rs->next() != ORVEL::QxDBResultset::kRow) throw "can not find the next row";

    if (endsWithSeparator(data.file_path)) {
      const char* name = nullptr;
      if (rs->getString("file_name", name) != 0 || !name || !*name)
        throw "retrieve the file name of the blob failed";
      ORVEL::boundedAppend(data.file_path, sizeof data.file_path, name);
    }
    FileInProgress out(data.file_path);
    if (!out.opened()) return ERRC_FILE_OPEN;

    long size = data.file_size;
    if (size <= 0) {
      int stored = 0;
      if (rs->getInt("file_size", stored) != 0) throw "retrieve the file size of the blob failed";
      if (stored <= 0) throw "invalid file size read from central database";
      size = stored;
    }
    ORVEL::Blob* blob = nullptr;
    if (rs->getBlob("content", blob) == -1 || !blob) throw "get KFBlob from result set failed";
    char chunk[kChunkBytes];
    for (long left = size; left > 0;) {
      const std::size_t part =
          left < static_cast<long>(kChunkBytes) ? static_cast<std::size_t>(left) : kChunkBytes;
      if (blob->getData(chunk, part) != 0) throw "get KFBlob data from adminDB failed";
      if (!out.write(chunk, part)) throw "write binary to file failed";
      left -= static_cast<long>(part);
    }
    stmt.release();
    if (!out.finish()) throw "write binary to file failed";
    return ERRC_SUCCESS;
  } catch (const char* message) {
    logException("_getKFBlob", message, sql);
    return ERRC_DB_FAILURE;
  }
}

OrvelErrC KFBlobManager::GetKFRows(std::vector<_uiKFDataNoFile>& rows) {
  QxDBAgent agent;
  if (!agent.isOK()) return ERRC_DB_FAILURE;
  char sql[kStatementBytes] = "";
  try {
    agent.loadSQL(sql, sizeof sql, "KF_GET_ALL_ROWS");
    agent.excuteQuery(sql);
    while (agent.fetchNextRow() != ORVEL::QxDBResultset::kNoMoreRows) {
      _uiKFDataNoFile row{};
      agent.getInt("type", row.type);
      agent.getTime("update_time", row.update_time);
      copyColumn(agent, "version", row.version);
      agent.getInt("file_size", row.file_size);
      copyColumn(agent, "file_name", row.file_name);
      agent.getInt("apply_fail", row.apply_fail);
      rows.push_back(row);
    }
    return ERRC_SUCCESS;
  } catch (const char* message) {
    logException("GetKFRows", message, sql);
    return ERRC_DB_FAILURE;
  }
}

bool KFBlobManager::GetKFUploadsNum(int& number) {
  QxDBAgent agent;
  if (!agent.isOK()) return false;
  char sql[kStatementBytes] = "";
  try {
    agent.loadSQL(sql, sizeof sql, "KF_GET_UPLOADS_NUMBER");
    agent.excuteQuery(sql);
    int fetched = agent.fetchNextRow();
    if (fetched == ORVEL::QxDBResultset::kNoMoreRows) {
      Log::LogByLevel(ORVEL_LOG_ERROR,
                      "KFBlobManager::GetKFUploadsNum: cannot                 find the line in "
                      "tb_version_number, insert a new line now...");
      agent.loadSQL(sql, sizeof sql, "KF_INSERT_VERSION_LINE", number + 1);
      agent.excuteUpdate(sql);
      ++number;
      return true;
    }
    if (fetched == ORVEL::QxDBResultset::kRow) {
      agent.getInt("kf_uploads", number);
      return true;
    }
    Log::LogByLevel(ORVEL_LOG_ERROR,
                    "KFBlobManager::GetKFUploadsNum: retrive \"kf_uploads\" value failed");
    return false;
  } catch (const char* message) {
    logException("GetKFUploadsNum", message, sql);
    return false;
  }
}

int KFBlobManager::RollbackKFBlob(int type, std::string& version) {
  QxDBAgent agent;
  if (!agent.isOK()) {
    Log::LogByLevel(ORVEL_LOG_ERROR, "KFBlobManager::RollbackKFBlob: QxDBAgent init failed");
    return -1;
  }
  char sql[kStatementBytes] = "";
  try {
    beginRowChange(agent, sql, type);
    agent.loadSQL(sql, sizeof sql, "KF_GET_ROW_INFO", type + kBackupTypeOffset);
    agent.excuteQuery(sql);
    if (agent.fetchNextRow() != 0) {
      Log::LogByLevel(ORVEL_LOG_TRACE,
                      "KFBlobManager::RollbackKFBlob: can not find the row with type = %d",
                      type + kBackupTypeOffset);
      agent.rollbackTransaction();
      return 0;
    }
    int componentId = 0;
    const char* stored = nullptr;
    agent.getInt("component_id", componentId);
    agent.getString("version", stored);
    if (!stored || !*stored) {
      Log::LogByLevel(ORVEL_LOG_ERROR,
                      "KFBlobManager::RollbackKFBlob: get version from tb_kite_feed failed");
      agent.rollbackTransaction();
      return -1;
    }
    const std::string backupVersion = stored;
    agent.loadSQL(sql, sizeof sql, "KF_REMOVE_BACKUPROW", type);
    agent.excuteUpdate(sql);
    moveRow(agent, sql, type, componentId, type + kBackupTypeOffset);
    if (!agent.commitTransaction()) throw "commit of the rollback failed";
    version = backupVersion;
    return 1;
  } catch (const char* message) {
    logException("RollbackKFBlob", message, sql);
    agent.rollbackTransaction();
    return -1;
  }
}
