// Fetching one URL into a sink through libcurl: http, https (certificate and
// host checks always on, the system CA store plus an optional CA file) and
// file://; HTTP and SOCKS5 proxies with credentials; a connect time-out
// (QXU_E_CONNECT_TIMEOUT), a stall time-out measured from the last byte and a
// floor for the rate over a window (QXU_E_TRANSFER_TIMEOUT); retries that
// resume with a range request; and
// Retry-After answers honoured up to a cap, waiting through the platform clock.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "Settings.h"

typedef void CURL;
typedef void CURLM;

namespace QxuClient {

// Where to fetch from and through what, as the caller's source record says.
struct SourceSettings {
  std::string baseUrl;  // without trailing slashes
  unsigned port = 0;    // 0: the URL's own
  std::string user;
  std::string password;
  bool proxyEnabled = false;
  bool socks = false;
  std::string proxy;
  unsigned proxyPort = 0;
  std::string proxyUser;
  std::string proxyPassword;
};

// Receives the bytes of one fetch. Methods throw ClientError to stop it.
class TransferSink {
 public:
  virtual ~TransferSink() = default;
  virtual void write(const char* data, std::size_t size) = 0;
  // Bytes kept so far; a retry asks only for the rest.
  virtual std::uint64_t size() const = 0;
  // The server started over from byte 0: forget what was written.
  virtual void restart() = 0;
  // The server announced the whole length; a sink may refuse it at once.
  virtual void announceLength(std::uint64_t total) { (void)total; }
  // The length the sink expects (for progress), 0 when unknown.
  virtual std::uint64_t expectedSize() const { return 0; }
};

// false stops the transfer with QXU_E_CANCELLED.
using ProgressFn = std::function<bool(std::uint64_t done, std::uint64_t total)>;

struct FetchResult {
  bool notModified = false;  // 304 to a conditional request
  std::string etag;
};

class Transfer {
 public:
  Transfer(const Settings& settings, SourceSettings source, std::string caFile);
  ~Transfer();
  Transfer(const Transfer&) = delete;
  Transfer& operator=(const Transfer&) = delete;

  // The URL of a path below the source.
  std::string urlOf(const std::string& relativePath) const;

  // Fetches url into sink. ifNoneMatch, when not empty, makes the request
  // conditional. Throws ClientError.
  FetchResult fetch(const std::string& url, TransferSink& sink, const ProgressFn& progress,
                    const std::string& ifNoneMatch = "");

  // Body bytes received over every fetch so far.
  std::uint64_t bytesReceived() const { return m_bytesReceived; }

 private:
  struct Attempt;
  struct Outcome;

  Outcome attempt(const std::string& url, TransferSink& sink, const ProgressFn& progress,
                  const std::string& ifNoneMatch, std::uint64_t resumeFrom);
  void configure(Attempt& a, const std::string& url, std::uint64_t resumeFrom,
                 const std::string& ifNoneMatch);
  bool runUntilDone(Attempt& a, int* curlCode);
  // Sets a.stop when the stall time-out or the rate floor is crossed.
  void checkTimers(Attempt& a, std::chrono::steady_clock::time_point now) const;
  Outcome classify(Attempt& a, bool done, int curlCode, const std::string& url);
  void waitBeforeRetry(const Outcome& o, int attemptNumber);

  static std::size_t onHeader(char* data, std::size_t size, std::size_t count, void* user);
  static std::size_t onBody(char* data, std::size_t size, std::size_t count, void* user);

  Settings m_settings;
  SourceSettings m_source;
  std::string m_caFile;
  CURLM* m_multi = nullptr;
  CURL* m_easy = nullptr;
  std::uint64_t m_bytesReceived = 0;
};

// Checks the scheme of a source URL (QXU_E_BAD_URL otherwise) and returns it
// without trailing slashes, with "\" in file:// paths turned into "/".
std::string checkedSourceUrl(const char* url);

}  // namespace QxuClient
