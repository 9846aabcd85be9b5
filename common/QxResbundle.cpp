#include "OrvelCommon/QxResbundle.h"

#include <unicode/msgfmt.h>
#include <unicode/uloc.h>
#include <unicode/unistr.h>
#include <unicode/ures.h>

#include <cstdlib>
#include <cstring>
#include <memory>

#include "OrvelPlatform/Path.h"

namespace ORVEL {

namespace {

struct BundleCloser {
  void operator()(UResourceBundle* bundle) const { ures_close(bundle); }
};
using BundlePtr = std::unique_ptr<UResourceBundle, BundleCloser>;

// "ja_JP" gives ja_JP, ja, root.
std::vector<std::string> localeChain(const char* locale) {
  std::vector<std::string> chain;
  std::string current = locale ? locale : "";
  while (!current.empty() && current != "root") {
    chain.push_back(current);
    char parent[ULOC_FULLNAME_CAPACITY] = "";
    UErrorCode status = U_ZERO_ERROR;
    uloc_getParent(current.c_str(), parent, sizeof parent, &status);
    if (U_FAILURE(status)) break;
    current = parent;
  }
  chain.push_back("root");
  return chain;
}

std::string toUtf8(const icu::UnicodeString& text) {
  std::string out;
  text.toUTF8String(out);
  return out;
}

}  // namespace

struct QxResbundle::Bundles {
  std::vector<BundlePtr> chain;  // most specific first

  bool find(const char* key, icu::UnicodeString& text) const {
    if (!key) return false;
    for (const BundlePtr& bundle : chain) {
      UErrorCode status = U_ZERO_ERROR;
      int32_t length = 0;
      const UChar* value = ures_getStringByKey(bundle.get(), key, &length, &status);
      if (U_SUCCESS(status)) {
        text.setTo(value, length);
        return true;
      }
    }
    return false;
  }
};

QxResbundle::QxResbundle() : m_bundles(nullptr), m_locale(nullptr) {}

QxResbundle::~QxResbundle() {
  delete m_bundles;
  std::free(m_locale);
}

const char* QxResbundle::GetResourceFileName() {
  thread_local std::string folder;
  const char* home = std::getenv("ORVEL_HOME");
  folder = home && *home ? std::string(home) + "/resources/" : std::string();
  return folder.c_str();
}

bool QxResbundle::_init(const char* resourceFolder, const char* group, const char* locale) {
  if (!resourceFolder || !*resourceFolder || !group || !*group) return false;
  std::string package = OrvelPlatform::toOsPath(resourceFolder);
  if (package.back() != '/') package += '/';
  package += group;
  package += '/';

  auto bundles = std::make_unique<Bundles>();
  for (const std::string& name : localeChain(locale)) {
    UErrorCode status = U_ZERO_ERROR;
    // openDirect: the chain above replaces ICU's own fallback, which would
    // pass through the process's default locale.
    BundlePtr bundle(ures_openDirect(package.c_str(), name.c_str(), &status));
    if (U_SUCCESS(status) && bundle) bundles->chain.push_back(std::move(bundle));
  }
  if (bundles->chain.empty()) return false;

  delete m_bundles;
  m_bundles = bundles.release();
  std::free(m_locale);
  m_locale = strdup(locale ? locale : "");
  return true;
}

bool QxResbundle::format(const char* key, const std::vector<icu::Formattable>& args,
                         std::string& out) {
  icu::UnicodeString pattern;
  if (!m_bundles || !m_bundles->find(key, pattern)) return false;
  UErrorCode status = U_ZERO_ERROR;
  icu::MessageFormat formatter(pattern, icu::Locale(m_locale), status);
  if (U_FAILURE(status)) return false;
  icu::UnicodeString result;
  icu::FieldPosition ignore;
  formatter.format(args.data(), static_cast<int32_t>(args.size()), result, ignore, status);
  if (U_FAILURE(status)) return false;
  out = toUtf8(result);
  return true;
}

bool QxResbundle::format(const char* key, const std::vector<std::string>& args, std::string& out) {
  std::vector<icu::Formattable> formattables;
  formattables.reserve(args.size());
  for (const std::string& arg : args)
    formattables.emplace_back(icu::UnicodeString::fromUTF8(arg));
  return format(key, formattables, out);
}

bool QxResbundle::lookup(const char* key, std::string& out) {
  icu::UnicodeString text;
  if (!m_bundles || !m_bundles->find(key, text)) return false;
  out = toUtf8(text);
  return true;
}

}  // namespace ORVEL
