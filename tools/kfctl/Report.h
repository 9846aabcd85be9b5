// What a subcommand tells the administrator: records with named fields, shown as an aligned table
// on standard output, or with --json as one JSON array of objects for scripts.
#pragma once

#include <iosfwd>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

namespace Kfctl {

class Report {
 public:
  // columns: the fields the table shows, in order (a JSON object carries every field).
  explicit Report(std::vector<std::string> columns) : m_columns(std::move(columns)) {}

  void add(nlohmann::json record) { m_records.push_back(std::move(record)); }
  const nlohmann::json& records() const { return m_records; }
  void print(std::ostream& out, bool json) const;

 private:
  std::vector<std::string> m_columns;
  nlohmann::json m_records = nlohmann::json::array();
};

// The first fields of a component's record: its word and number.
nlohmann::json componentRecord(int type);
// A library message as one line: its line breaks become spaces, the last one goes.
std::string oneLine(const std::string& text);
// Writes a file whole: beside it under a name of this process, then renamed over it, so that no
// reader (a collector, the next kfctl) ever sees half of it. false with error when it cannot.
bool writeWhole(const std::string& file, const std::string& text, std::string& error);
// Seconds since 1970 as local "YYYY-MM-DD HH:MM:SS"; "" for 0.
std::string localTime(long seconds);

}  // namespace Kfctl
