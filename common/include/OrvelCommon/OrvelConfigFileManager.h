// The local configuration of a scanner: where its central administration database is.
//
// $ORVEL_HOME/config/orvel.ini, section [AdminDB]:
//
//   backend  = sqlite             ; "sqlite" (the default when the key is missing) or "postgresql"
//   file     = lib\orveladmin.db  ; sqlite: the database file, absolute or below the home
//                                 ; (default lib\orveladmin.db)
//   host     = db.example.org     ; postgresql: the server (default: libpq's)
//   port     = 5432               ; postgresql (default: libpq's)
//   sslmode  = verify-full        ; postgresql, optional: libpq's sslmode
//   database = orveladmin         ; postgresql: the database name
//   user     = orvel              ; postgresql: the login role
//   password = OKC1:...           ; postgresql: enciphered with NewEncryptStr (PasswordCipher.h)
#pragma once

#include <string>

#pragma GCC visibility push(default)

// The connection settings in the form QxDBConnection::connect takes them.
struct AdminDBSetting {
  std::string dsn;       // "sqlite:<file>" or "postgresql:host='...' port='...'"
  std::string uid;       // empty for sqlite
  std::string passwd;    // plain text, deciphered; empty for sqlite
  std::string database;  // empty for sqlite
  std::string backend;   // "sqlite" or "postgresql": also the dialect of the script file
};

class OrvelConfigFileManager {
 public:
  static constexpr const char* kSection = "AdminDB";
  static constexpr const char* kDefaultSqliteFile = "lib\\orveladmin.db";

  // Reads the settings below ORVEL_HOME. False, with a level-1 log line (never showing the
  // password), when the home is not set, the file cannot be read, the section is missing, the
  // backend is unknown or the password does not decipher.
  static bool getAdminDBSetting(AdminDBSetting& setting);
  // The same below the given home folder.
  static bool getAdminDBSetting(const char* home, AdminDBSetting& setting);
};

#pragma GCC visibility pop
