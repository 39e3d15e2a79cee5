// Aligned and CSV listings of qxadmin.
#include "admin/table_printer.h"

#include <algorithm>

namespace qx::admin {
namespace {

std::string Printable(std::string s) {
  for (char& c : s) {
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) c = ' ';
  }
  return s;
}

std::string CsvField(const std::string& s) {
  if (s.find_first_of(",\"\r\n") == std::string::npos) return s;
  std::string out = "\"";
  for (char c : s) {
    if (c == '"') out += '"';
    out += c;
  }
  return out + "\"";
}

void PrintLine(const std::vector<std::string>& cells, const std::vector<size_t>& widths,
               std::ostream& out) {
  std::string line;
  for (size_t i = 0; i < cells.size(); ++i) {
    if (i) line += "  ";
    line += cells[i];
    if (i + 1 < cells.size()) line.append(widths[i] - cells[i].size(), ' ');
  }
  while (!line.empty() && line.back() == ' ') line.pop_back();
  out << line << '\n';
}

}  // namespace

void PrintAligned(const Table& table, std::ostream& out) {
  std::vector<size_t> widths;
  for (const std::string& c : table.columns) widths.push_back(c.size());
  std::vector<std::vector<std::string>> rows;
  for (const auto& row : table.rows) {
    std::vector<std::string> cells;
    for (size_t i = 0; i < table.columns.size(); ++i) {
      cells.push_back(Printable(i < row.size() ? row[i] : ""));
      widths[i] = std::max(widths[i], cells.back().size());
    }
    rows.push_back(std::move(cells));
  }
  PrintLine(table.columns, widths, out);
  std::vector<std::string> dashes;
  for (size_t w : widths) dashes.emplace_back(w, '-');
  PrintLine(dashes, widths, out);
  for (const auto& row : rows) PrintLine(row, widths, out);
}

void PrintCsv(const Table& table, std::ostream& out) {
  auto line = [&](const std::vector<std::string>& cells) {
    for (size_t i = 0; i < table.columns.size(); ++i) {
      if (i) out << ',';
      out << CsvField(i < cells.size() ? cells[i] : "");
    }
    out << '\n';
  };
  line(table.columns);
  for (const auto& row : table.rows) line(row);
}

}  // namespace qx::admin
