// A product home for the update object: the database home of the database
// tests plus the compiled message texts, a log that keeps every level, and
// access to the object's private state.
#pragma once

#include <string>

#include "DbTestHome.h"
#include "OrvelKF/QxUpdate.h"

class QxUpdateTestAccess {
 public:
  static int traceLevel(const QxUpdate& u) { return u.m_traceLevel; }
  static bool incMerge(const QxUpdate& u) { return u.m_incMerge; }
  static bool scheduleDue(const QxUpdate& u) { return u.m_scheduleDue; }
  static void setScheduleDue(QxUpdate& u, bool due) { u.m_scheduleDue = due; }
  static void setUploaded(QxUpdate& u, bool uploaded) { u.m_uploaded = uploaded; }
  static bool uploaded(const QxUpdate& u) { return u.m_uploaded; }
  static void setSourceInUse(QxUpdate& u, bool inUse) { u.m_source.inUse = inUse; }
  static void setResultVersion(QxUpdate& u, int type, const std::string& v) { u.m_resultVersion[type] = v; }
  static void setRuleVersion(QxUpdate& u, unsigned rule) { u.m_para.stVersion[QXASE_PATCH].uiInternalVersion = rule; }
  static const std::string& tempDir(const QxUpdate& u) { return u.m_tempDir; }
  static const std::string& libDir(const QxUpdate& u) { return u.m_libDir; }
  static std::string downloadWhat(int type) { return QxUpdate::_getDownloadWhatMsg(type); }
  static long language(const std::string& name) { return QxUpdate::_getLanguage(name); }
  static void errString(std::string& out, ORVEL::QxResbundle* bundle, const char* key) {
    QxUpdate::_getErrString(out, bundle, key);
  }
  static bool reformat(QxUpdate& u, std::string& v) { return u._reformatVersion(v); }
  static void decideSchedule(QxUpdate& u) { u._setScheduleUpdate(); }
  static int checkMinutes(QxUpdate& u, int scheduled, int now) { return u._checkScheduleMinutes(scheduled, now); }
  static bool kfBlob(QxUpdate& u, QxUpdateType type, std::string& path, const std::string& version,
                     std::string& name) {
    return u._KFBlob(type, path, version, name);
  }
  // Forgets what a process keeps of the locale, titles and time format.
  static void forgetStatics() {
    QxUpdate::_locale.clear();
    QxUpdate::_timeformat.clear();
    for (std::string& title : QxUpdate::m_cpntname) title.clear();
  }
};

namespace OrvelUpdateTest {

// "type:version " of every component row of the central database, in type order.
std::string componentRows();

// Database home + resources + log at level 4, fresh statics.
class UpdateTest : public OrvelDbTest::DbTest {
 protected:
  void SetUp() override;
  void TearDown() override;

  // Writes a global setting (section "Update" unless given).
  void setting(const char* key, const char* value, const char* section = "Update");
  // Replaces the home's resource group by one compiled from root texts. ICU
  // keeps the bundles of a folder once opened: call it before any is opened.
  void useResources(const std::string& rootTexts);
};

}  // namespace OrvelUpdateTest
