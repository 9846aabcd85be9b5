// The update object's side of the central component store.
#include <sys/stat.h>

#include "OrvelCommon/BoundedCopy.h"
#include "OrvelKF/QxUpdate.h"
#include "OrvelKF/QxZip.h"
#include "OrvelPlatform/Path.h"
#include "QxUpdateTrace.h"

using ORVEL::Log;
using ORVEL::ORVEL_LOG_ERROR;

namespace {

// Patterns and the spam engine are large and compress well.
bool travelsZipped(QxUpdateType type) {
  return type == VIRUS_PATTERN || type == SPYWARE_PATTERN || type == QXASE_ENGINE ||
         type == CLOUDSIFT_AGENT_PATTERN;
}

}  // namespace

bool QxUpdate::_KFBlob(QxUpdateType type, std::string& path, const std::string& version, std::string& name) {
  KF_ENTER("_KFBlob");
  if (travelsZipped(type)) {
    const unsigned codePage = _locale == "ja" ? 932 : 0;
    const std::string archive = m_tempDir + m_sep + name + ".zip";
    if (ORVEL::_zip(archive.c_str(), path.c_str(), codePage)) {
      path = archive;
      name += ".zip";
    } else {
      Log::LogByLevel(ORVEL_LOG_ERROR,
                      "QxUpdate::_KFBlob Cannot generate the zip file %s from %s. Import original file then.",
                      archive.c_str(), path.c_str());
    }
  }
  struct stat status {};
  if (::stat(OrvelPlatform::toOsPath(path).c_str(), &status) != 0) {
    Log::LogByLevel(ORVEL_LOG_ERROR, "QxUpdate::_KFBlob failed at stat for type %d for path %s", type,
                    path.c_str());
    return false;
  }
  _uiKFData data{};
  data.type = type;
  ORVEL::boundedCopy(data.version, sizeof data.version, version.c_str());
  data.file_size = static_cast<int>(status.st_size);
  ORVEL::boundedCopy(data.file_name, sizeof data.file_name, name.c_str());
  ORVEL::boundedCopy(data.file_path, sizeof data.file_path, path.c_str());

  const OrvelErrC result = KFBlobManager::AddKFBlob(data);
  KF_LOG_AT(m_traceLevel, "leave function _KFBlob: return code=%d at AddKFBlob for type %d", result, type);
  if (result == ERRC_SUCCESS) {
    m_uploaded = true;
    return true;
  }
  return result == ERRC_DB_UP_TO_DATE && m_source.inUse;
}
