#include "FaultServer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

#include "TempDir.h"

namespace ClientTest {

int listenOnLoopback(int* port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      ::listen(fd, 16) != 0 ||
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0)
    throw std::runtime_error("cannot listen on loopback");
  *port = ntohs(address.sin_port);
  return fd;
}

namespace {

bool sendAll(int fd, const char* data, std::size_t size) {
  for (ssize_t n = 0; size > 0; data += n, size -= static_cast<std::size_t>(n))
    if ((n = ::send(fd, data, size, MSG_NOSIGNAL)) <= 0) return false;
  return true;
}

std::string readHead(int fd) {
  std::string head;
  char c;
  while (head.size() < 16384 && head.find("\r\n\r\n") == std::string::npos &&
         ::recv(fd, &c, 1, 0) == 1)
    head += c;
  return head;
}

// The value of a header, or "".
std::string headerOf(const std::string& head, const std::string& name) {
  const std::size_t at = head.find("\r\n" + name + ": ");
  if (at == std::string::npos) return "";
  const std::size_t start = at + name.size() + 4;
  return head.substr(start, head.find("\r\n", start) - start);
}

}  // namespace

FaultServer::FaultServer(std::string root) : m_root(std::move(root)) {
  m_listen = listenOnLoopback(&m_port);
  m_thread = std::thread([this] {
    while (true) {
      const int fd = ::accept4(m_listen, nullptr, nullptr, SOCK_CLOEXEC);
      if (fd < 0 && errno == EINVAL) return;  // the destructor shut the socket down
      if (fd < 0) continue;
      answer(fd);
      ::close(fd);
    }
  });
}

FaultServer::~FaultServer() {
  ::shutdown(m_listen, SHUT_RDWR);
  m_thread.join();
  ::close(m_listen);
}

std::vector<std::string> FaultServer::headers(const std::string& name) const {
  std::lock_guard<std::mutex> lock(m_mutex);
  std::vector<std::string> values;
  for (const std::string& head : m_requests) values.push_back(headerOf(head, name));
  return values;
}

void FaultServer::answer(int fd) {
  const std::string head = readHead(fd);
  const std::size_t space = head.find(' ');
  const std::string path = head.substr(space + 1, head.find(' ', space + 1) - space - 1);
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_requests.push_back(head);
  }
  const std::string body = OrvelTest::readFile(m_root + path);
  const std::string range = headerOf(head, "Range");
  const bool ranged = !m_ignoreRanges && range.rfind("bytes=", 0) == 0;
  const std::size_t from = ranged ? std::stoul(range.substr(6)) : 0;
  const std::string status =
      ranged ? "206 Partial Content\r\nContent-Range: bytes " + std::to_string(from) + "-" +
                   std::to_string(body.size() - 1) + "/" + std::to_string(body.size())
             : "200 OK";
  const std::size_t length = body.size() - from;
  const std::string reply = "HTTP/1.1 " + status + "\r\nContent-Length: " + std::to_string(length) +
                            "\r\nAccept-Ranges: bytes\r\nConnection: close\r\n\r\n";
  const bool file = path.find(".idx") == std::string::npos;
  if (!sendAll(fd, reply.data(), reply.size())) return;
  sendAll(fd, body.data() + from, file && m_cuts-- > 0 ? std::min(length, m_cut.load()) : length);
}

int closedPort() {
  int port = 0;
  ::close(listenOnLoopback(&port));
  return port;
}

}  // namespace ClientTest
