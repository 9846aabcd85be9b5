// Servers on loopback for the faults nginx cannot make.
//
// FaultServer is a small HTTP/1.1 file server (one connection at a time,
// "Connection: close") that can cut a file short: the first N answers for a
// path announce the whole length, send only some bytes and close; or drip a
// file: one body byte, then a pause, until the file is sent. It honours
// "Range: bytes=N-" unless told not to, and records every request head.
//
// SilentServer listens and lets the kernel accept connections, but never
// reads or answers: every request to it stalls.
#pragma once

#include <atomic>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace ClientTest {

class FaultServer {
 public:
  explicit FaultServer(std::string root);
  ~FaultServer();
  FaultServer(const FaultServer&) = delete;
  FaultServer& operator=(const FaultServer&) = delete;

  int port() const { return m_port; }
  std::string url(const std::string& path) const;
  // The next `times` answers for path send only `bytes` body bytes.
  void cutShort(const std::string& path, std::size_t bytes, int times);
  // Every answer for path sends one body byte per intervalMs.
  void drip(const std::string& path, int intervalMs);
  void ignoreRanges(bool ignore) { m_ignoreRanges = ignore; }
  std::vector<std::string> requests() const;

 private:
  void serve();
  void answer(int fd);
  // Sends size bytes one at a time; false when the client left or the
  // server is being shut down.
  bool sendSlowly(int fd, const char* data, std::size_t size, int intervalMs);

  std::string m_root;
  int m_listen = -1;
  int m_port = 0;
  int m_wake[2] = {-1, -1};
  std::atomic<bool> m_ignoreRanges{false};
  mutable std::mutex m_mutex;
  std::map<std::string, std::pair<std::size_t, int>> m_cuts;
  std::map<std::string, int> m_drips;
  std::vector<std::string> m_requests;
  std::thread m_thread;
};

class SilentServer {
 public:
  SilentServer();
  ~SilentServer();
  SilentServer(const SilentServer&) = delete;
  SilentServer& operator=(const SilentServer&) = delete;
  int port() const { return m_port; }

 private:
  int m_listen = -1;
  int m_port = 0;
};

// A loopback port where nothing listens (connections are refused).
int closedPort();

}  // namespace ClientTest
