// The properties of a download (user agent, time-outs, retries, caps) and the
// process-wide state of the client: the loader's folders, the defaults that
// new contexts start from, the contexts themselves and the last source used.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <set>
#include <string>

#include "OrvelKF/QxUpdateClient.h"

namespace QxuClient {

struct Settings {
  std::string userAgent = "QxUpdate/1.0";
  long connectTimeoutMs = 90000;  // "SocketTimeoutConnect"
  long stallTimeoutMs = 90000;    // "SocketTimeout"
  // "LowSpeedLimit" bytes/s over "LowSpeedTime": a modem-slow link passes,
  // a server dripping bytes to hold the client does not. 0 turns it off.
  std::uint64_t lowSpeedLimit = 1024;
  long lowSpeedTimeMs = 60000;
  int retryCount = 2;                      // "RetryCount"
  long retryAfterMaxSeconds = 300;         // "RetryAfterMax"
  int osCodePage = 0;                      // "OSCodePage": file names are UTF-8 here; kept only
  int msgCodePage = 0;                     // "MsgCodePage": 932 gives Japanese texts
  std::string caFile;                      // "CAFile": extra CA bundle; empty: the working folder's
  std::uint64_t indexMaxBytes = 4u << 20;  // "IndexMaxBytes"
  std::string feedName;                    // "FeedName": the feed the index must name; empty: any
};

// Sets one property; false when the name is unknown or the value unusable.
bool applyProperty(Settings* settings, const std::string& name, const std::string& value);
// Reads one property as text; false when the name is unknown.
bool readProperty(const Settings& settings, const std::string& name, std::string* value);

// What QxuCreateContext hands out.
struct Context {
  Settings settings;
  QxuErrorInfo lastError{};
  std::uint64_t lastBytesFetched = 0;
};

class ProcessState {
 public:
  static ProcessState& instance();

  bool setProperty(const std::string& name, const std::string& value);
  Settings defaults();

  std::string libraryFolder();
  // The working folder; empty when the loader has not set one.
  std::string workFolder();

  void setLastServer(const std::string& url);
  std::string lastServer();

  Context* createContext();
  bool releaseContext(void* handle);
  // The context behind a handle, or null when it was not made here.
  Context* findContext(void* handle);

 private:
  ProcessState() = default;

  std::mutex m_mutex;
  Settings m_defaults;
  std::string m_libraryFolder;
  std::string m_workFolder;
  std::string m_lastServer;
  std::set<Context*> m_contexts;
};

}  // namespace QxuClient
