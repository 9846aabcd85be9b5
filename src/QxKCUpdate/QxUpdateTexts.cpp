// Locale, localized titles and message texts of the update object.
#include <cstdlib>
#include <map>
#include <memory>

#include "OrvelCommon/GlobalSettingOnMem.h"
#include "OrvelKF/QxUpdate.h"
#include "OrvelPlatform/SystemError.h"
#include "QxUpdateTrace.h"
#include "VersionTokens.h"

using ORVEL::Log;
using ORVEL::ORVEL_LOG_ERROR;

namespace {
constexpr const char* kDefaultLocale = "en_US";
}

bool QxUpdate::getLocale(std::string& out) {
  if (!_locale.empty()) {
    out = _locale;
    return true;
  }
  const char* home = std::getenv("ORVEL_HOME");
  if (!home) {
    out = _locale = kDefaultLocale;
    return true;
  }
  const std::string iniPath = std::string(home) + "/config/orvel.ini";
  ORVEL::GlobalSettingOnMem* settings =
      ORVEL::GlobalSettingOnMem::Instance(iniPath.c_str(), true, nullptr, nullptr, nullptr, nullptr, true);
  std::string locale;
  if (!settings || !settings->m_ready) {
    Log::LogByLevel(ORVEL_LOG_ERROR, "QxUpdate::getLocale: get instance of GlobalSettingOnMem failed");
  } else if (settings->readSetting("locale", locale, "general", nullptr) != 0) {
    Log::LogByLevel(ORVEL_LOG_ERROR, "QxUpdate::getLocale: get [general][locale] from global setting failed");
  } else {
    out = _locale = locale;
    return true;
  }
  out = _locale = kDefaultLocale;
  return false;
}

long QxUpdate::_getLanguage(const std::string& name) {
  static const std::map<std::string, long> bits = {
      {"LANGUAGE_ENU", 1},  {"LANGUAGE_CHT", 2},   {"LANGUAGE_JPN", 4},   {"LANGUAGE_CHS", 8},
      {"LANGUAGE_KOR", 16}, {"LANGUAGE_DEU", 32},  {"LANGUAGE_FRA", 64},  {"LANGUAGE_ESP", 128},
      {"LANGUAGE_PTG", 256}, {"LANGUAGE_ITA", 512},
  };
  auto found = bits.find(name);
  return found == bits.end() ? 1 : found->second;
}

bool QxUpdate::setLocalCpntTitle() {
  bool result = true;
  std::string locale;
  if (_locale.empty()) getLocale(locale);
  std::unique_ptr<ORVEL::QxResbundle> bundle(_newBundle(_locale));
  for (int type = 0; type < kfComponentCount; ++type) {
    if (bundle && bundle->lookup(kfCpntTitleKey[type], m_cpntname[type])) continue;
    Log::LogByLevel(ORVEL_LOG_ERROR,
                    "QxUpdate::setLocalCpntTitle: retrieve string %s from resource file failed",
                    kfCpntTitleKey[type]);
    m_cpntname[type] = kfCpntPlainTitle[type];
    result = false;
  }
  return result;
}

bool QxUpdate::getLocalTimeFormat(std::string& out) {
  if (!_timeformat.empty()) {
    out = _timeformat;
    return true;
  }
  std::string locale;
  if (_locale.empty()) getLocale(locale);
  std::unique_ptr<ORVEL::QxResbundle> bundle(_newBundle(_locale));
  std::string format;
  if (bundle && bundle->lookup("KF_NOTIFY_TIMEFORMAT", format) && !format.empty()) {
    out = _timeformat = format;
    return true;
  }
  Log::LogByLevel(ORVEL_LOG_ERROR, "QxUpdate::getLocalTimeFormat: retrieve string from resource file failed");
  out = _locale == "ja" ? "%Y/%m/%d %T" : "%m/%d/%Y %r";
  return false;
}

void QxUpdate::_getErrString(std::string& out, ORVEL::QxResbundle* bundle, const char* key) {
  // Taken first: everything below may change the thread's last error.
  const int lastError = OrvelPlatform::lastError();
  std::string systemText;
  if (!key) {
    key = "KF_VERIFY_ERR";
    if (lastError != 0) systemText = OrvelPlatform::errorText(lastError);
  }
  std::unique_ptr<ORVEL::QxResbundle> temporary;
  if (!bundle) {
    std::string locale;
    if (_locale.empty()) getLocale(locale);
    temporary.reset(_newBundle(_locale));
    bundle = temporary.get();
  }
  std::string text;
  if (bundle) bundle->format(key, std::vector<icu::Formattable>{icu::Formattable(0)}, text);
  if (!text.empty()) out += text;
  Log::LogByLevel(ORVEL_LOG_ERROR, "QxUpdate::_getErrString %s%s", text.c_str(), systemText.c_str());
}

std::string QxUpdate::_getDownloadWhatMsg(int type) {
  return kfIsKnownType(type) ? kfDownloadWhat[type] : kfUnknownDownloadWhat;
}

bool QxUpdate::_reformatVersion(std::string& version) {
  if (kfReformatEngineVersion(version)) return true;
  Log::LogByLevel(KF_TRACE_LEVEL(m_traceLevel), "QxUpdate::reformatVersion: detect unexpected version format!");
  return false;
}
