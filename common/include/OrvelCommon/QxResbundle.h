// Localized message texts from ICU resource bundles.
//
// A resource group is a folder of compiled bundles, one per locale
// (<resource folder>/<group>/<locale>.res). A key is looked up in the bundle of
// the requested locale, then in its parents (ja_JP, ja) and finally in root.
// The machine's own default locale never takes part, so a product configured
// for English shows English whatever the environment of the process says.
// Texts are returned in UTF-8; formatting uses ICU MessageFormat patterns.
#pragma once

#include <unicode/fmtable.h>

#include <string>
#include <vector>

#pragma GCC visibility push(default)

namespace ORVEL {

class QxResbundle {
 public:
  QxResbundle();
  virtual ~QxResbundle();
  QxResbundle(const QxResbundle&) = delete;
  QxResbundle& operator=(const QxResbundle&) = delete;

  // The folder that holds the resource groups of the product home:
  // $ORVEL_HOME/resources/ (an empty text without ORVEL_HOME).
  static const char* GetResourceFileName();

  // Opens the group below the resource folder for the locale. False when no
  // bundle of the group can be opened at all (not even root).
  bool _init(const char* resourceFolder, const char* group, const char* locale);

  // Formats the text of key with the arguments. False when the key is missing
  // or the text is not a valid pattern; out is then left as it was.
  virtual bool format(const char* key, const std::vector<icu::Formattable>& args, std::string& out);
  virtual bool format(const char* key, const std::vector<std::string>& args, std::string& out);
  // The text of key as it stands. False when the key is missing.
  virtual bool lookup(const char* key, std::string& out);

 private:
  struct Bundles;
  Bundles* m_bundles;  // null until _init succeeded
  char* m_locale;      // the locale asked for, null until _init succeeded
};

}  // namespace ORVEL

#pragma GCC visibility pop
