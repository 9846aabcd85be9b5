// The named SQL statements of the central database, kept in the product's script file
// ($ORVEL_HOME/sql/mssql/dbscript.conf; the folder name is historical, the file holds every
// dialect).
//
// The file is an INI file: one section per dialect, named as QxDBConnection::getDBMSType() names
// it ("[sqlite]", "[postgresql]"), one statement per key, on one line. Statements are printf
// formats (callers fill "%d" and the like; a literal "%" is written "%%") and take bound parameters
// as "?". A file changed on disk is read again.
#pragma once

#include <memory>
#include <string>

#pragma GCC visibility push(default)

namespace ORVEL {

class ConfigFileOnDisk;

class QxDBScript {
 public:
  // Loads the script file. An unreadable file changes nothing and gives false; a readable one
  // replaces the file of an existing store (the instance pointer stays the same).
  static bool init(const char* path);
  // The store; null until a script file was loaded.
  static QxDBScript* getInstance();

  ~QxDBScript();
  QxDBScript(const QxDBScript&) = delete;
  QxDBScript& operator=(const QxDBScript&) = delete;

  // The statement called name in the dialect's section; true when found (sql empty otherwise).
  bool getScript(const char* dbmsType, const char* name, std::string& sql);
  const std::string& path() const;

 private:
  explicit QxDBScript(std::unique_ptr<ConfigFileOnDisk> file);

  std::unique_ptr<ConfigFileOnDisk> m_file;
};

}  // namespace ORVEL

#pragma GCC visibility pop
