#include "HomeSetup.h"

#include <cstdlib>
#include <filesystem>
#include <system_error>

#include "OrvelCommon/CentralDatabase.h"
#include "OrvelCommon/OrvelConfigFileManager.h"
#include "OrvelCommon/PasswordCipher.h"
#include "Report.h"

namespace fs = std::filesystem;

namespace Kfctl {

namespace {

const char* const kFolders[] = {"bin",
                                "config",
                                "log",
                                "temp/kf",
                                "lib/pattern/ziran",
                                "lib/pattern/qxase/rules",
                                "lib/pattern/qxase/cache"};

// The connection section of config/orvel.ini. The password is enciphered with the key of this
// home, which the first enciphering creates.
bool adminDBSection(const DatabaseChoice& db, std::string& section, std::string& error) {
  section = "[general]\nlocale = en_US\n\n[AdminDB]\n";
  if (!db.postgres) {
    section += "backend = sqlite\nfile = lib\\orveladmin.db\n";
    return true;
  }
  std::string stored;
  if (!ORVEL::NewEncryptStr(db.password.c_str(), stored)) {
    error = "cannot encipher the database password (see the log for why)";
    return false;
  }
  section += "backend = postgresql\nhost = " + db.host + "\nport = " + db.port +
             "\ndatabase = " + db.database + "\nuser = " + db.user + "\npassword = " + stored +
             "\n";
  return true;
}

// The files a new home takes, from the installation kfctl runs from (its program folder's
// parent is the prefix) or else from the build it was made in.
struct Sources {
  std::string sql, resources, client;
};

Sources sources() {
  std::error_code unknown;
  const fs::path prefix = fs::read_symlink("/proc/self/exe", unknown).parent_path().parent_path();
  if (!unknown && fs::is_directory(prefix / KFCTL_INSTALLED_SQL_DIR))
    return {prefix / KFCTL_INSTALLED_SQL_DIR, prefix / KFCTL_INSTALLED_RESOURCE_DIR,
            prefix / KFCTL_INSTALLED_UPDATE_CLIENT};
  return {KFCTL_SQL_DIR, KFCTL_RESOURCE_DIR, KFCTL_UPDATE_CLIENT};
}

bool copyTree(const std::string& from, const fs::path& to, std::string& error) {
  std::error_code failed;
  fs::create_directories(to.parent_path(), failed);
  fs::copy(from, to, fs::copy_options::recursive | fs::copy_options::overwrite_existing, failed);
  if (failed) error = "cannot copy " + from + " to " + to.string() + ": " + failed.message();
  return !failed;
}

}  // namespace

int createHome(const std::string& home, const DatabaseChoice& database, std::string& error) {
  const fs::path root = fs::absolute(home);
  const fs::path ini = root / "config/orvel.ini";
  if (fs::exists(ini)) {
    error = root.string() + " holds a product home already (" + ini.string() + ")";
    return -1;
  }
  std::error_code failed;
  for (const char* folder : kFolders) {
    fs::create_directories(root / folder, failed);
    if (failed) {
      error = "cannot create " + (root / folder).string() + ": " + failed.message();
      return -1;
    }
  }
  ::setenv("ORVEL_HOME", root.c_str(), 1);
  std::string section;
  const Sources from = sources();
  if (!copyTree(from.sql, root / "sql", error) ||
      !copyTree(from.resources + "/IDG_ORVEL_UTIL", root / "resources/IDG_ORVEL_UTIL", error) ||
      !copyTree(from.client, root / "bin/QxUpdate.dll", error) ||
      !adminDBSection(database, section, error))
    return -1;
  // The settings go in last, and whole; set aside when the database cannot be made, so that the
  // administrator may run init again.
  AdminDBSetting setting;
  if (!writeWhole(ini.string(), section, error)) return -1;
  if (!OrvelConfigFileManager::getAdminDBSetting(root.c_str(), setting)) {
    error = "cannot read back " + ini.string();
    return -1;
  }
  if (ORVEL::createCentralDatabase(setting, root.c_str(), error) != 0) {
    fs::rename(ini, root / "config/orvel.ini.failed", failed);
    return -1;
  }
  return 0;
}

}  // namespace Kfctl
