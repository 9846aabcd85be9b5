// Builds an update feed folder that any web server (or file://) can serve:
//   kitefeed.idx      the signed index (the newest version of every item)
//   catalog.json      the publisher's own list of every kept version
//   files/<sha256>    component files, named by their digest
//   deltas/<sha256>   zstd patch-from deltas from kept earlier versions
// Errors are reported as PublishError with a text for the user.
#pragma once

#include <cstdint>
#include <ctime>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include "feed/FeedFormat.h"

namespace KiteFeed {

struct PublishError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

struct AddRequest {
  std::uint32_t itemClass = 0;
  std::uint32_t id = 0;
  std::uint32_t platform = 0x101;
  std::uint32_t languages = 0xFFFFFFFF;
  std::string version;             // "8.700.1004" (class 2) or "576300" (class 3)
  std::vector<std::string> files;  // component files; their base names are kept
  unsigned keep = 3;               // versions kept per item, the new one included
  int level = 19;                  // zstd level of the deltas
};

struct AddResult {
  std::size_t deltas = 0;           // deltas made
  std::vector<std::string> pruned;  // versions dropped from the catalogue
};

class Publisher {
 public:
  explicit Publisher(std::string feedFolder);

  AddResult add(const AddRequest& request);
  // Writes kitefeed.idx with the next serial, issued now and expiring after
  // validSeconds. feedName names the feed in the index; it is kept in the
  // catalogue, may be empty once kept, and never changes. Returns the serial.
  // Files that only the replaced index named are removed afterwards.
  std::uint64_t sign(const std::string& privateKeyPem, const std::string& feedName,
                     std::int64_t validSeconds, std::time_t now);
  // One line per kept version: class, id, platform, languages, version, files.
  std::vector<std::string> list() const;

 private:
  Catalog load() const;
  void save(const Catalog& catalog) const;
  std::string storeBytes(const std::string& folder, const std::string& bytes) const;
  // Removes the files and deltas that neither the entries nor the live
  // signed index name.
  void removeUnreferenced(const std::vector<Entry>& entries) const;
  // Adds the paths the live index names; false when it exists but cannot be
  // read.
  bool addLiveIndexPaths(std::set<std::string>* paths) const;

  std::string m_folder;
};

bool makeKeyFiles(const std::string& privatePath, const std::string& publicPath,
                  std::string* publicHex, std::string* why);

}  // namespace KiteFeed
