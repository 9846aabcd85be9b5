// Creation and configuration of the update object.
#include <cstdio>
#include <cstdlib>

#include "OrvelCommon/QxDBScript.h"
#include "OrvelKF/QxUpdate.h"
#include "QxUpdateTrace.h"

using ORVEL::Log;
using ORVEL::ORVEL_LOG_ERROR;

QxUpdate* QxUpdate::_instance = nullptr;
std::string QxUpdate::_locale;
std::string QxUpdate::_timeformat;
std::string QxUpdate::m_cpntname[kfComponentCount];

namespace {
constexpr const char* kSettingsFile = "orvel.ini";
constexpr const char* kResourceGroup = "IDG_ORVEL_UTIL";
}  // namespace

QxUpdate* QxUpdate::Instance() {
  if (!_instance) _instance = new QxUpdate();
  return _instance;
}

QxUpdate* QxUpdate::Instance(QxUpdateKind kind) {
  if (!_instance) _instance = new QxUpdate(kind);
  return _instance;
}

QxUpdate::QxUpdate() : QxUpdate(MANUAL_UPDATE) {}

QxUpdate::QxUpdate(QxUpdateKind kind)
    : m_para(),
      m_bundle(nullptr),
      m_timeoutVirus(0),
      m_timeoutAntispam(0),
      m_source{false, "", 0, "", ""},
      m_incMerge(true),
      m_dbRowsLoaded(false),
      m_uploaded(false),
      m_ok(false),
      m_traceLevel(ORVEL::ORVEL_LOG_TRACE),
      m_kind(kind),
      m_scheduleDue(false),
      m_versionOnly(false),
      m_selected(),
      m_qxaseEngineUpToDate(false),
      m_qxasePatternUpToDate(false),
      m_qxasePatchUpToDate(false) {
  if (_init()) m_scheduleDue = false;
}

QxUpdate::~QxUpdate() { delete m_bundle; }

void QxUpdate::setType(QxUpdateKind kind) {
  m_kind = kind;
  m_scheduleDue = false;
}

int QxUpdate::_readSetting(const char* key, std::string& value, const char* section) {
  return m_settings.readSetting(key, value, section, kSettingsFile);
}

bool QxUpdate::_init() {
  m_ok = false;
  delete m_bundle;
  m_bundle = nullptr;
  m_traceLevel = ORVEL::ORVEL_LOG_TRACE;
  m_timeoutVirus = m_timeoutAntispam = 0;

  const char* home = std::getenv("ORVEL_HOME");
  if (!home) {
    std::fputs("Unable to get ORVEL_HOME\n", stdout);
    return false;
  }
  m_home = home;
  m_sep = "\\";
  m_binDir = m_home + m_sep + "bin";
  m_tempDir = m_home + m_sep + "temp" + m_sep + "kf";
  m_libDir = m_home + m_sep + "lib";
  m_ziranTempDir = m_tempDir + m_sep + "ziran";

  if (!ORVEL::QxDBScript::getInstance())
    ORVEL::QxDBScript::init((m_home + "\\sql\\mssql\\dbscript.conf").c_str());
  if (!ORVEL::QxDBScript::getInstance()) {
    std::fputs("Cannot get instance of QxDBScript.", stdout);
    return false;
  }

  for (bool& selected : m_selected) selected = false;
  m_qxaseEngineUpToDate = m_qxasePatternUpToDate = false;
  m_uploaded = m_dbRowsLoaded = false;
  m_incMerge = true;
  m_dbRows.reserve(kfComponentCount);

  if (!m_settings.Init(nullptr, nullptr, nullptr, nullptr)) {
    KF_LOG_AT(ORVEL_LOG_ERROR, "init GlobalSettingIF class failed");
    return false;
  }

  std::string value;
  if (_readSetting("Debug", value) == 0 && value == "on") m_traceLevel = ORVEL_LOG_ERROR;
  if (m_kind == SCHEDULED_UPDATE && _readSetting("DisableIncMerge", value) == 0 && value == "yes")
    m_incMerge = false;

  if (_locale.empty() && _readSetting("locale", _locale, "general") != 0) _locale = "en_US";
  Log::LogByLevel(KF_TRACE_LEVEL(m_traceLevel), "QxUpdate::_init: get locale setting: %s",
                  _locale.c_str());

  m_bundle = _newBundle(_locale);
  if (!m_bundle) {
    KF_LOG_AT(ORVEL_LOG_ERROR, "create QxResbundle instance failed");
    return false;
  }
  m_ok = true;
  return true;
}

ORVEL::QxResbundle* QxUpdate::_newBundle(const std::string& locale) {
  auto* bundle = new ORVEL::QxResbundle();
  if (bundle->_init(ORVEL::QxResbundle::GetResourceFileName(), kResourceGroup, locale.c_str()))
    return bundle;
  delete bundle;
  return nullptr;
}
