#include "Feed.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <thread>

namespace fs = std::filesystem;

namespace OrvelEndToEnd {

namespace {

// Runs kitefeed-publish with the arguments; what it printed.
std::string publish(const std::string& arguments) {
  return commandOutput(std::string(KITEFEED_PUBLISH_EXE) + " " + arguments);
}

std::string inQuotes(const std::string& text) { return "'" + text + "'"; }

}  // namespace

std::string commandOutput(const std::string& command) {
  std::string output;
  FILE* pipe = ::popen(command.c_str(), "r");
  if (!pipe) return output;
  char buffer[512];
  while (std::fgets(buffer, sizeof buffer, pipe)) output += buffer;
  EXPECT_EQ(0, ::pclose(pipe)) << command << "\n" << output;
  return output;
}

std::string serverVariable(const char* name) {
  const char* value = std::getenv(name);
  return value ? value : "";
}

Feed::Feed(const std::string& scratch) {
  static std::atomic<int> counter{0};
  const std::string name = "e2e-" + std::to_string(::getpid()) + "-" + std::to_string(++counter);
  m_folder = serverVariable("ORVEL_NGINX_ROOT") + "/" + name;
  m_url = "http://127.0.0.1:" + serverVariable("ORVEL_NGINX_HTTP_PORT") + "/" + name;
  m_key = scratch + "/" + name + "-key";
  const std::string answer = publish("keygen " + inQuotes(m_key) + " " + inQuotes(m_key + ".pub"));
  const std::size_t at = answer.find("public key ");
  if (at != std::string::npos) m_publicKey = answer.substr(at + 11, 64);
}

Feed::~Feed() { fs::remove_all(m_folder); }

void Feed::add(unsigned itemClass, unsigned id, const std::string& version,
               const std::string& folder, const std::vector<std::string>& files) {
  std::string arguments = "add " + inQuotes(m_folder) + " --class " + std::to_string(itemClass) +
                          " --id " + std::to_string(id) + " --version " + version + " --level 3";
  for (const std::string& file : files) arguments += " " + inQuotes(folder + "/" + file);
  publish(arguments);
}

void Feed::sign() {
  publish("sign " + inQuotes(m_folder) + " --key " + inQuotes(m_key) + " --name orvel-e2e");
}

int Feed::requests(const std::string& part, int atLeast) const {
  const std::string log =
      fs::path(serverVariable("ORVEL_NGINX_ROOT")).parent_path() / "logs/access.log";
  const std::string feed = "/" + fs::path(m_folder).filename().string() + "/";
  int count = 0;
  for (int attempt = 0; attempt < 200; ++attempt) {
    std::ifstream in(log);
    count = 0;
    for (std::string line; std::getline(in, line);)
      count += line.find(feed) != std::string::npos && line.find(part) != std::string::npos;
    if (count >= atLeast) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return count;
}

std::string Feed::slowUrl() const {
  std::string slow = m_url;
  return slow.insert(slow.rfind('/'), "/slow");
}

void Feed::hide() { fs::rename(m_folder, m_folder + ".hidden"); }

void Feed::show() { fs::rename(m_folder + ".hidden", m_folder); }

}  // namespace OrvelEndToEnd
