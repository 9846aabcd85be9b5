// Versions that the last operation of the update object produced.
#include <cstdio>
#include <cstdlib>

#include "OrvelKF/QxUpdate.h"

QxUpdateRet QxUpdate::getResultVersion(QxUpdateType type, std::string& version) {
  if (!kfIsKnownType(type) || type == QXASE_PATCH) return FAIL;
  if (type != QXASE_PATTERN) {
    version = m_resultVersion[type];
    return SUCCESS;
  }
  const std::string& base = m_resultVersion[QXASE_PATTERN];
  if (base.empty()) return SUCCESS;
  // The spam pattern's version is its base and the patch of the incremental
  // pattern when that belongs to the same base.
  const unsigned rule = m_para.stVersion[QXASE_PATCH].uiInternalVersion;
  const unsigned patch = rule / 1000 == static_cast<unsigned>(std::atoi(base.c_str())) ? rule % 1000 : 0;
  char text[64];
  std::snprintf(text, sizeof text, "%s.%03u", base.c_str(), patch);
  version = text;
  return SUCCESS;
}
