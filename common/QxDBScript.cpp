#include "OrvelCommon/QxDBScript.h"

#include "OrvelCommon/ConfigFileOnDisk.h"

namespace ORVEL {

namespace {

std::unique_ptr<QxDBScript>& instanceSlot() {
  static std::unique_ptr<QxDBScript> instance;
  return instance;
}

}  // namespace

bool QxDBScript::init(const char* path) {
  if (!path || !*path) return false;
  auto file = std::make_unique<ConfigFileOnDisk>(path);
  if (!file->m_readable) return false;
  std::unique_ptr<QxDBScript>& instance = instanceSlot();
  if (instance) {
    instance->m_file = std::move(file);
  } else {
    instance.reset(new QxDBScript(std::move(file)));
  }
  return true;
}

QxDBScript* QxDBScript::getInstance() { return instanceSlot().get(); }

QxDBScript::QxDBScript(std::unique_ptr<ConfigFileOnDisk> file) : m_file(std::move(file)) {}

QxDBScript::~QxDBScript() = default;

bool QxDBScript::getScript(const char* dbmsType, const char* name, std::string& sql) {
  sql.clear();
  if (!dbmsType || !*dbmsType || !name || !*name) return false;
  if (m_file->getparam(dbmsType, name, sql)) return true;
  sql.clear();
  return false;
}

const std::string& QxDBScript::path() const { return m_file->path(); }

}  // namespace ORVEL
