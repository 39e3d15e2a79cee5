// Parsing of the numeric condition of a SQL filter row.
#include "service/filters.h"

#include <charconv>
#include <cmath>

#include "sql/byte_text.h"

namespace qx::service {

std::optional<double> ParseDecimalNumber(std::string_view text) {
  std::string_view t = sql::Trim(text);
  if (!t.empty() && t.front() == '+') t.remove_prefix(1);
  if (t.empty()) return std::nullopt;
  // from_chars would also take "inf", "nan" and hex forms; a threshold must be plain decimal.
  for (char c : t) {
    const bool allowed = (c >= '0' && c <= '9') || c == '.' || c == '-' || c == '+' || c == 'e' ||
                         c == 'E';
    if (!allowed) return std::nullopt;
  }
  double value = 0;
  const auto result = std::from_chars(t.data(), t.data() + t.size(), value);
  if (result.ec != std::errc() || result.ptr != t.data() + t.size() || !std::isfinite(value)) {
    return std::nullopt;
  }
  return value;
}

bool SetExecTime(TSQLFilter& filter, std::string text) {
  filter.exec_time = std::move(text);
  filter.execTimeValid = false;
  filter.execTimeValue = 0;
  if (filter.exec_time.empty()) return true;
  if (const auto value = ParseDecimalNumber(filter.exec_time)) {
    filter.execTimeValid = true;
    filter.execTimeValue = *value;
    return true;
  }
  return false;
}

}  // namespace qx::service
