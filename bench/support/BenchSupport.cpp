#include "BenchSupport.h"

#include <arpa/inet.h>
#include <netinet/in.h>
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
