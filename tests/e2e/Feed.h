// A signed update feed that kitefeed-publish writes into the folder of the nginx test server.
#pragma once

#include <string>
#include <vector>

namespace OrvelEndToEnd {

// A variable the start scripts of the test servers export ("" when the server did not run).
std::string serverVariable(const char* name);
// What a shell command printed; a command that fails fails the test.
std::string commandOutput(const std::string& command);

// A feed folder below nginx's root, signed with a key of its own.
class Feed {
 public:
  explicit Feed(const std::string& scratch);
  ~Feed();

  // Adds one version of an item from files in a folder (each name of files).
  void add(unsigned itemClass, unsigned id, const std::string& version, const std::string& folder,
           const std::vector<std::string>& files);
  void sign();
  const std::string& url() const { return m_url; }
  // The same feed through nginx's location that sends 100 bytes a second.
  std::string slowUrl() const;
  const std::string& publicKey() const { return m_publicKey; }
  // Requests nginx answered for this feed whose path contains part. nginx writes its log line
  // after the answer has gone out, so the count is awaited, briefly, until it reaches atLeast.
  int requests(const std::string& part, int atLeast = 0) const;
  // Takes the feed out of nginx's reach, and puts it back: every request meanwhile fails.
  void hide();
  void show();

 private:
  std::string m_folder, m_url, m_key, m_publicKey;
};

}  // namespace OrvelEndToEnd
