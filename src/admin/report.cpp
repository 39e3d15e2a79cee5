// qxadmin report: which report, then report top: the ranking (report_common.cpp) printed as
// text, CSV, JSON (schema: docs/report-top.schema.json) or HTML.
#include "admin/report.h"

#include <cmath>
#include <cstdio>

#include "admin/report_common.h"
#include "admin/report_detail.h"
#include "platform/datetime.h"

namespace qx::admin {
namespace {

using namespace report;  // NOLINT: the report pieces are this file's vocabulary

int Top(repository::Session& session, const Options& options, bool full, std::ostream& out) {
  const std::string by = Opt(options, "--by", "statement");
  const std::string order = Opt(options, "--order", "total");
  const std::string format = Opt(options, "--format", "text");
  if (by != "statement" && by != "fingerprint") throw ReportUsageError("--by must be statement or fingerprint");
  static const std::set<std::string> kOrders = {"total", "executions", "avg", "p95", "max", "errors", "rows"};
  if (!kOrders.count(order)) throw ReportUsageError("--order must be one of total, executions, avg, p95, max, errors, rows");
  const size_t limit = static_cast<size_t>(NumberOpt(options, "--limit", 20));
  const size_t width = static_cast<size_t>(NumberOpt(options, "--width", 80));
  const Filters f = ReadFilters(session, options);
  const TopResult top = RankTop(session, f, by, order, limit);
  const std::vector<Item>& items = top.items;
  const double grand_total = top.grand_total;

  const std::string key_name = by == "statement" ? "sql_id" : "fingerprint_hash";
  if (format == "json") {
    out << "{\"report\": \"top\", \"by\": " << JsonString(by) << ", \"order\": " << JsonString(order)
        << ", \"since\": " << JsonString(platform::FormatTimestamp(f.since))
        << ", \"until\": " << JsonString(platform::FormatTimestamp(f.until))
        << ", \"total_time_ms\": " << Num(grand_total) << ", \"items\": [";
    for (size_t n = 0; n < items.size(); ++n) {
      const Item& i = items[n];
      out << (n ? ",\n  " : "\n  ") << "{\"rank\": " << n + 1 << ", \"key\": " << JsonString(i.key)
          << ", \"executions\": " << Num(i.execs) << ", \"total_ms\": " << Num(i.total)
          << ", \"avg_ms\": " << Num(i.Avg()) << ", \"p50_ms\": " << Num(i.ranked.p50)
          << ", \"p95_ms\": " << Num(i.ranked.p95) << ", \"p99_ms\": " << Num(i.ranked.p99)
          << ", \"max_ms\": " << Num(i.max) << ", \"rows\": " << Num(i.rows)
          << ", \"errors\": " << Num(i.errors) << ", \"share_pct\": " << Share(i.total, grand_total)
          << ", \"first_seen\": " << JsonString(i.ranked.first) << ", \"last_seen\": " << JsonString(i.ranked.last)
          << ", \"text\": " << JsonString(i.text) << "}";
    }
    out << "\n]}\n";
    return 0;
  }
  if (format == "csv") {
    out << "rank," << key_name << ",executions,total_ms,avg_ms,p50_ms,p95_ms,p99_ms,max_ms,rows,"
        << "errors,share_pct,first_seen,last_seen,text\n";
    for (size_t n = 0; n < items.size(); ++n) {
      const Item& i = items[n];
      out << n + 1 << "," << CsvCell(i.key) << "," << Num(i.execs) << "," << Num(i.total) << ","
          << Num(i.Avg()) << "," << Num(i.ranked.p50) << "," << Num(i.ranked.p95) << ","
          << Num(i.ranked.p99) << "," << Num(i.max) << "," << Num(i.rows) << "," << Num(i.errors) << ","
          << Share(i.total, grand_total) << "," << i.ranked.first << "," << i.ranked.last << ","
          << CsvCell(i.text) << "\n";
    }
    return 0;
  }
  if (format == "html") {
    HtmlBegin(out, std::string("Top ") + (by == "statement" ? "statements" : "fingerprints") + " by " + order, f);
    out << TopTableHtml(top, by, 0);
    HtmlEnd(out);
    return 0;
  }
  // Text: one line per item, the text shortened to what the width leaves (--full: all of it).
  char line[256];
  const int kw = by == "statement" ? 8 : 16;
  std::snprintf(line, sizeof line, "%-3s %-*s %6s %9s %7s %7s %5s %5s  %s", "#", kw,
                by == "statement" ? "SQL_ID" : "FINGERPRINT", "EXECS", "TOTAL_MS", "AVG_MS",
                "P95_MS", "ERRS", "SHARE", "TEXT");
  out << line << "\n";
  for (size_t n = 0; n < items.size(); ++n) {
    const Item& i = items[n];
    std::snprintf(line, sizeof line, "%-3zu %-*.*s %6s %9s %7s %7s %5s %4.0f%%  ", n + 1, kw,
                  kw, i.key.c_str(), Num(i.execs).c_str(), TextMs(i.total).c_str(),
                  TextMs(i.Avg()).c_str(), TextMs(i.ranked.p95).c_str(), Num(i.errors).c_str(),
                  grand_total > 0 ? 100.0 * i.total / grand_total : 0.0);
    const std::string text = OneLine(i.text);
    const size_t used = std::string(line).size();
    out << line << (full ? text : Cut(text, width > used + 10 ? width - used : 10)) << "\n";
  }
  out << "Total time " << TextMs(grand_total) << " ms; times in milliseconds, P95 nearest rank.\n";
  return 0;
}

}  // namespace

int RunReport(repository::Session& session, const std::string& what,
              const std::map<std::string, std::string>& options, const std::vector<std::string>& args,
              bool full, std::ostream& out) {
  const std::string format = Opt(options, "--format", what == "overview" ? "html" : "text");
  if (format != "text" && format != "csv" && format != "json" && format != "html") {
    throw ReportUsageError("--format must be text, csv, json or html");
  }
  const bool takes_id = what == "statement";
  if (args.size() != (takes_id ? 1u : 0u)) {
    throw ReportUsageError(takes_id ? "Usage: qxadmin report statement ID [OPTIONS]"
                                    : "Usage: qxadmin report " + what + " [OPTIONS]");
  }
  if (what == "top") return Top(session, options, full, out);
  if (what == "statement") return StatementReport(session, args[0], options, out);
  if (what == "sessions") return SessionsReport(session, options, out);
  if (what == "overview") {
    if (format != "html") throw ReportUsageError("report overview is written as HTML only");
    return OverviewReport(session, options, out);
  }
  throw ReportUsageError("Unknown report \"" + what + "\"; reports: top, statement, sessions, overview");
}

}  // namespace qx::admin
