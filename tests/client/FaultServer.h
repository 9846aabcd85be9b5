// A server on loopback for the faults nginx cannot make: a small HTTP/1.1 server of existing files
// (one connection at a time, "Connection: close") that can cut files short (the next N answers for
// a file other than the index announce the whole length, send only some bytes and close). It
// honours "Range: bytes=N-" and records every request head.
#pragma once

#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace ClientTest {

class FaultServer {
 public:
  explicit FaultServer(std::string root);
  ~FaultServer();

  int port() const { return m_port; }
  // The next `times` answers for a file send only `bytes` body bytes.
  void cutShort(std::size_t bytes, int times) { m_cut = bytes, m_cuts = times; }
  // From now on, answers whole files whatever range is asked.
  void ignoreRanges() { m_ignoreRanges = true; }
  // The value of that header in every request so far, "" where it had none.
  std::vector<std::string> headers(const std::string& name) const;

 private:
  void answer(int fd);

  std::string m_root;
  int m_listen = -1, m_port = 0;
  std::atomic<std::size_t> m_cut{0};
  std::atomic<int> m_cuts{0};
  std::atomic<bool> m_ignoreRanges{false};
  mutable std::mutex m_mutex;
  std::vector<std::string> m_requests;
  std::thread m_thread;
};

// A socket listening on loopback; its port.
int listenOnLoopback(int* port);
// A loopback port where nothing listens (connections are refused).
int closedPort();

}  // namespace ClientTest
