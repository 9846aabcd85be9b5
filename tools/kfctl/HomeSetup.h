// kfctl init: lays out a new product home with an empty central database.
#pragma once

#include <string>

namespace Kfctl {

// The central database of a new home: the embedded SQLite file, or a database an administrator
// made on a PostgreSQL server (password read by the caller, stored enciphered).
struct DatabaseChoice {
  bool postgres = false;
  std::string host, port, database, user, password;
};

// Creates the folders, config/orvel.ini with the database connection, the cipher key, sql/, the
// resource bundles, the update client in bin/, and the database's tables. A folder that holds a
// product home's settings already is refused and left as it was. 0, or -1 with error.
int createHome(const std::string& home, const DatabaseChoice& database, std::string& error);

}  // namespace Kfctl
