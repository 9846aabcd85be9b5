// Creating the central administration database of an installation.
#pragma once

#include <string>

#include "OrvelCommon/OrvelConfigFileManager.h"

#pragma GCC visibility push(default)

namespace ORVEL {

// Creates the tables of an empty central database from the schema script of its dialect,
// <home>\sql\<backend>\schema.sql, in one transaction: all tables or none. SQLite: the database
// file is created when missing (its folder must exist). PostgreSQL: the database must exist,
// owned by the installation's scanner group role (created by its administrator, see README.md),
// and the setting's role must be that role or a member of it: the tables are created as the
// owner of the database, so that every scanner role of the group may change every row.
// A database that holds any of the tables already is left untouched and refused.
// 0 on success; -1 with error telling why (never the password).
int createCentralDatabase(const AdminDBSetting& setting, const char* home, std::string& error);

}  // namespace ORVEL

#pragma GCC visibility pop
