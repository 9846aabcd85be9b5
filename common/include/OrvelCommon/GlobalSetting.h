// The product's settings, read and written by key, section and file name.
//
// Two stores implement it: GlobalSettingIF, the settings shared by every
// scanner of an installation (kept in the central database), and
// GlobalSettingOnMem, the settings of one local INI file.
#pragma once

#include <string>

#pragma GCC visibility push(default)

namespace ORVEL {

class GlobalSetting {
 public:
  virtual ~GlobalSetting() = default;
  // 0 when the key was found; value receives it.
  virtual int readSetting(const char* key, std::string& value, const char* section,
                          const char* fileName) = 0;
  // 0 when the value was stored.
  virtual int writeSetting(const char* key, const char* value, const char* section,
                           const char* fileName) = 0;
};

}  // namespace ORVEL

#pragma GCC visibility pop
