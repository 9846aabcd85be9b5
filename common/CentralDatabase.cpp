#include "OrvelCommon/CentralDatabase.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>

#include "OrvelCommon/QxDBConnection.h"
#include "OrvelPlatform/Path.h"

namespace ORVEL {

namespace {

bool readSchema(const std::string& path, std::string& schema, std::string& error) {
  std::ifstream in(OrvelPlatform::toOsPath(path), std::ios::binary);
  std::ostringstream content;
  if (in) content << in.rdbuf();
  if (!in || content.str().empty()) {
    error = "cannot read the schema " + path;
    return false;
  }
  schema = content.str();
  return true;
}

// An empty file is an empty SQLite database; connecting never creates one.
bool createSqliteFile(const std::string& dsn, std::string& error) {
  const std::string file = dsn.substr(std::strlen(QxDBConnection::kSqliteScheme));
  const int fd =
      ::open(OrvelPlatform::toOsPath(file).c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) {
    error = "cannot create " + file + ": " + std::strerror(errno);
    return false;
  }
  ::close(fd);
  return true;
}

}  // namespace

int createCentralDatabase(const AdminDBSetting& setting, const char* home, std::string& error) {
  error.clear();
  if (!home || !*home || setting.backend.empty()) {
    error = "no product home or no backend";
    return -1;
  }
  std::string schema;
  const std::string schemaPath = std::string(home) + "\\sql\\" + setting.backend + "\\schema.sql";
  if (!readSchema(schemaPath, schema, error)) return -1;
  if (setting.dsn.rfind(QxDBConnection::kSqliteScheme, 0) == 0 &&
      !createSqliteFile(setting.dsn, error))
    return -1;
  QxDBConnection conn(1);
  if (conn.connect(setting.dsn.c_str(), setting.uid.c_str(), setting.passwd.c_str(),
                   setting.database.c_str(), 30, 1, 10) != 0 ||
      std::strcmp(conn.getDBMSType(), setting.backend.c_str()) != 0) {
    error = std::string("cannot connect: ") + conn.lastError();
    return -1;
  }
  if (conn.beginTransaction() != 0 || conn.executeScript(schema.c_str()) != 0) {
    error = conn.lastError();
    conn.rollback();
    return -1;
  }
  if (conn.commit() != 0) {
    error = conn.lastError();
    return -1;
  }
  return 0;
}

}  // namespace ORVEL
