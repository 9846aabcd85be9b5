#include "Transfer.h"

#include <curl/curl.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <mutex>
#include <optional>

#include "ClientError.h"
#include "OrvelKF/QxUpdateClient.h"
#include "OrvelPlatform/Clock.h"
#include "OrvelPlatform/Path.h"

namespace QxuClient {

namespace {

using SteadyClock = std::chrono::steady_clock;

// Large reads cut the system calls per byte, which is most of the CPU time of a
// loopback transfer.
constexpr long kBufferSize = 4 * 1024 * 1024;
constexpr long kPollMilliseconds = 50;
constexpr unsigned kMaxBackoffMilliseconds = 8000;
constexpr const char* kSystemCaPath = "/etc/ssl/certs";

struct SlistFree {
  void operator()(curl_slist* list) const { curl_slist_free_all(list); }
};

// libcurl's global set-up runs once per process and is undone when the
// client is unloaded.
struct CurlGlobal {
  CurlGlobal() { curl_global_init(CURL_GLOBAL_DEFAULT); }
  ~CurlGlobal() { curl_global_cleanup(); }
};
void ensureCurlGlobal() { static CurlGlobal global; }

bool startsWithNoCase(const std::string& text, const char* prefix) {
  const std::size_t n = std::strlen(prefix);
  return text.size() >= n && strncasecmp(text.c_str(), prefix, n) == 0;
}

std::string headerValue(const std::string& line, const char* name) {
  const std::size_t n = std::strlen(name);
  if (line.size() <= n || strncasecmp(line.c_str(), name, n) != 0 || line[n] != ':') return "";
  std::string value = line.substr(n + 1);
  value.erase(0, value.find_first_not_of(" \t"));
  value.erase(value.find_last_not_of(" \t\r\n") + 1);
  return value;
}

// Retry-After as seconds from now: delta-seconds or an HTTP date.
std::optional<long> retryAfterSeconds(const std::string& value) {
  if (value.empty()) return std::nullopt;
  if (std::all_of(value.begin(), value.end(), [](char c) { return c >= '0' && c <= '9'; }))
    return value.size() > 9 ? 999999999L : std::stol(value);
  const time_t when = curl_getdate(value.c_str(), nullptr);
  if (when < 0) return std::nullopt;
  const long delta = static_cast<long>(when - OrvelPlatform::clock().now());
  return std::max(0L, delta);
}

bool retriableStatus(long status) {
  return status == 408 || status == 429 || status == 500 || status == 502 || status == 503 ||
         status == 504;
}

std::string escapeSpaces(const std::string& url) {
  std::string out;
  for (char c : url) out += c == ' ' ? std::string("%20") : std::string(1, c);
  return out;
}

}  // namespace

// State of one request, shared with the libcurl callbacks.
struct Transfer::Attempt {
  Transfer* transfer = nullptr;
  TransferSink* sink = nullptr;
  const ProgressFn* progress = nullptr;
  std::uint64_t resumeFrom = 0;
  long status = 0;
  std::string retryAfter;
  std::string etag;
  std::string location;  // of a redirect
  bool bodyStarted = false;
  bool errorStatus = false;
  std::optional<ClientError> stop;  // why a callback stopped the transfer
  SteadyClock::time_point lastActivity = SteadyClock::now();
  bool connected = false;
  std::uint64_t received = 0;  // header and body bytes
  // The window of the rate floor: when it began, and the bytes by then.
  SteadyClock::time_point windowStart;
  std::uint64_t receivedAtWindowStart = 0;
  std::unique_ptr<curl_slist, SlistFree> headers;
};

struct Transfer::Outcome {
  bool ok = false;
  bool retriable = false;
  bool rangeRefused = false;
  std::optional<long> retryAfter;
  std::optional<ClientError> error;
  FetchResult result;
};

std::string checkedSourceUrl(const char* url) {
  const std::string text = url ? url : "";
  std::string out;
  if (startsWithNoCase(text, "file://")) {
    out = "file://" + OrvelPlatform::toOsPath(text.substr(7));
  } else if (startsWithNoCase(text, "http://") || startsWithNoCase(text, "https://")) {
    out = text;
  } else {
    fail(QXU_E_BAD_URL, "The source \"" + text.substr(0, 200) +
                            "\" does not begin with http://, https:// or file://.");
  }
  while (out.size() > 1 && out.back() == '/') out.pop_back();
  return out;
}

Transfer::Transfer(const Settings& settings, SourceSettings source, std::string caFile)
    : m_settings(settings), m_source(std::move(source)), m_caFile(std::move(caFile)) {
  ensureCurlGlobal();
  m_multi = curl_multi_init();
  m_easy = curl_easy_init();
  if (!m_multi || !m_easy) {
    if (m_easy) curl_easy_cleanup(m_easy);
    if (m_multi) curl_multi_cleanup(m_multi);
    throw std::bad_alloc();
  }
}

Transfer::~Transfer() {
  curl_easy_cleanup(m_easy);
  curl_multi_cleanup(m_multi);
}

std::string Transfer::urlOf(const std::string& relativePath) const {
  return escapeSpaces(m_source.baseUrl + "/" + relativePath);
}

FetchResult Transfer::fetch(const std::string& url, TransferSink& sink, const ProgressFn& progress,
                            const std::string& ifNoneMatch) {
  bool startedOver = false;
  for (int number = 0;; ++number) {
    Outcome o = attempt(url, sink, progress, ifNoneMatch, sink.size());
    if (o.ok) return o.result;
    if (o.rangeRefused && !startedOver) {
      // The source cannot continue where the last attempt stopped: start
      // over at once; that is not another failure.
      startedOver = true;
      sink.restart();
      --number;
      continue;
    }
    if (!o.retriable || number >= m_settings.retryCount) throw *o.error;
    waitBeforeRetry(o, number);
  }
}

void Transfer::waitBeforeRetry(const Outcome& o, int attemptNumber) {
  if (o.retryAfter) {
    if (*o.retryAfter > m_settings.retryAfterMaxSeconds)
      throw ClientError(o.error->result(), o.error->detail() & 0xFFFF,
                        o.error->text() + " The server asked to retry after " +
                            std::to_string(*o.retryAfter) + " s, more than the allowed " +
                            std::to_string(m_settings.retryAfterMaxSeconds) + " s.");
    OrvelPlatform::clock().sleepMilliseconds(static_cast<unsigned>(*o.retryAfter) * 1000u);
    return;
  }
  const unsigned backoff = std::min(kMaxBackoffMilliseconds, 500u << std::min(attemptNumber, 4));
  OrvelPlatform::clock().sleepMilliseconds(backoff);
}

Transfer::Outcome Transfer::attempt(const std::string& url, TransferSink& sink,
                                    const ProgressFn& progress, const std::string& ifNoneMatch,
                                    std::uint64_t resumeFrom) {
  Attempt a;
  a.transfer = this;
  a.sink = &sink;
  a.progress = &progress;
  a.resumeFrom = resumeFrom;
  configure(a, url, resumeFrom, ifNoneMatch);
  int curlCode = CURLE_OK;
  const bool done = runUntilDone(a, &curlCode);
  return classify(a, done, curlCode, url);
}

void Transfer::configure(Attempt& a, const std::string& url, std::uint64_t resumeFrom,
                         const std::string& ifNoneMatch) {
  CURL* e = m_easy;
  curl_easy_reset(e);
  curl_easy_setopt(e, CURLOPT_URL, url.c_str());
  curl_easy_setopt(e, CURLOPT_PROTOCOLS_STR, "http,https,file");
  // Once on TLS, a transfer stays on it: the item list, server and proxy
  // credentials never travel in clear because a server said so.
  curl_easy_setopt(e, CURLOPT_REDIR_PROTOCOLS_STR,
                   startsWithNoCase(url, "https://") ? "https" : "http,https");
  curl_easy_setopt(e, CURLOPT_FOLLOWLOCATION, 1L);
  curl_easy_setopt(e, CURLOPT_MAXREDIRS, 5L);
  curl_easy_setopt(e, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(e, CURLOPT_USERAGENT, m_settings.userAgent.c_str());
  curl_easy_setopt(e, CURLOPT_CONNECTTIMEOUT_MS, m_settings.connectTimeoutMs);
  curl_easy_setopt(e, CURLOPT_BUFFERSIZE, kBufferSize);
  curl_easy_setopt(e, CURLOPT_HEADERFUNCTION, &Transfer::onHeader);
  curl_easy_setopt(e, CURLOPT_HEADERDATA, &a);
  curl_easy_setopt(e, CURLOPT_WRITEFUNCTION, &Transfer::onBody);
  curl_easy_setopt(e, CURLOPT_WRITEDATA, &a);
  curl_easy_setopt(e, CURLOPT_SSL_VERIFYPEER, 1L);
  curl_easy_setopt(e, CURLOPT_SSL_VERIFYHOST, 2L);
  if (!m_caFile.empty()) {
    curl_easy_setopt(e, CURLOPT_CAINFO, m_caFile.c_str());
    curl_easy_setopt(e, CURLOPT_CAPATH, kSystemCaPath);
  }
  if (m_source.port != 0) curl_easy_setopt(e, CURLOPT_PORT, static_cast<long>(m_source.port));
  if (!m_source.user.empty()) {
    curl_easy_setopt(e, CURLOPT_USERNAME, m_source.user.c_str());
    curl_easy_setopt(e, CURLOPT_PASSWORD, m_source.password.c_str());
    curl_easy_setopt(e, CURLOPT_HTTPAUTH, CURLAUTH_BASIC);
  }
  // The source record alone decides about proxies: the environment's
  // http_proxy and no_proxy are ignored.
  curl_easy_setopt(e, CURLOPT_NOPROXY, "");
  if (m_source.proxyEnabled && !m_source.proxy.empty()) {
    curl_easy_setopt(e, CURLOPT_PROXY, m_source.proxy.c_str());
    curl_easy_setopt(e, CURLOPT_PROXYTYPE,
                     m_source.socks ? CURLPROXY_SOCKS5_HOSTNAME : CURLPROXY_HTTP);
    const long port = m_source.proxyPort != 0 ? m_source.proxyPort : (m_source.socks ? 1080 : 80);
    curl_easy_setopt(e, CURLOPT_PROXYPORT, port);
    if (!m_source.proxyUser.empty()) {
      curl_easy_setopt(e, CURLOPT_PROXYUSERNAME, m_source.proxyUser.c_str());
      curl_easy_setopt(e, CURLOPT_PROXYPASSWORD, m_source.proxyPassword.c_str());
    }
  } else {
    curl_easy_setopt(e, CURLOPT_PROXY, "");
  }
  if (resumeFrom > 0)
    curl_easy_setopt(e, CURLOPT_RESUME_FROM_LARGE, static_cast<curl_off_t>(resumeFrom));
  if (!ifNoneMatch.empty()) {
    a.headers.reset(curl_slist_append(nullptr, ("If-None-Match: " + ifNoneMatch).c_str()));
    curl_easy_setopt(e, CURLOPT_HTTPHEADER, a.headers.get());
  }
}

bool Transfer::runUntilDone(Attempt& a, int* curlCode) {
  if (curl_multi_add_handle(m_multi, m_easy) != CURLM_OK) throw std::bad_alloc();
  bool done = false;
  while (!done) {
    int running = 0;
    if (curl_multi_perform(m_multi, &running) != CURLM_OK) break;
    int queued = 0;
    while (CURLMsg* msg = curl_multi_info_read(m_multi, &queued)) {
      if (msg->msg == CURLMSG_DONE) {
        *curlCode = msg->data.result;
        done = true;
      }
    }
    if (done || a.stop) break;
    // The stall clock and the rate window start once the connection (and any
    // proxy or TLS handshake) is up; before that the connect time-out applies.
    curl_off_t pretransfer = 0;
    curl_easy_getinfo(m_easy, CURLINFO_PRETRANSFER_TIME_T, &pretransfer);
    const auto now = SteadyClock::now();
    if (pretransfer > 0 && !a.connected) {
      a.connected = true;
      a.lastActivity = a.windowStart = now;
      a.receivedAtWindowStart = a.received;
    }
    if (a.connected) checkTimers(a, now);
    if (a.stop) break;
    curl_multi_poll(m_multi, nullptr, 0, kPollMilliseconds, nullptr);
  }
  curl_multi_remove_handle(m_multi, m_easy);
  return done;
}

void Transfer::checkTimers(Attempt& a, SteadyClock::time_point now) const {
  if (now - a.lastActivity > std::chrono::milliseconds(m_settings.stallTimeoutMs)) {
    a.stop.emplace(QXU_E_TRANSFER_TIMEOUT, 0,
                   "No data arrived for " + std::to_string(m_settings.stallTimeoutMs) + " ms.");
    return;
  }
  const auto elapsed =
      std::chrono::duration_cast<std::chrono::milliseconds>(now - a.windowStart).count();
  if (m_settings.lowSpeedLimit == 0 || elapsed < m_settings.lowSpeedTimeMs) return;
  const std::uint64_t bytes = a.received - a.receivedAtWindowStart;
  a.windowStart = now;
  a.receivedAtWindowStart = a.received;
  // A window without a single byte is the stall time-out's to judge: an
  // administrator may allow long pauses on a link that then runs at speed.
  if (bytes == 0 || bytes * 1000 >= m_settings.lowSpeedLimit * static_cast<std::uint64_t>(elapsed))
    return;
  a.stop.emplace(QXU_E_TRANSFER_TIMEOUT, 0,
                 "The transfer ran below the floor of " + std::to_string(m_settings.lowSpeedLimit) +
                     " bytes/s: " + std::to_string(bytes) + " bytes in " + std::to_string(elapsed) +
                     " ms.");
}

std::size_t Transfer::onHeader(char* data, std::size_t size, std::size_t count, void* user) {
  auto& a = *static_cast<Attempt*>(user);
  const std::string line(data, size * count);
  a.lastActivity = SteadyClock::now();
  a.received += line.size();
  if (line.compare(0, 5, "HTTP/") == 0) {
    // Each response (a proxy's CONNECT answer, a redirect) starts afresh.
    const std::size_t space = line.find(' ');
    a.status = space == std::string::npos ? 0 : std::atol(line.c_str() + space + 1);
    a.retryAfter.clear();
    a.etag.clear();
    a.location.clear();
    return size * count;
  }
  std::string value = headerValue(line, "Retry-After");
  if (!value.empty()) a.retryAfter = value;
  value = headerValue(line, "ETag");
  if (!value.empty()) a.etag = value;
  value = headerValue(line, "Location");
  if (!value.empty()) a.location = value;
  return size * count;
}

std::size_t Transfer::onBody(char* data, std::size_t size, std::size_t count, void* user) {
  auto& a = *static_cast<Attempt*>(user);
  const std::size_t n = size * count;
  a.lastActivity = SteadyClock::now();
  a.received += n;
  if (a.status >= 300) {
    // An error page is not the file; stop at once and report the status.
    a.errorStatus = true;
    return 0;
  }
  try {
    if (!a.bodyStarted) {
      a.bodyStarted = true;
      // A server that ignores the range sends the whole file again.
      if (a.resumeFrom > 0 && a.status != 206 && a.status != 0) a.sink->restart();
      curl_off_t length = -1;
      curl_easy_getinfo(a.transfer->m_easy, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &length);
      if (length >= 0) a.sink->announceLength(a.sink->size() + static_cast<std::uint64_t>(length));
    }
    a.sink->write(data, n);
    a.transfer->m_bytesReceived += n;
    if (*a.progress && !(*a.progress)(a.sink->size(), a.sink->expectedSize())) {
      a.stop.emplace(QXU_E_CANCELLED, 0, "The progress callback cancelled the update.");
      return 0;
    }
  } catch (const ClientError& e) {
    a.stop = e;
    return 0;
  }
  return n;
}

Transfer::Outcome Transfer::classify(Attempt& a, bool done, int curlCode, const std::string& url) {
  Outcome o;
  if (a.stop) {
    o.error = a.stop;
    o.retriable = a.stop->result() == QXU_E_TRANSFER_TIMEOUT;
    return o;
  }
  long connectCode = 0;
  curl_easy_getinfo(m_easy, CURLINFO_HTTP_CONNECTCODE, &connectCode);
  const auto code = static_cast<CURLcode>(curlCode);
  const std::string where = " (" + url + ")";
  const std::string curlText = std::string(": ") + curl_easy_strerror(code) + where;
  // tinyproxy 1.11 answers wrong proxy credentials with 401 instead of 407.
  // Through a proxy that was given credentials, a 401 to a request that
  // carried no server credentials can only be the proxy's.
  const bool proxyRefused401 = a.status == 401 && m_source.proxyEnabled && !m_source.socks &&
                               !m_source.proxyUser.empty() && m_source.user.empty();
  if (a.status == 407 || connectCode == 407 || connectCode == 401 || proxyRefused401) {
    o.error.emplace(QXU_E_PROXY_AUTH, static_cast<unsigned>(connectCode ? connectCode : a.status),
                    "The proxy refused the credentials (HTTP " +
                        std::to_string(connectCode ? connectCode : a.status) + ")" + where);
    return o;
  }
  if (a.errorStatus || (done && code == CURLE_OK && a.status >= 400)) {
    const long status = a.status;
    o.error.emplace(QXU_E_HTTP_STATUS, static_cast<unsigned>(status),
                    "The server answered HTTP " + std::to_string(status) + where);
    o.retriable = retriableStatus(status);
    o.retryAfter = retryAfterSeconds(a.retryAfter);
    return o;
  }
  if (!done) {
    o.error.emplace(QXU_E_INTERNAL, 0, "The transfer engine failed" + where);
    return o;
  }
  const unsigned particular = static_cast<unsigned>(code);
  switch (code) {
    case CURLE_OK:
      o.ok = true;
      o.result.notModified = a.status == 304;
      o.result.etag = a.etag;
      return o;
    case CURLE_UNSUPPORTED_PROTOCOL:
      if (a.status >= 300 && a.status < 400 && startsWithNoCase(url, "https://")) {
        // A redirect from https may only lead to https (configure).
        o.error.emplace(QXU_E_TLS, particular,
                        "Refused the redirect from https to " + a.location + where);
        return o;
      }
      [[fallthrough]];
    case CURLE_URL_MALFORMAT:
      o.error.emplace(QXU_E_BAD_URL, particular, "The URL cannot be used" + curlText);
      return o;
    case CURLE_COULDNT_RESOLVE_HOST:
    case CURLE_COULDNT_CONNECT:
      // Through a proxy, the connection that failed is the one to the proxy.
      if (m_source.proxyEnabled && !m_source.proxy.empty())
        o.error.emplace(QXU_E_PROXY, particular, "Cannot connect to the proxy" + curlText);
      else
        o.error.emplace(QXU_E_CONNECT, particular, "Cannot connect" + curlText);
      o.retriable = true;
      return o;
    case CURLE_COULDNT_RESOLVE_PROXY:
      o.error.emplace(QXU_E_PROXY, particular, "Cannot reach the proxy" + curlText);
      o.retriable = true;
      return o;
    case CURLE_PROXY: {
      long proxyError = 0;
      curl_easy_getinfo(m_easy, CURLINFO_PROXY_ERROR, &proxyError);
      if (proxyError == CURLPX_USER_REJECTED || proxyError == CURLPX_NO_AUTH ||
          proxyError == CURLPX_SEND_AUTH)
        o.error.emplace(QXU_E_PROXY_AUTH, particular,
                        "The proxy refused the credentials" + curlText);
      else
        o.error.emplace(QXU_E_PROXY, particular, "The proxy failed the request" + curlText);
      return o;
    }
    case CURLE_OPERATION_TIMEDOUT:
      // The only libcurl time limit set is the connect time-out; stalls
      // are caught by the loop above.
      o.error.emplace(
          QXU_E_CONNECT_TIMEOUT, particular,
          "No connection within " + std::to_string(m_settings.connectTimeoutMs) + " ms" + where);
      o.retriable = true;
      return o;
    case CURLE_SSL_CONNECT_ERROR:
    case CURLE_PEER_FAILED_VERIFICATION:
    case CURLE_SSL_CERTPROBLEM:
    case CURLE_SSL_CIPHER:
    case CURLE_SSL_CACERT_BADFILE:
    case CURLE_SSL_ISSUER_ERROR:
    case CURLE_SSL_PINNEDPUBKEYNOTMATCH:
    case CURLE_SSL_INVALIDCERTSTATUS:
      o.error.emplace(QXU_E_TLS, particular, "The secure connection failed" + curlText);
      return o;
    case CURLE_FILE_COULDNT_READ_FILE:
    case CURLE_REMOTE_FILE_NOT_FOUND:
      o.error.emplace(QXU_E_HTTP_STATUS, 404, "The file was not found" + where);
      return o;
    case CURLE_RANGE_ERROR:
    case CURLE_BAD_DOWNLOAD_RESUME:
      o.error.emplace(QXU_E_TRANSFER, particular, "The transfer cannot be resumed" + curlText);
      o.rangeRefused = a.resumeFrom > 0;
      o.retriable = true;
      return o;
    case CURLE_RECV_ERROR:
      if (connectCode >= 400) {
        o.error.emplace(
            QXU_E_PROXY, static_cast<unsigned>(connectCode),
            "The proxy refused the tunnel with HTTP " + std::to_string(connectCode) + where);
        return o;
      }
      [[fallthrough]];
    default:
      o.error.emplace(QXU_E_TRANSFER, particular, "The transfer failed" + curlText);
      o.retriable = true;
      return o;
  }
}

}  // namespace QxuClient
