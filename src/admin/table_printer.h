// Listings for people (aligned columns) and for programs (CSV, RFC 4180 quoting).
#pragma once

#include <ostream>
#include <string>
#include <vector>

namespace qx::admin {

struct Table {
  std::vector<std::string> columns;
  std::vector<std::vector<std::string>> rows;  // each as long as columns
};

// Aligned: a header line, a line of dashes, then the rows; columns two blanks apart, no
// trailing blanks. Control characters in values are shown as blanks so that a value cannot
// break the layout.
void PrintAligned(const Table& table, std::ostream& out);

// CSV: the header and the rows, one per line, fields quoted when they hold a comma, quote or
// line break.
void PrintCsv(const Table& table, std::ostream& out);

}  // namespace qx::admin
