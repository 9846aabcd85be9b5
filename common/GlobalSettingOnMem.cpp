#include "OrvelCommon/GlobalSettingOnMem.h"

#include <map>
#include <mutex>

namespace ORVEL {

namespace {

std::string nameOfPath(const std::string& path) {
  std::size_t slash = path.find_last_of("\\/");
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

}  // namespace

GlobalSettingOnMem* GlobalSettingOnMem::Instance(const char* path, bool, const void*, const void*,
                                                 const void*, const void*, bool) {
  if (!path || !*path) return nullptr;
  static std::mutex registryLock;
  static std::map<std::string, std::unique_ptr<GlobalSettingOnMem>> registry;
  std::lock_guard<std::mutex> guard(registryLock);
  std::unique_ptr<GlobalSettingOnMem>& slot = registry[path];
  if (!slot) slot.reset(new GlobalSettingOnMem(path));
  return slot.get();
}

GlobalSettingOnMem::GlobalSettingOnMem(const std::string& path)
    : m_fileName(nameOfPath(path)), m_file(path.c_str()) {
  m_ready = m_file.m_readable;
}

bool GlobalSettingOnMem::_isThisFile(const char* fileName) const {
  return !fileName || m_fileName == fileName;
}

int GlobalSettingOnMem::readSetting(const char* key, std::string& value, const char* section,
                                    const char* fileName) {
  if (!key || !section || !_isThisFile(fileName)) return -1;
  std::string found;
  bool present = m_file.getparam(section, key, found);
  m_ready = m_file.m_readable;
  if (!present) return -1;
  value = found;
  return 0;
}

int GlobalSettingOnMem::writeSetting(const char* key, const char* value, const char* section,
                                     const char* fileName) {
  if (!key || !value || !section || !_isThisFile(fileName)) return -1;
  return m_file.setparam(section, key, value) ? 0 : -1;
}

}  // namespace ORVEL
