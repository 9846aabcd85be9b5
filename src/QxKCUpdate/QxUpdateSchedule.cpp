// Whether a scheduled update is due now.
#include <cstdio>
#include <cstdlib>
#include <ctime>

#include "OrvelCommon/ConfigFileOnDisk.h"
#include "OrvelKF/QxUpdate.h"
#include "OrvelPlatform/Clock.h"
#include "QxUpdateTrace.h"

using ORVEL::ORVEL_LOG_DETAIL;
using ORVEL::ORVEL_LOG_ERROR;

namespace {

struct HourAndMinute {
  int hour = 0;
  int minute = 0;
};

// "23:30" gives 23 and 30; a text without ":" gives 0 and 0.
HourAndMinute splitHour(const std::string& text) {
  HourAndMinute result;
  std::size_t colon = text.find(':');
  if (colon == std::string::npos) return result;
  result.hour = std::atoi(text.substr(0, colon).c_str());
  result.minute = std::atoi(text.substr(colon + 1).c_str());
  return result;
}

// Frequencies "10", "15" and "30" are due in the first five minutes of each period.
int minutesPeriod(const std::string& frequency) {
  if (frequency == "10") return 10;
  if (frequency == "15") return 15;
  if (frequency == "30") return 30;
  return 0;
}

}  // namespace

int QxUpdate::_checkScheduleMinutes(int scheduled, int now) {
  switch (scheduled) {
    case 0:
      return now <= 14;
    case 15:
      return now >= 15 && now <= 29;
    case 30:
      return now >= 30 && now <= 44;
    case 45:
      return now >= 45 && now <= 58;
    default:
      return 0;
  }
}

void QxUpdate::_setScheduleUpdate() {
  KF_ENTER("_setScheduleUpdate");
  std::tm now{};
  if (!OrvelPlatform::clock().localTime(OrvelPlatform::clock().now(), &now)) {
    KF_LOG_AT(ORVEL_LOG_ERROR, "Failed to call localtime_r()");
    return;
  }

  std::string enabled;
  if (_readSetting("EnableUpdateSchedule", enabled) != 0) enabled = "no";
  if (enabled == "yes" && !m_scheduleDue) {
    std::string frequency;
    if (_readSetting("Frequency", frequency) != 0) {
      KF_LOG_AT(ORVEL_LOG_ERROR, "get Frequency failed");
      frequency = "15";
    }
    char iniPath[512];
    std::snprintf(iniPath, sizeof iniPath, "%s\\config\\orvel.ini", m_home.c_str());
    ORVEL::ConfigFileOnDisk localIni(iniPath);
    std::string localFrequency;
    if (!localIni.m_readable) {
      KF_LOG_AT(ORVEL_LOG_ERROR, "Initialize configuration file failed: %s", iniPath);
    } else if (localIni.getparam("Update", "Frequency", localFrequency)) {
      KF_LOG_AT(ORVEL_LOG_DETAIL, "Get update frequency from orvel.ini: %s", localFrequency.c_str());
      frequency = localFrequency;
    }
    KF_LOG_AT(ORVEL_LOG_DETAIL, "Update Frequency: %s", frequency.c_str());

    if (int period = minutesPeriod(frequency)) {
      if (now.tm_min % period < 5) m_scheduleDue = true;
    } else {
      std::string hourText;
      std::string dayText;
      if (_readSetting("Hour", hourText) != 0) hourText = "2:00";
      if (_readSetting("DayOfWeek1", dayText) != 0) dayText = "0";
      const HourAndMinute at = splitHour(hourText);
      if (frequency == "Hourly") {
        m_scheduleDue = _checkScheduleMinutes(at.minute, now.tm_min) != 0;
        KF_LOG_AT(m_traceLevel, "leave function _setScheduleUpdate doUpdate[%d]", m_scheduleDue);
        return;
      }
      const bool dayMatches = frequency != "Weekly" || std::atoi(dayText.c_str()) == now.tm_wday;
      if (at.hour == now.tm_hour && dayMatches)
        m_scheduleDue = _checkScheduleMinutes(at.minute, now.tm_min) != 0;
    }
  }
  KF_LOG_AT(m_traceLevel, "leave function _setScheduleUpdate doUpdate[%d]", m_scheduleDue);
}
