// Filling of notification templates: the product keeps templates with token
// placeholders and sends the filled texts to administrators after updates.
#pragma once

#include <string>

#pragma GCC visibility push(default)

namespace ORVEL {

class KFNotifyUtil {
 public:
  // Replaces every occurrence of token by value (not null). True when at
  // least one was replaced; the scan goes on after each inserted value, so a
  // value holding the token is not replaced again.
  static bool replaceToken(std::string& text, std::string token, const char* value);

  // Grows a list at the first occurrence of token: a value goes in front of
  // it as "value, token"; null closes the list, dropping the token and the
  // ", " before it. Always false.
  static bool appendToken(std::string& text, std::string token, const char* value);

  // Fills the template of a scheduled-update message and appends "\r\n" and it to out.
  static void addSchedKFMsg(std::string& out, std::string tmpl, const char* result,
                            const char* component, const char* version, const char* error,
                            const char* dateTime);
  // Fills the template of a monitor message and appends "\r\n" and it to out.
  static void addKFMonitorMsg(std::string& out, std::string tmpl, const char* component,
                              const char* version, const char* error);
};

}  // namespace ORVEL

#pragma GCC visibility pop
