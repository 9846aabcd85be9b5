// Where a download comes from and how it gets there: the update server, its console credentials,
// the proxy and the user agent, written into the parameter block the update client is handed.
//
// Passwords are kept enciphered in the settings. Their plain text exists only in the parameter
// block and the console source, for the update client to use, and for a moment in the buffer
// that deciphers it, which is wiped before it goes; a plain password is never logged.
#include <openssl/crypto.h>

#include <cstring>

#include "OrvelCommon/BoundedCopy.h"
#include "OrvelCommon/PasswordCipher.h"
#include "OrvelKF/QxUpdate.h"
#include "QxUpdateInternal.h"
#include "QxUpdateTrace.h"

using ORVEL::Log;
using ORVEL::ORVEL_LOG_ERROR;

namespace {

// Configuration values of the product: the feeds an installation updates from unless the settings
// name others ("UpdateServer", "QXASEServerurl", "user_defined_update_server").
constexpr const char* kDefaultUpdateServer = "http://update.kitefeed.orvel.example/kitefeed";
constexpr const char* kDefaultAntispamServer = "http://antispam.kitefeed.orvel.example/kitefeed";
constexpr unsigned kDefaultPort = 80;
constexpr const char* kDefaultUserAgent = "Kelvo/1.0";
constexpr const char* kOwnSection = "Update";
constexpr const char* kConsoleSection = "hqagent";

// The proxy settings of the two modes: the console agent's and the product's own.
struct ProxyKeys {
  const char* section;
  const char* enable;
  const char* enabledValue;
  const char* type;
  const char* server;
  const char* port;
};
constexpr ProxyKeys kConsoleProxy = {kConsoleSection, "Proxy_Enable", "1",
                                     "Proxy_Type",    "Proxy_Server", "Proxy_Port"};
constexpr ProxyKeys kOwnProxy = {kOwnSection, "UseProxySetting", "yes",
                                 "ProxyType", "HTTPProxy",       "HTTPPort"};

// The plain text of a stored password, for as long as this object lives. A value that does not
// decipher gives "" (the cipher logs why, never the value).
class PlainPassword {
 public:
  explicit PlainPassword(const std::string& stored) {
    ORVEL::boundedCopy(m_buffer, sizeof m_buffer, stored.c_str());
    ORVEL::NewDecryptStr(m_buffer);
  }
  ~PlainPassword() { OPENSSL_cleanse(m_buffer, sizeof m_buffer); }
  PlainPassword(const PlainPassword&) = delete;
  PlainPassword& operator=(const PlainPassword&) = delete;
  const char* text() const { return m_buffer; }

 private:
  char m_buffer[ORVEL::kCipherBufferSize] = {};
};

template <std::size_t N>
void copyField(char (&field)[N], const std::string& text) {
  ORVEL::boundedCopy(field, N, text.c_str());
}

// A field that held a password is wiped whole first, so no tail of a longer earlier one stays.
template <std::size_t N>
void storePassword(char (&field)[N], const std::string& stored) {
  OPENSSL_cleanse(field, N);
  if (stored.empty()) return;
  PlainPassword plain(stored);
  ORVEL::boundedCopy(field, N, plain.text());
}

void storePassword(std::string& target, const std::string& stored) {
  OPENSSL_cleanse(&target[0], target.size());
  target.clear();
  if (stored.empty()) return;
  PlainPassword plain(stored);
  target = plain.text();
}

}  // namespace

int QxUpdate::_getUpdateServerInfo(std::string& msg, bool antispam) {
  KF_ENTER("_getUpdateServerInfo");
  (void)msg;  // missing settings take their defaults: nothing here fails
  if (m_source.inUse) {
    _getConsoleServerInfo();
  } else {
    _getOwnServerInfo(antispam);
  }
  KF_LEAVE("_getUpdateServerInfo");
  return 0;
}

void QxUpdate::_getConsoleServerInfo() {
  if (!m_source.server.empty()) copyField(m_para.szSource, m_source.server);
  if (m_source.port > 0) m_para.uiSourcePort = m_source.port;
  if (_readSetting("QXHQ_Username", m_source.user, kConsoleSection) != 0) m_source.user.clear();
  std::string stored;
  if (m_source.user.empty() || _readSetting("QXHQ_Password", stored, kConsoleSection) != 0)
    stored.clear();
  storePassword(m_source.password, stored);
  // Credentials go to the server as a pair or not at all; a password that does not decipher
  // counts as none.
  if (m_source.password.empty()) m_source.user.clear();
}

void QxUpdate::_getOwnServerInfo(bool antispam) {
  std::string value;
  if (_readSetting("DefaultServer", value) != 0) value = "yes";
  if (value != "yes") {
    if (_readSetting("user_defined_update_server", value) == 0) {
      copyField(m_para.szSource, value);
      Log::LogByLevel(KF_TRACE_LEVEL(m_traceLevel),
                      "QxUpdate::_getUpdateServerInfo another update url = %s", m_para.szSource);
    } else {
      copyField(m_para.szSource, kDefaultUpdateServer);
    }
  } else {
    if (antispam) {
      Log::LogByLevel(KF_TRACE_LEVEL(m_traceLevel),
                      "QxUpdate::_getUpdateServerInfo asking with update type QXASE");
    }
    const char* key = antispam ? "QXASEServerurl" : "UpdateServer";
    if (_readSetting(key, value) == 0) {
      copyField(m_para.szSource, value);
      Log::LogByLevel(KF_TRACE_LEVEL(m_traceLevel),
                      "QxUpdate::_getUpdateServerInfo update url = %s", m_para.szSource);
    } else {
      if (antispam) {
        Log::LogByLevel(ORVEL_LOG_ERROR,
                        "QxUpdate::_getUpdateServerInfo get QXASEServerurl value from db failed");
      }
      copyField(m_para.szSource, antispam ? kDefaultAntispamServer : kDefaultUpdateServer);
    }
  }
  m_para.uiSourcePort =
      _readSetting("UpdateServerPort", value) == 0 ? kfPortNumber(value) : kDefaultPort;
}

int QxUpdate::_getProxyInfo(std::string& msg) {
  KF_ENTER("_getProxyInfo");
  m_para.uiUpdateOption = QXU_OPTION_DEFAULT;
  const bool console = m_source.inUse;
  const ProxyKeys& keys = console ? kConsoleProxy : kOwnProxy;
  std::string value;
  const bool enabled =
      _readSetting(keys.enable, value, keys.section) == 0 && value == keys.enabledValue;
  m_para.uiProxyEnable = enabled ? 1 : 0;
  if (enabled && _getProxyServer(console, msg) != 0) return -1;
  copyField(m_para.szUserAgent,
            _readSetting("User_Agent", value) == 0 ? value : std::string(kDefaultUserAgent));
  KF_LEAVE("_getProxyInfo");
  return 0;
}

int QxUpdate::_getProxyServer(bool console, std::string& msg) {
  const ProxyKeys& keys = console ? kConsoleProxy : kOwnProxy;
  std::string value;
  if (_readSetting(keys.type, value, keys.section) == 0 && (value == "socks4" || value == "socks5"))
    m_para.uiUpdateOption |= QXU_OPTION_SOCKS_PROXY;
  // A host that is there but empty names no proxy either.
  if (_readSetting(keys.server, value, keys.section) != 0 || value.empty()) {
    std::string text;
    if (m_bundle) m_bundle->lookup("KF_READPROXY_ERR", text);
    msg += text;
    Log::LogByLevel(KF_TRACE_LEVEL(m_traceLevel), "QxUpdate::_getProxyInfo %s", text.c_str());
    return -1;
  }
  copyField(m_para.szProxy, value);
  m_para.uiProxyPort =
      _readSetting(keys.port, value, keys.section) == 0 ? kfPortNumber(value) : kDefaultPort;
  if (!console) return _getOwnProxyCredentials(msg);
  _getConsoleProxyCredentials();
  return 0;
}

void QxUpdate::_getConsoleProxyCredentials() {
  std::string value;
  if (_readSetting("Proxy_Username", value, kConsoleSection) != 0) value.clear();
  copyField(m_para.szProxyUser, value);
  if (_readSetting("Proxy_Password", value, kConsoleSection) != 0) value.clear();
  storePassword(m_para.szProxyPassword, value);
}

int QxUpdate::_getOwnProxyCredentials(std::string& msg) {
  std::string value;
  if (_readSetting("HTTPAuthorization", value) != 0) value.clear();
  const std::size_t colon = value.find(':');
  if (!value.empty() && colon == std::string::npos) {
    const std::string text = kfFormatWithText(m_bundle, "KF_READPROXYAUTH_ERR", value);
    msg += text;
    Log::LogByLevel(KF_TRACE_LEVEL(m_traceLevel), "QxUpdate::_getProxyInfo %s", text.c_str());
    return -1;
  }
  // Without the setting the proxy gets no credentials, not those of an earlier operation.
  copyField(m_para.szProxyUser, value.substr(0, colon));
  storePassword(m_para.szProxyPassword, colon == std::string::npos ? "" : value.substr(colon + 1));
  return 0;
}

void QxUpdate::_generateSrcInfo(SourceInfo& source) {
  static const char kEmpty[] = "";
  std::memset(&source, 0, sizeof source);
  source.source = m_para.szSource;
  source.user = m_source.inUse ? m_source.user.c_str() : kEmpty;
  source.password = m_source.inUse ? m_source.password.c_str() : kEmpty;
  source.proxy_user = m_para.szProxyUser;
  source.proxy_password = m_para.szProxyPassword;
  source.proxy = m_para.szProxy;
  source.proxy_enable = m_para.uiProxyEnable;
  source.proxy_port = m_para.uiProxyPort;
  source.uiRecordVersion = 1;
}

void QxUpdate::_generateDstInfo(DestInfo& dest, const char* folder) {
  static const char kEmpty[] = "";
  dest = DestInfo{folder, kEmpty, kEmpty, 0, 0};
}
