#include "OrvelKF/KFNotifyUtil.h"

namespace ORVEL {

namespace {
constexpr const char* kComponentToken = "%UPDATECOMPONENT%";
constexpr const char* kVersionToken = "%DOWNLOADVERSION%";
constexpr const char* kResultToken = "%UPDATERESULT%";
constexpr const char* kErrorToken = "%UPDATEERROR%";
constexpr const char* kDateTimeToken = "%DATE&TIME%";
constexpr const char* kListSeparator = ", ";

void appendFilled(std::string& out, const std::string& filled) {
  out += "\r\n";
  out += filled;
}
}  // namespace

bool KFNotifyUtil::replaceToken(std::string& text, std::string token, const char* value) {
  if (!value || token.empty()) return false;
  const std::string replacement = value;
  bool replaced = false;
  for (std::size_t at = text.find(token); at != std::string::npos;
       at = text.find(token, at + replacement.size())) {
    text.replace(at, token.size(), replacement);
    replaced = true;
  }
  return replaced;
}

bool KFNotifyUtil::appendToken(std::string& text, std::string token, const char* value) {
  if (token.empty()) return false;
  std::size_t at = text.find(token);
  if (at == std::string::npos) return false;
  if (value) {
    text.replace(at, token.size(), std::string(value) + kListSeparator + token);
  } else if (at >= 2 && text.compare(at - 2, 2, kListSeparator) == 0) {
    text.erase(at - 2, token.size() + 2);
  } else {
    text.erase(at, token.size());
  }
  return false;
}

void KFNotifyUtil::addSchedKFMsg(std::string& out, std::string tmpl, const char* result,
                                 const char* component, const char* version, const char* error,
                                 const char* dateTime) {
  replaceToken(tmpl, kComponentToken, component);
  replaceToken(tmpl, kVersionToken, version);
  replaceToken(tmpl, kResultToken, result);
  replaceToken(tmpl, kErrorToken, error);
  replaceToken(tmpl, kDateTimeToken, dateTime);
  appendFilled(out, tmpl);
}

void KFNotifyUtil::addKFMonitorMsg(std::string& out, std::string tmpl, const char* component,
                                   const char* version, const char* error) {
  replaceToken(tmpl, kComponentToken, component);
  replaceToken(tmpl, kVersionToken, version);
  replaceToken(tmpl, kErrorToken, error);
  appendFilled(out, tmpl);
}

}  // namespace ORVEL
