// The filter rows a monitored service carries: service filters decide from a new connection's
// identity whether it is monitored at all, SQL filters decide whether a completed statement is
// stored. Both are loaded once per start from qx_service_filter and qx_sql_filter and never
// change while connections run, so the evaluating code reads them without a lock.
//
// Ownership: a service record owns its two lists; entries are plain values.
// Texts: filter_type and the criteria are held upper-cased (a..z only) by the loader;
// exec_date_expr and exec_time are kept exactly as stored. A NULL column is an empty text.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace qx::service {

struct TServiceFilter {
  double id = 0;
  double service_id = 0;
  std::string filter_type;   // "INCLUDE" or "EXCLUDE"; anything else makes the filter inert
  std::string service_name;
  std::string sid;
  std::string program;
  std::string host;
  std::string username;
  std::string orauser;
  std::string date_expr;     // SQL condition; may use the bind :CONN_TIME
};

struct TSQLFilter {
  double id = 0;
  double service_id = 0;
  std::string filter_type;     // "INCLUDE" or "EXCLUDE"; anything else makes the filter inert
  std::string exec_date_expr;  // SQL condition with ":date" for the current date
  std::string exec_time;       // elapsed-time threshold in ms, as the administrator wrote it
  std::string sqlstatement;    // comma-separated words
  std::string object_list;     // comma-separated words
  // exec_time read as a number. A text that is not a number is kept (for the load-time report)
  // but leaves execTimeValid false, and its condition then never holds: one mistyped row must
  // not make every statement boundary of the service fail. Set both through SetExecTime().
  bool execTimeValid = false;
  double execTimeValue = 0;
};

using TServiceFilterList = std::vector<TServiceFilter>;
using TSQLFilterList = std::vector<TSQLFilter>;

// Reads a decimal number: optional blanks, an optional sign, digits with an optional "." and
// fraction, an optional exponent, optional blanks. Anything else, or a value that is not finite,
// gives nullopt.
std::optional<double> ParseDecimalNumber(std::string_view text);

// Stores the exec_time text and its parsed value. Returns false when the text is not empty and
// does not read as a number; the loader reports that once:
// "SQL filter # " + id + " has an invalid exec_time '" + text + "'; the condition is never met."
bool SetExecTime(TSQLFilter& filter, std::string text);

}  // namespace qx::service
