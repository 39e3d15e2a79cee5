// Byte-string helpers shared by connection capture and SQL capture.
#include "sql/byte_text.h"

#include <charconv>
#include <cmath>

namespace qx::sql {
namespace {

inline char UpperByte(char c) {
  return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
}

inline bool IsBlankByte(char c) { return static_cast<unsigned char>(c) <= 0x20; }

}  // namespace

std::string UpperCase(std::string_view text) {
  std::string out(text);
  for (char& c : out) c = UpperByte(c);
  return out;
}

std::string_view Trim(std::string_view text) {
  size_t begin = 0;
  size_t end = text.size();
  while (begin < end && IsBlankByte(text[begin])) ++begin;
  while (end > begin && IsBlankByte(text[end - 1])) --end;
  return text.substr(begin, end - begin);
}

bool EqualsIgnoreAsciiCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (UpperByte(a[i]) != UpperByte(b[i])) return false;
  }
  return true;
}

std::string FormatNumber(double value) {
  // Whole numbers within the exactly representable range print as integers ("7", not "7.0").
  if (std::isfinite(value) && value == std::trunc(value) && std::fabs(value) < 9.0e15) {
    return std::to_string(static_cast<long long>(value));
  }
  char buffer[64];
  const auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
  return std::string(buffer, result.ptr);
}

}  // namespace qx::sql
