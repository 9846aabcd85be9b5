// The global settings of an installation, shared by every scanner: rows of the central
// database's table "tb_global_setting" (section, key, value, file name), one row per section,
// key and file name (a unique key, so writers of several processes or machines never duplicate
// one).
//
// The object keeps one connection with the AdminDB settings, opened at the first read or write and
// opened again when the database dropped it (a server restart: the operation is tried once more
// on the new connection), so it may live as long as its process. A child process made by fork()
// opens a connection of its own and leaves the inherited one alone, which belongs to the parent.
// The statements are GLOBAL_SETTING_READ and GLOBAL_SETTING_WRITE of the script file
// (QxDBScript).
#pragma once

#include <sys/types.h>

#include <functional>
#include <memory>
#include <string>

#include "OrvelCommon/GlobalSetting.h"
#include "OrvelCommon/OrvelConfigFileManager.h"

#pragma GCC visibility push(default)

namespace ORVEL {

class QxDBConnection;

class GlobalSettingIF : public GlobalSetting {
 public:
  static constexpr const char* kReadStatement = "GLOBAL_SETTING_READ";
  static constexpr const char* kWriteStatement = "GLOBAL_SETTING_WRITE";

  GlobalSettingIF();
  ~GlobalSettingIF() override;
  GlobalSettingIF(const GlobalSettingIF&) = delete;
  GlobalSettingIF& operator=(const GlobalSettingIF&) = delete;

  // Made ready for use; true on success. adminDB: the database (null: the AdminDB settings of
  // $ORVEL_HOME/config/orvel.ini). scriptPath: the script file to load (null: the store as
  // loaded already, else $ORVEL_HOME\sql\mssql\dbscript.conf). The other two are kept for the
  // callers that pass them, always null. It does not connect: a database that is down makes the
  // reads and writes fail, not the object.
  bool Init(const AdminDBSetting* adminDB, const char* scriptPath, const void* reserved1,
            const void* reserved2);

  // 0 when found (value receives it; a NULL value reads as ""), 1 when not found, -1 on failure.
  // A null section or file name stands for "".
  int readSetting(const char* key, std::string& value, const char* section,
                  const char* fileName) override;
  // 0 when stored (inserted or updated), -1 on failure. A null value is stored as "".
  int writeSetting(const char* key, const char* value, const char* section,
                   const char* fileName) override;

 private:
  using Operation = std::function<int(QxDBConnection&, const std::string& sql)>;
  // Runs operation with the statement called name on the connection; once more on a new
  // connection when the database dropped the old one.
  int _run(const char* name, const char* operationName, const Operation& operation);
  QxDBConnection* _connection(const char* operationName);
  void _dropConnection();

  bool m_ready = false;
  AdminDBSetting m_adminDB;
  std::unique_ptr<QxDBConnection> m_conn;
  pid_t m_connOwner = 0;  // the process that opened m_conn
};

}  // namespace ORVEL

#pragma GCC visibility pop
