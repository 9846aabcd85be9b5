#include "OrvelCommon/OrvelConfigFileManager.h"

#include <algorithm>
#include <cstdlib>
#include <vector>

#include "OrvelCommon/BoundedCopy.h"
#include "OrvelCommon/ConfigFileOnDisk.h"
#include "OrvelCommon/Log.h"
#include "OrvelCommon/PasswordCipher.h"

using ORVEL::Log;
using ORVEL::ORVEL_LOG_ERROR;

namespace {

constexpr const char* kWhere = "OrvelConfigFileManager::getAdminDBSetting:";

// Reads the keys of [AdminDB]; a section without any of them counts as missing.
class AdminDBSection {
 public:
  explicit AdminDBSection(ORVEL::ConfigFileOnDisk& file) : m_file(file) {}

  bool get(const char* key, std::string& value) {
    if (!m_file.getparam(OrvelConfigFileManager::kSection, key, value)) {
      value.clear();
      return false;
    }
    m_anyKey = true;
    return true;
  }
  bool anyKey() const { return m_anyKey; }

 private:
  ORVEL::ConfigFileOnDisk& m_file;
  bool m_anyKey = false;
};

bool isAbsolute(const std::string& path) {
  return !path.empty() && (path[0] == '/' || path[0] == '\\');
}

// A libpq connection-text value, quoted so that blanks and quotes survive.
std::string quotedConninfoValue(const std::string& value) {
  std::string quoted = "'";
  for (char c : value) {
    if (c == '\'' || c == '\\') quoted += '\\';
    quoted += c;
  }
  return quoted + "'";
}

void appendConninfo(std::string& conninfo, const char* key, const std::string& value) {
  if (value.empty()) return;
  if (!conninfo.empty()) conninfo += ' ';
  conninfo += key;
  conninfo += '=';
  conninfo += quotedConninfoValue(value);
}

bool decipherPassword(const std::string& stored, std::string& plain) {
  plain.clear();
  if (stored.empty()) return true;  // a role without a password (trust or peer login)
  std::vector<char> buffer(ORVEL::kCipherBufferSize, '\0');
  ORVEL::boundedCopy(buffer.data(), buffer.size(), stored.c_str());
  const bool ok = ORVEL::NewDecryptStr(buffer.data());
  if (ok) plain = buffer.data();
  // The plain text does not stay behind in freed memory.
  std::fill(buffer.begin(), buffer.end(), '\0');
  return ok;
}

bool fillSqlite(AdminDBSection& section, const char* home, AdminDBSetting& setting) {
  std::string file;
  if (!section.get("file", file) || file.empty()) file = OrvelConfigFileManager::kDefaultSqliteFile;
  const std::string path = isAbsolute(file) ? file : std::string(home) + "\\" + file;
  setting.dsn = std::string("sqlite:") + path;
  return true;
}

bool fillPostgres(AdminDBSection& section, AdminDBSetting& setting) {
  std::string value;
  std::string conninfo;
  section.get("host", value);
  appendConninfo(conninfo, "host", value);
  section.get("port", value);
  appendConninfo(conninfo, "port", value);
  section.get("sslmode", value);
  appendConninfo(conninfo, "sslmode", value);
  setting.dsn = std::string("postgresql:") + conninfo;
  section.get("user", setting.uid);
  section.get("database", setting.database);
  std::string stored;
  section.get("password", stored);
  if (!decipherPassword(stored, setting.passwd)) {
    Log::LogByLevel(ORVEL_LOG_ERROR, "%s the password of [%s] does not decipher", kWhere,
                    OrvelConfigFileManager::kSection);
    return false;
  }
  return true;
}

}  // namespace

bool OrvelConfigFileManager::getAdminDBSetting(AdminDBSetting& setting) {
  return getAdminDBSetting(std::getenv("ORVEL_HOME"), setting);
}

bool OrvelConfigFileManager::getAdminDBSetting(const char* home, AdminDBSetting& setting) {
  setting = AdminDBSetting();
  if (!home || !*home) {
    Log::LogByLevel(ORVEL_LOG_ERROR, "%s ORVEL_HOME is not set", kWhere);
    return false;
  }
  const std::string path = std::string(home) + "\\config\\orvel.ini";
  ORVEL::ConfigFileOnDisk file(path.c_str());
  if (!file.m_readable) {
    Log::LogByLevel(ORVEL_LOG_ERROR, "%s cannot read %s", kWhere, path.c_str());
    return false;
  }
  AdminDBSection section(file);
  std::string backend;
  if (!section.get("backend", backend) || backend.empty()) backend = "sqlite";
  // Any other key tells whether the section is there at all.
  std::string probe;
  for (const char* key : {"file", "host", "port", "database", "user", "password", "sslmode"})
    section.get(key, probe);
  if (!section.anyKey()) {
    Log::LogByLevel(ORVEL_LOG_ERROR, "%s no [%s] section in %s", kWhere, kSection, path.c_str());
    return false;
  }
  bool filled = false;
  if (backend == "sqlite") {
    filled = fillSqlite(section, home, setting);
  } else if (backend == "postgresql") {
    filled = fillPostgres(section, setting);
  } else {
    Log::LogByLevel(ORVEL_LOG_ERROR, "%s unknown backend \"%s\" in [%s] of %s", kWhere,
                    backend.c_str(), kSection, path.c_str());
    return false;
  }
  if (!filled) {
    setting = AdminDBSetting();
    return false;
  }
  setting.backend = backend;
  return true;
}
