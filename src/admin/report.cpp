// qxadmin report top: aggregates from the repository, percentiles from each statement's
// ordered times, output as text, CSV or JSON (schema: docs/report-top.schema.json).
#include "admin/report.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <vector>

#include "platform/datetime.h"
#include "repository/upgrade.h"

namespace qx::admin {
namespace {

using repository::Query;
using repository::Session;
using repository::SqlId;

struct Filters {
  double since = 0, until = 2958465.0;  // 1899-12-30 .. 9999-12-31
  double srvc_id = 0;
  std::string orauser, program, host;
  double min_time = 0;
};

struct Item {
  std::string key;  // statement id or fingerprint hash
  std::vector<double> sql_ids;
  std::string text;
  double execs = 0, total = 0, max = 0, rows = 0, errors = 0;
  bool has_rows = false;
  std::string first, last;
  double p50 = 0, p95 = 0, p99 = 0;
};

std::string Opt(const std::map<std::string, std::string>& o, const std::string& k,
                const std::string& def = "") {
  const auto it = o.find(k);
  return it == o.end() ? def : it->second;
}

double When(const std::string& option, const std::string& v) {
  if (v.size() >= 2 && std::isdigit(static_cast<unsigned char>(v[0]))) {
    const char unit = v.back();
    const std::string n = v.substr(0, v.size() - 1);
    if ((unit == 'm' || unit == 'h' || unit == 'd') &&
        n.find_first_not_of("0123456789") == std::string::npos) {
      const double per_day = unit == 'm' ? 1440 : unit == 'h' ? 24 : 1;
      return platform::NowDateTime() - std::stod(n) / per_day;
    }
  }
  int y = 0, mo = 0, d = 0, h = 0, mi = 0, s = 0;
  const int got = std::sscanf(v.c_str(), "%4d-%2d-%2d %2d:%2d:%2d", &y, &mo, &d, &h, &mi, &s);
  if (got != 3 && got != 5 && got != 6) {
    throw ReportUsageError(option + " must be YYYY-MM-DD[ HH:MM[:SS]] or like 30m, 2h, 7d, not \"" + v + "\"");
  }
  platform::LocalTime t;
  t.year = y;
  t.month = mo;
  t.day = d;
  t.hour = h;
  t.minute = mi;
  t.second = s;
  return platform::EncodeDateTime(t);
}

void Bind(Query& q, const Filters& f) {
  q.SetDateTime("since", f.since);
  q.SetDateTime("until", f.until);
  q.SetNumber("srvc_id", f.srvc_id);
  q.SetString("orauser", f.orauser);
  q.SetString("program", f.program);
  q.SetString("host", f.host);
  q.SetNumber("min_time", f.min_time);
}

// Nearest-rank percentile of ascending values.
double Percentile(const std::vector<double>& v, double p) {
  if (v.empty()) return 0;
  size_t rank = static_cast<size_t>(std::ceil(p * static_cast<double>(v.size())));
  if (rank < 1) rank = 1;
  return v[rank - 1];
}

std::string Num(double v) {
  char buf[64];
  if (v == std::floor(v) && std::fabs(v) < 1e15) {
    std::snprintf(buf, sizeof buf, "%.0f", v);
  } else {
    std::snprintf(buf, sizeof buf, "%.3f", v);
  }
  return buf;
}

std::string JsonString(const std::string& s) {
  std::string out = "\"";
  for (unsigned char c : s) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c < 0x20) {
      char buf[8];
      std::snprintf(buf, sizeof buf, "\\u%04x", c);
      out += buf;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out + "\"";
}

std::string CsvCell(const std::string& s) {
  if (s.find_first_of(",\"\n\r") == std::string::npos) return s;
  std::string out = "\"";
  for (char c : s) out += c == '"' ? std::string("\"\"") : std::string(1, c);
  return out + "\"";
}

std::string OneLine(const std::string& s) {
  std::string out;
  for (char c : s) {
    const bool blank = static_cast<unsigned char>(c) <= ' ';
    if (blank && (out.empty() || out.back() == ' ')) continue;
    out += blank ? ' ' : c;
  }
  return out;
}

}  // namespace

int RunReport(Session& session, const std::string& what,
              const std::map<std::string, std::string>& options, bool full, std::ostream& out) {
  if (what != "top") throw ReportUsageError("Unknown report \"" + what + "\"; reports: top");
  const std::string by = Opt(options, "--by", "statement");
  const std::string order = Opt(options, "--order", "total");
  const std::string format = Opt(options, "--format", "text");
  if (by != "statement" && by != "fingerprint") throw ReportUsageError("--by must be statement or fingerprint");
  static const std::set<std::string> kOrders = {"total", "executions", "avg", "p95", "max", "errors", "rows"};
  if (!kOrders.count(order)) throw ReportUsageError("--order must be one of total, executions, avg, p95, max, errors, rows");
  if (format != "text" && format != "csv" && format != "json") throw ReportUsageError("--format must be text, csv or json");
  auto number = [&](const std::string& name, double def) {
    const std::string v = Opt(options, name);
    if (v.empty()) return def;
    if (v.find_first_not_of("0123456789.") != std::string::npos) throw ReportUsageError(name + " must be a number, not \"" + v + "\"");
    return std::stod(v);
  };
  const size_t limit = static_cast<size_t>(number("--limit", 20));
  const size_t width = static_cast<size_t>(number("--width", 80));

  Filters f;
  if (options.count("--since")) f.since = When("--since", Opt(options, "--since"));
  if (options.count("--until")) f.until = When("--until", Opt(options, "--until"));
  f.orauser = Opt(options, "--user");
  f.program = Opt(options, "--program");
  f.host = Opt(options, "--host");
  f.min_time = number("--min-time", 0);
  if (options.count("--service")) {
    auto q = session.NewQuery(SqlId::kLoadService);
    std::string name = Opt(options, "--service");
    for (char& c : name) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    q->SetString("name", name);
    q->Open();
    if (q->Eof()) throw ReportUsageError("There is no monitored service named " + Opt(options, "--service"));
    f.srvc_id = q->FieldAsNumber("id");
  }
  if (!repository::HasColumns(session, "qx_client_sql_history", {"rows_processed", "error_code"}) ||
      !repository::HasColumns(session, "qx_client_sql", {"fingerprint_hash"})) {
    throw std::runtime_error("The repository lacks the columns reports read; run qxadmin upgrade CONNECT_STRING first");
  }

  // Aggregates per statement, merged per fingerprint when asked.
  std::vector<Item> items;
  std::map<std::string, size_t> index;
  double grand_total = 0;
  {
    auto q = session.NewQuery(SqlId::kReportTop);
    Bind(*q, f);
    q->Open();
    for (; !q->Eof(); q->Next()) {
      const double id = q->FieldAsNumber("sql_id");
      std::string key = by == "statement" ? Num(id) : q->FieldAsString("fingerprint_hash");
      if (key.empty()) key = "statement " + Num(id);  // no fingerprint yet
      auto [it, added] = index.emplace(key, items.size());
      if (added) {
        Item item;
        item.key = key;
        item.text = by == "fingerprint" && !q->FieldAsString("fingerprint").empty()
                        ? q->FieldAsString("fingerprint")
                        : q->FieldAsString("sqltext") + q->FieldAsString("sqltext1") +
                              q->FieldAsString("sqltext2") + q->FieldAsString("sqltext3");
        item.first = q->FieldAsString("first_seen");
        items.push_back(std::move(item));
      }
      Item& item = items[it->second];
      item.sql_ids.push_back(id);
      item.execs += q->FieldAsNumber("execs");
      item.total += q->FieldAsNumber("total_ms");
      item.max = std::max(item.max, q->FieldAsNumber("max_ms"));
      item.rows += q->FieldAsNumber("row_count");
      item.errors += q->FieldAsNumber("errors");
      item.first = std::min(item.first, q->FieldAsString("first_seen"));
      item.last = std::max(item.last, q->FieldAsString("last_seen"));
      grand_total += q->FieldAsNumber("total_ms");
    }
  }
  auto percentiles = [&](Item& item) {
    std::vector<double> times;
    for (double id : item.sql_ids) {
      auto q = session.NewQuery(SqlId::kReportTimes);
      Bind(*q, f);
      q->SetNumber("sql_id", id);
      q->Open();
      for (; !q->Eof(); q->Next()) times.push_back(q->FieldAsNumber("exec_time"));
    }
    std::sort(times.begin(), times.end());
    item.p50 = Percentile(times, 0.50);
    item.p95 = Percentile(times, 0.95);
    item.p99 = Percentile(times, 0.99);
  };
  if (order == "p95") {
    for (Item& item : items) percentiles(item);
  }
  auto metric = [&](const Item& i) {
    if (order == "executions") return i.execs;
    if (order == "avg") return i.execs ? i.total / i.execs : 0;
    if (order == "p95") return i.p95;
    if (order == "max") return i.max;
    if (order == "errors") return i.errors;
    if (order == "rows") return i.rows;
    return i.total;
  };
  std::stable_sort(items.begin(), items.end(), [&](const Item& a, const Item& b) {
    if (metric(a) != metric(b)) return metric(a) > metric(b);
    return a.key < b.key;
  });
  if (items.size() > limit) items.resize(limit);
  if (order != "p95") {
    for (Item& item : items) percentiles(item);
  }

  const std::string key_name = by == "statement" ? "sql_id" : "fingerprint_hash";
  auto share = [&](const Item& i) { return grand_total > 0 ? 100.0 * i.total / grand_total : 0.0; };
  if (format == "json") {
    out << "{\"report\": \"top\", \"by\": " << JsonString(by) << ", \"order\": " << JsonString(order)
        << ", \"since\": " << JsonString(platform::FormatTimestamp(f.since))
        << ", \"until\": " << JsonString(platform::FormatTimestamp(f.until))
        << ", \"total_time_ms\": " << Num(grand_total) << ", \"items\": [";
    for (size_t n = 0; n < items.size(); ++n) {
      const Item& i = items[n];
      out << (n ? ",\n  " : "\n  ") << "{\"rank\": " << n + 1 << ", \"key\": " << JsonString(i.key)
          << ", \"executions\": " << Num(i.execs) << ", \"total_ms\": " << Num(i.total)
          << ", \"avg_ms\": " << Num(i.execs ? i.total / i.execs : 0) << ", \"p50_ms\": " << Num(i.p50)
          << ", \"p95_ms\": " << Num(i.p95) << ", \"p99_ms\": " << Num(i.p99)
          << ", \"max_ms\": " << Num(i.max) << ", \"rows\": " << Num(i.rows)
          << ", \"errors\": " << Num(i.errors) << ", \"share_pct\": " << Num(std::round(share(i) * 1000) / 1000)
          << ", \"first_seen\": " << JsonString(i.first) << ", \"last_seen\": " << JsonString(i.last)
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
          << Num(i.execs ? i.total / i.execs : 0) << "," << Num(i.p50) << "," << Num(i.p95) << ","
          << Num(i.p99) << "," << Num(i.max) << "," << Num(i.rows) << "," << Num(i.errors) << ","
          << Num(std::round(share(i) * 1000) / 1000) << "," << i.first << "," << i.last << ","
          << CsvCell(i.text) << "\n";
    }
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
                  kw, i.key.c_str(), Num(i.execs).c_str(), Num(i.total).c_str(),
                  Num(std::round(i.execs ? i.total / i.execs : 0)).c_str(), Num(i.p95).c_str(),
                  Num(i.errors).c_str(), share(i));
    std::string text = OneLine(i.text);
    const size_t room = width > std::string(line).size() + 10 ? width - std::string(line).size() : 10;
    if (!full && text.size() > room) text = text.substr(0, room - 3) + "...";
    out << line << text << "\n";
  }
  out << "Total time " << Num(grand_total) << " ms; times in milliseconds, P95 nearest rank.\n";
  return 0;
}

}  // namespace qx::admin
