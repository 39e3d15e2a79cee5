// The SQL filter decision: whether a completed statement is left out of the repository by its
// service's SQL filters. Exclusion filters win over inclusion filters; a service without
// inclusion filters records everything not excluded, one with inclusion filters records only
// what one of them matches. Filters are tested in list order, which decides whose message is
// written.
//
// The repository is reached only through the date-condition callback, so the decision itself
// is pure. The caller handles a connection without a service (everything excluded, silently)
// and adds the returned trace line to the connection's trace.
//
// Threading: pure; the filter list must not change while it runs (it never does once loaded).
#pragma once

#include <functional>
#include <string>
#include <string_view>

#include "service/filters.h"

namespace qx::sql {

// Evaluates a complete query text "select count(*) from dual where ..." and answers whether its
// first column is above 0; any failure counts as false and is not reported.
using DateQueryCheck = std::function<bool(const std::string& queryText)>;

// The query text for an exec_date_expr: "select count(*) from dual where " + condition, with
// every ":date" in any letter case replaced by "sysdate".
std::string DateExprQueryText(std::string_view condition);

// True when the text (upper-cased by the caller) contains one of the non-empty, trimmed,
// upper-cased items of the comma-separated list. An empty list or text never matches.
bool MatchesFilterList(std::string_view list, std::string_view upperText);

// Whether one filter's present conditions all hold, tested in the order date condition,
// elapsed time, statement words, object words, stopping at the first that fails. An exec_time
// that did not read as a number never holds.
bool SQLFilterMatches(const service::TSQLFilter& filter, std::string_view upperText,
                      double elapsedMs, const DateQueryCheck& checkDate);

struct SQLFilterDecision {
  bool excluded = false;
  std::string traceLine;  // at most one line for the connection's trace; empty when none
};

// The decision for a statement of a connection whose service has `filters`.
SQLFilterDecision DecideSQLFilters(const service::TSQLFilterList& filters,
                                   std::string_view statement, double elapsedMs,
                                   const DateQueryCheck& checkDate);

}  // namespace qx::sql
