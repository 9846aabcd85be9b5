#include "BenchSupport.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <thread>

namespace fs = std::filesystem;

namespace OrvelBench {

namespace {

// The state folders of the nginx servers running now: die() stops them, since exit() runs no
// destructor of the objects that own them.
std::vector<std::string>& runningServers() {
  static std::vector<std::string> states;
  return states;
}

void stopNginx(const std::string& state) {
  std::ifstream pid(state + "/nginx.pid");
  long value = 0;
  if (pid >> value && value > 0) ::kill(static_cast<pid_t>(value), SIGTERM);
  ::usleep(200000);
}

}  // namespace

void die(const std::string& what) {
  std::cerr << program_invocation_short_name << ": " << what << "\n";
  for (const std::string& state : runningServers()) stopNginx(state);
  std::exit(1);
}

int shell(const std::string& command) {
  const int status = std::system(command.c_str());
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

int freePort() {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof a;
  if (::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &length) != 0)
    die("no free port");
  const int port = ntohs(a.sin_port);
  ::close(fd);
  return port;
}

double secondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

long positiveNumberAfter(int argc, char** argv, int& i) {
  const std::string option = argv[i];
  if (i + 1 >= argc) die(option + " needs a value");
  const long value = std::strtol(argv[++i], nullptr, 10);
  if (value < 1) die(option + " needs a number above 0");
  return value;
}

void printLoad() {
  std::ifstream load("/proc/loadavg");
  std::string text;
  std::getline(load, text);
  std::printf("load average at start: %s (this machine: %u processors)\n\n", text.c_str(),
              std::thread::hardware_concurrency());
}

namespace {

// Enough digits to compare, none that the noise of a run would make up.
std::string shortNumber(double value) {
  char text[32];
  std::snprintf(text, sizeof text, value >= 100 ? "%.0f" : value >= 10 ? "%.1f" : "%.3f", value);
  return text;
}

}  // namespace

void figure(const std::string& name, double ours, double peer, const std::string& unit) {
  std::printf("%s: ours %s %s | peer %s %s | ratio %.2f\n", name.c_str(), shortNumber(ours).c_str(),
              unit.c_str(), shortNumber(peer).c_str(), unit.c_str(), peer > 0 ? ours / peer : 0.0);
  std::fflush(stdout);
}

ChildRun measured(const std::string& command) {
  return measured([&] {
    ::execl("/bin/sh", "sh", "-c", command.c_str(), static_cast<char*>(nullptr));
    return 127;
  });
}

ChildRun measured(const std::function<int()>& work) {
  std::fflush(stdout);
  const auto start = Clock::now();
  const pid_t child = ::fork();
  if (child < 0) die("cannot start a child process");
  if (child == 0) ::_exit(work());
  int status = 0;
  rusage usage{};
  if (::wait4(child, &status, 0, &usage) != child) die("lost a child process");
  return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, secondsSince(start),
          static_cast<double>(usage.ru_maxrss) / 1024.0};
}

Nginx::Nginx(const std::string& state) : m_state(state), m_port(freePort()) {
  fs::create_directories(state + "/www");
  fs::create_directories(state + "/temp");
  std::ofstream conf(state + "/nginx.conf");
  conf << "user root;\nworker_processes 1;\ndaemon on;\npid " << state << "/nginx.pid;\n"
       << "error_log " << state << "/error.log warn;\nevents { worker_connections 64; }\n"
       << "http {\n  access_log off;\n  client_body_temp_path " << state << "/temp/b;\n"
       << "  proxy_temp_path " << state << "/temp/p;\n  fastcgi_temp_path " << state
       << "/temp/f;\n  uwsgi_temp_path " << state << "/temp/u;\n  scgi_temp_path " << state
       << "/temp/s;\n  default_type application/octet-stream;\n  sendfile on;\n"
       << "  tcp_nopush on;\n  server {\n    listen 127.0.0.1:" << m_port << ";\n    root " << state
       << "/www;\n  }\n}\n";
  conf.close();
  if (shell("nginx -e " + state + "/error.log -p " + state + " -c " + state + "/nginx.conf") != 0)
    die("nginx did not start (see " + state + "/error.log)");
  runningServers().push_back(state);
}

Nginx::~Nginx() {
  stopNginx(m_state);
  auto& running = runningServers();
  running.erase(std::remove(running.begin(), running.end(), m_state), running.end());
}

std::string Nginx::url(const std::string& path) const {
  return "http://127.0.0.1:" + std::to_string(m_port) + "/" + path;
}

}  // namespace OrvelBench
