// The pieces every qxadmin report shares: the filters read from the command line, the scope
// of one statement or fingerprint, exact percentiles read from the repository one value at a
// time, the top ranking, and the cell formats of text, CSV, JSON and HTML.
//
// Threading: one thread, the caller's session. Internal to src/admin.
#pragma once

#include <map>
#include <ostream>
#include <string>
#include <vector>

#include "repository/repository.h"

namespace qx::admin::report {

using Options = std::map<std::string, std::string>;

std::string Opt(const Options& o, const std::string& k, const std::string& def = "");
// A non-negative number option; def when absent. Throws ReportUsageError.
double NumberOpt(const Options& o, const std::string& name, double def);
// A local time "YYYY-MM-DD[ HH:MM[:SS]]" or a span before now ("30m", "2h", "7d") as a
// date-time (days since 1899-12-30). Throws ReportUsageError naming `option`.
double When(const std::string& option, const std::string& value);

struct Filters {
  double since = 0, until = 2958465.0;  // 1899-12-30 .. 9999-12-31
  bool windowed = false;                // --since or --until given
  double srvc_id = 0;
  std::string service, orauser, program, host;
  double min_time = 0;
};
// The filters of the command line; the monitored service is looked up by name. Checks that
// the repository has the columns reports read. Throws ReportUsageError, std::runtime_error.
Filters ReadFilters(repository::Session& session, const Options& options);
void BindFilters(repository::Query& q, const Filters& f);

// One statement (sql_id) or every statement of one fingerprint.
struct Scope {
  double sql_id = -1;
  std::string fingerprint_hash;  // empty: none
};
void BindScope(repository::Query& q, const Scope& s);

// The nearest-rank percentiles of a scope's times and its first and last execution (all 0
// and empty without executions). The database orders the times and hands back only the
// values at the ranks, so nothing but three values is held here however many executions
// there are.
struct Ranked {
  double p50 = 0, p95 = 0, p99 = 0;
  std::string first, last;
};
Ranked RankTimes(repository::Session& session, const Filters& f, const Scope& scope);

// The time buckets of the histograms: bucket i holds times in [kBucketFrom[i], kBucketFrom[i+1])
// milliseconds, the last one everything from 10 s up.
constexpr int kBuckets = 14;
extern const double kBucketFrom[kBuckets];
std::string BucketLabel(int bucket);  // "<1 ms", "1-2 ms", ..., ">=10 s"

// One ranked line of report top.
struct Item {
  std::string key;  // statement id or fingerprint hash ("statement N" without a fingerprint)
  Scope scope;
  std::string text;
  double execs = 0, total = 0, max = 0, rows = 0, errors = 0;
  Ranked ranked;
  double Avg() const { return execs ? total / execs : 0; }
};
struct TopResult {
  std::vector<Item> items;  // ranked, at most the limit
  size_t count = 0;         // items before the limit
  double grand_total = 0;   // time of every execution the filters keep
  double grand_execs = 0;
};
// by: "statement" or "fingerprint"; order: total|executions|avg|p95|max|errors|rows.
TopResult RankTop(repository::Session& session, const Filters& f, const std::string& by,
                  const std::string& order, size_t limit);

// A statement's whole text (its four pieces) from the current row of q.
std::string StatementText(const repository::Query& q);

// Cell formats.
std::string Num(double v);     // integral: no decimals; else 3 decimals
std::string TextMs(double v);  // text columns: whole ms from 10 up, else one decimal
std::string Share(double part, double whole);  // percent, 3 decimals, as Num
std::string JsonString(const std::string& s);
std::string CsvCell(const std::string& s);
std::string OneLine(const std::string& s);  // blanks and line breaks collapsed
std::string Html(const std::string& s);     // &, <, >, " escaped
// s cut to `room` characters with "..." when longer.
std::string Cut(const std::string& s, size_t room);

// A text table fitted to `width`: columns as wide as their widest cell, and while the line is
// too wide the widest of the `flexible` columns loses characters (cut cells end in "...").
// right[i]: column i is right-aligned (figures).
std::string TextTable(const std::vector<std::string>& header,
                      const std::vector<std::vector<std::string>>& rows,
                      const std::vector<bool>& right, const std::vector<bool>& flexible,
                      size_t width);

// HTML pages: one self-contained file, styles inline, charts as inline SVG.
void HtmlBegin(std::ostream& out, const std::string& title, const Filters& f);
void HtmlEnd(std::ostream& out);
struct Bar {
  std::string label;
  double value = 0;
};
// A bar chart of the values, labelled every few bars, titled and with its unit.
std::string BarChart(const std::string& title, const std::string& unit,
                     const std::vector<Bar>& bars);
// An HTML table: header cells as given (units in them), then rows of cells already escaped.
std::string HtmlTable(const std::vector<std::string>& header,
                      const std::vector<std::vector<std::string>>& rows);

}  // namespace qx::admin::report
