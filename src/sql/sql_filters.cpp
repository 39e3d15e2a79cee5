// SQL filter matching and the include/exclude decision.
#include "sql/sql_filters.h"

#include <cmath>
#include <cstdio>

#include "sql/byte_text.h"

namespace qx::sql {
namespace {

// Filter ids in SQL filter messages are written as whole numbers.
std::string WholeNumber(double value) {
  char buffer[64];
  std::snprintf(buffer, sizeof buffer, "%.0f", value);
  return buffer;
}

// Appends one comma to a non-empty list that has none, so the item loop below sees its last
// (or only) item.
void CloseList(std::string& list) {
  if (!list.empty() && list.find(',') == std::string::npos) list.push_back(',');
}

}  // namespace

std::string DateExprQueryText(std::string_view condition) {
  std::string text = "select count(*) from dual where ";
  text.append(condition);
  const std::string upper = UpperCase(text);
  std::string out;
  out.reserve(text.size() + 8);
  size_t pos = 0;
  while (true) {
    const size_t hit = upper.find(":DATE", pos);
    if (hit == std::string::npos) break;
    out.append(text, pos, hit - pos);
    out.append("sysdate");
    pos = hit + 5;
  }
  out.append(text, pos, std::string::npos);
  return out;
}

bool MatchesFilterList(std::string_view list, std::string_view upperText) {
  if (list.empty() || upperText.empty()) return false;
  std::string remaining(Trim(list));
  CloseList(remaining);
  while (true) {
    const size_t comma = remaining.find(',');
    if (comma == std::string::npos) return false;
    const std::string item = UpperCase(Trim(std::string_view(remaining).substr(0, comma)));
    remaining = std::string(Trim(std::string_view(remaining).substr(comma + 1)));
    CloseList(remaining);
    if (!item.empty() && Contains(upperText, item)) return true;
  }
}

bool SQLFilterMatches(const service::TSQLFilter& filter, std::string_view upperText,
                      double elapsedMs, const DateQueryCheck& checkDate) {
  if (!filter.exec_date_expr.empty()) {
    if (!checkDate || !checkDate(DateExprQueryText(filter.exec_date_expr))) return false;
  }
  if (!filter.exec_time.empty()) {
    if (!filter.execTimeValid || filter.execTimeValue > elapsedMs) return false;
  }
  if (!filter.sqlstatement.empty() && !MatchesFilterList(filter.sqlstatement, upperText)) {
    return false;
  }
  if (!filter.object_list.empty() && !MatchesFilterList(filter.object_list, upperText)) {
    return false;
  }
  return true;
}

SQLFilterDecision DecideSQLFilters(const service::TSQLFilterList& filters,
                                   std::string_view statement, double elapsedMs,
                                   const DateQueryCheck& checkDate) {
  SQLFilterDecision decision;
  const std::string upper = UpperCase(statement);
  for (const service::TSQLFilter& filter : filters) {
    if (filter.filter_type != "EXCLUDE") continue;
    if (SQLFilterMatches(filter, upper, elapsedMs, checkDate)) {
      decision.excluded = true;
      decision.traceLine =
          "Excluding previous SQL according to filter # " + WholeNumber(filter.id) + " : " + upper;
      return decision;
    }
  }
  int includeFilters = 0;
  for (const service::TSQLFilter& filter : filters) {
    if (filter.filter_type != "INCLUDE") continue;
    ++includeFilters;
    if (SQLFilterMatches(filter, upper, elapsedMs, checkDate)) {
      decision.traceLine =
          "Including previous SQL according to filter # " + WholeNumber(filter.id) + " : " + upper;
      return decision;
    }
  }
  decision.excluded = includeFilters > 0;
  return decision;
}

}  // namespace qx::sql
