// Events of updates in the central database, and the upload counter.
#include <cstdio>
#include <ctime>

#include "OrvelCommon/QxDBConnection.h"
#include "OrvelCommon/QxDBStatement.h"
#include "OrvelKF/QxDBAgent.h"
#include "OrvelKF/QxUpdate.h"
#include "OrvelPlatform/Clock.h"
#include "QxUpdateTrace.h"

using ORVEL::Log;
using ORVEL::ORVEL_LOG_ERROR;
using ORVEL::ORVEL_LOG_TRACE;

namespace {

constexpr const char* kInsertEvent =
    "insert into tb_system_event (scanner_id, time_date, event_id, event_description) values (?, ?, ?, ?)";
constexpr unsigned kFirstEventId = 10000;
constexpr unsigned kEventBlockStride = 10;

bool localTimeText(char* buffer, std::size_t size) {
  std::tm now{};
  if (!OrvelPlatform::clock().localTime(OrvelPlatform::clock().now(), &now)) return false;
  std::snprintf(buffer, size, "%04u-%02u-%02u %02u:%02u:%02u", now.tm_year + 1900u, now.tm_mon + 1u,
                static_cast<unsigned>(now.tm_mday), static_cast<unsigned>(now.tm_hour),
                static_cast<unsigned>(now.tm_min), static_cast<unsigned>(now.tm_sec));
  return true;
}

}  // namespace

bool QxUpdate::logKFEvent(int scannerId, QxUpdateType type, QxUpdateRet ret) {
  KF_ENTER("logKFEvent");
  if (!kfIsKnownType(type) || type == QXASE_PATCH) return false;
  if (ret != SUCCESS && ret != FAIL) return false;
  if (m_kind != MANUAL_UPDATE && m_kind != SCHEDULED_UPDATE) return false;

  const int block = 2 * m_kind + (ret == FAIL ? 1 : 0);
  const char* key = kfEventKeyOf(static_cast<KFEventBlock>(block), type);
  std::string description;
  bool found = false;
  if (m_bundle && ret == SUCCESS) {
    std::string version;
    getResultVersion(type, version);
    found = m_bundle->format(key, std::vector<std::string>{version}, description);
  } else if (m_bundle) {
    found = m_bundle->lookup(key, description);
  }
  if (!found) {
    Log::LogByLevel(ORVEL_LOG_ERROR, "QxUpdate::logKFEvent: retrieve string from resource file failed");
    return false;
  }
  KF_LEAVE("logKFEvent");
  return writeLogToDB(scannerId, kFirstEventId + kEventBlockStride * block + type, description);
}

bool QxUpdate::writeLogToDB(int scannerId, unsigned int eventId, std::string description) {
  KF_LOG_AT(ORVEL_LOG_TRACE, "enter function writeLogToDB");
  ORVEL::QxDBAgent agent;
  ORVEL::QxDBConnection* conn = agent.getConnection();
  if (!agent.isOK() || !conn) {
    Log::LogByLevel(ORVEL_LOG_ERROR, "QxUpdate::writeLogToDB connect to database failed");
    return false;
  }
  ORVEL::QxDBStatement* stmt = nullptr;
  if (conn->prepareStatement(kInsertEvent, stmt) != 0 || !stmt) {
    Log::LogByLevel(ORVEL_LOG_ERROR, "QxUpdate::writeLogToDB prepare statement failed");
    conn->close();
    return false;
  }
  char timeText[128];
  if (!localTimeText(timeText, sizeof timeText)) {
    conn->closeStatement(stmt);
    return false;
  }
  stmt->setLong(1, scannerId);
  stmt->setBytes(2, timeText, static_cast<long>(std::strlen(timeText)), false);
  stmt->setLong(3, static_cast<long>(eventId));
  stmt->setBytes(4, description.data(), static_cast<long>(description.size()), true);
  if (stmt->excuteUpdate() != 0) {
    Log::LogByLevel(ORVEL_LOG_ERROR, "QxUpdate::writeLogToDB call excuteUpdate failed: system_event --%s--",
                    timeText);
    conn->closeStatement(stmt);
    return false;
  }
  conn->closeStatement(stmt);
  KF_LOG_AT(ORVEL_LOG_TRACE, "leave function writeLogToDB");
  return true;
}

bool QxUpdate::setUploadNumber() {
  KF_ENTER("setUploadNumber");
  if (m_uploaded) {
    ORVEL::QxDBAgent agent;
    if (!agent.isOK()) return false;
    char sql[512] = "";
    try {
      agent.loadSQL(sql, sizeof sql, "KF_INCREASE_UPLOAD_NUMBER");
      agent.excuteUpdate(sql);
    } catch (const char* message) {
      Log::LogByLevel(ORVEL_LOG_ERROR, "QxUpdate::setUploadNumber: Exception \"%s\" thrown for statement %s",
                      message ? message : "", sql);
      return false;
    }
  }
  KF_LEAVE("setUploadNumber");
  return true;
}
