#include "FaultServer.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <stdexcept>

#include "TempDir.h"

namespace ClientTest {

namespace {

int listenOnLoopback(int backlog, int* port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) throw std::runtime_error("socket failed");
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      ::listen(fd, backlog) != 0 ||
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    ::close(fd);
    throw std::runtime_error("cannot listen on loopback");
  }
  *port = ntohs(address.sin_port);
  return fd;
}

bool sendAll(int fd, const char* data, std::size_t size) {
  while (size > 0) {
    const ssize_t n = ::send(fd, data, size, MSG_NOSIGNAL);
    if (n <= 0) return false;
    data += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

std::string readHead(int fd) {
  std::string head;
  char c;
  while (head.size() < 16384 && head.find("\r\n\r\n") == std::string::npos) {
    if (::recv(fd, &c, 1, 0) != 1) break;
    head += c;
  }
  return head;
}

std::string headerOf(const std::string& head, const std::string& name) {
  const std::string key = "\r\n" + name + ": ";
  const std::size_t at = head.find(key);
  if (at == std::string::npos) return "";
  const std::size_t start = at + key.size();
  return head.substr(start, head.find("\r\n", start) - start);
}

}  // namespace

FaultServer::FaultServer(std::string root) : m_root(std::move(root)) {
  m_listen = listenOnLoopback(16, &m_port);
  if (::pipe2(m_wake, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
  m_thread = std::thread([this] { serve(); });
}

FaultServer::~FaultServer() {
  (void)!::write(m_wake[1], "x", 1);
  m_thread.join();
  ::close(m_listen);
  ::close(m_wake[0]);
  ::close(m_wake[1]);
}

std::string FaultServer::url(const std::string& path) const {
  return "http://127.0.0.1:" + std::to_string(m_port) + path;
}

void FaultServer::cutShort(const std::string& path, std::size_t bytes, int times) {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_cuts[path] = {bytes, times};
}

void FaultServer::drip(const std::string& path, int intervalMs) {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_drips[path] = intervalMs;
}

bool FaultServer::sendSlowly(int fd, const char* data, std::size_t size, int intervalMs) {
  for (std::size_t i = 0; i < size; ++i) {
    if (!sendAll(fd, data + i, 1)) return false;
    pollfd wake{m_wake[0], POLLIN, 0};
    if (::poll(&wake, 1, intervalMs) != 0) return false;
  }
  return true;
}

std::vector<std::string> FaultServer::requests() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_requests;
}

void FaultServer::serve() {
  while (true) {
    pollfd fds[2] = {{m_listen, POLLIN, 0}, {m_wake[0], POLLIN, 0}};
    if (::poll(fds, 2, -1) < 0) continue;
    if (fds[1].revents) return;
    const int fd = ::accept4(m_listen, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) continue;
    answer(fd);
    ::close(fd);
  }
}

void FaultServer::answer(int fd) {
  const std::string head = readHead(fd);
  const std::size_t space = head.find(' ');
  const std::string path = space == std::string::npos
                               ? ""
                               : head.substr(space + 1, head.find(' ', space + 1) - space - 1);
  std::size_t cut = std::string::npos;
  int dripMs = 0;
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_requests.push_back(head);
    auto drip = m_drips.find(path);
    if (drip != m_drips.end()) dripMs = drip->second;
    auto it = m_cuts.find(path);
    if (it != m_cuts.end() && it->second.second > 0) {
      cut = it->second.first;
      --it->second.second;
    }
  }
  std::string body;
  if (path.find("..") != std::string::npos || !OrvelTest::fileExists(m_root + path)) {
    const std::string reply =
        "HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";
    sendAll(fd, reply.data(), reply.size());
    return;
  }
  body = OrvelTest::readFile(m_root + path);
  std::size_t from = 0;
  const std::string range = headerOf(head, "Range");
  std::string status = "200 OK", extra;
  if (!m_ignoreRanges && range.rfind("bytes=", 0) == 0) {
    from = std::stoul(range.substr(6));
    status = "206 Partial Content";
    extra = "Content-Range: bytes " + std::to_string(from) + "-" + std::to_string(body.size() - 1) +
            "/" + std::to_string(body.size()) + "\r\n";
  }
  const std::size_t length = body.size() - from;
  const std::string reply = "HTTP/1.1 " + status + "\r\nContent-Length: " + std::to_string(length) +
                            "\r\nAccept-Ranges: bytes\r\n" + extra + "Connection: close\r\n\r\n";
  if (!sendAll(fd, reply.data(), reply.size())) return;
  if (dripMs > 0)
    sendSlowly(fd, body.data() + from, std::min(length, cut), dripMs);
  else
    sendAll(fd, body.data() + from, std::min(length, cut));
}

SilentServer::SilentServer() { m_listen = listenOnLoopback(64, &m_port); }

SilentServer::~SilentServer() { ::close(m_listen); }

int closedPort() {
  int port = 0;
  const int fd = listenOnLoopback(1, &port);
  ::close(fd);
  return port;
}

}  // namespace ClientTest
