#include "Report.h"

#include <unistd.h>

#include <cstdio>
#include <ctime>
#include <fstream>
#include <ostream>

#include "Cli.h"

namespace Kfctl {

namespace {

std::string cell(const nlohmann::json& value) {
  if (value.is_null()) return "-";
  if (value.is_string()) return value.get<std::string>().empty() ? "-" : value.get<std::string>();
  return value.dump();
}

}  // namespace

void Report::print(std::ostream& out, bool json) const {
  if (json) {
    out << m_records.dump(2) << "\n";
    return;
  }
  std::vector<std::size_t> widths;
  for (const std::string& column : m_columns) widths.push_back(column.size());
  for (const nlohmann::json& record : m_records)
    for (std::size_t i = 0; i < m_columns.size(); ++i)
      widths[i] = std::max(widths[i], cell(record.value(m_columns[i], nlohmann::json())).size());
  const auto line = [&](auto text) {
    std::string row;
    for (std::size_t i = 0; i < m_columns.size(); ++i) {
      const std::string shown = text(i);
      row +=
          i + 1 < m_columns.size() ? shown + std::string(widths[i] - shown.size() + 2, ' ') : shown;
    }
    out << row << "\n";
  };
  line([&](std::size_t i) { return m_columns[i]; });
  for (const nlohmann::json& record : m_records)
    line([&](std::size_t i) { return cell(record.value(m_columns[i], nlohmann::json())); });
}

nlohmann::json componentRecord(int type) {
  return {{"component", componentWord(type)}, {"type", type}};
}

std::string oneLine(const std::string& text) {
  std::string line = text;
  while (!line.empty() && (line.back() == '\n' || line.back() == ' ')) line.pop_back();
  for (char& c : line)
    if (c == '\n') c = ' ';
  return line;
}

bool writeWhole(const std::string& file, const std::string& text, std::string& error) {
  const std::string part = file + ".tmp" + std::to_string(::getpid());
  std::ofstream out(part, std::ios::binary | std::ios::trunc);
  out << text;
  out.close();
  if (!out || std::rename(part.c_str(), file.c_str()) != 0) {
    error = "cannot write " + file;
    std::remove(part.c_str());
    return false;
  }
  return true;
}

std::string localTime(long seconds) {
  if (seconds == 0) return "";
  const std::time_t t = seconds;
  std::tm local{};
  char text[32] = "";
  if (::localtime_r(&t, &local)) std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &local);
  return text;
}

}  // namespace Kfctl
