// Settings of one local INI file, shared by everything in the process that
// asks for the same file.
//
// Instance() hands out one object per file path for the life of the process.
// Reads see changes that other processes make to the file, since the file is
// re-read when it changes on disk.
#pragma once

#include <memory>
#include <string>

#include "OrvelCommon/ConfigFileOnDisk.h"
#include "OrvelCommon/GlobalSetting.h"

#pragma GCC visibility push(default)

namespace ORVEL {

class GlobalSettingOnMem : public GlobalSetting {
 public:
  // The settings of the file at path; null for a null or empty path. The
  // object exists even when the file cannot be read: m_ready tells. The
  // flags and the four pointers are kept for the callers that pass them and
  // change nothing: the file is always read at once and shared.
  static GlobalSettingOnMem* Instance(const char* path, bool loadNow, const void* reserved1,
                                      const void* reserved2, const void* reserved3,
                                      const void* reserved4, bool shared);

  // True when the file could be read the last time it was read.
  bool m_ready = false;

  ~GlobalSettingOnMem() override = default;

  // 0 when the key was found in the section. The file name, when given, must
  // be the name of this object's file.
  int readSetting(const char* key, std::string& value, const char* section,
                  const char* fileName) override;
  // 0 when the value was written to the file.
  int writeSetting(const char* key, const char* value, const char* section,
                   const char* fileName) override;

 private:
  explicit GlobalSettingOnMem(const std::string& path);
  bool _isThisFile(const char* fileName) const;

  std::string m_fileName;
  ConfigFileOnDisk m_file;
};

}  // namespace ORVEL

#pragma GCC visibility pop
