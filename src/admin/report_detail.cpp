// report statement, report sessions and report overview (the HTML report): each reads its
// figures with the report texts of the repository, then prints them in the asked format.
// JSON schemas: docs/report-statement.schema.json, docs/report-sessions.schema.json.
#include "admin/report_detail.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <set>
#include <sstream>

#include "admin/report.h"
#include "platform/datetime.h"

namespace qx::admin::report {
namespace {

using repository::Query;
using repository::Session;
using repository::SqlId;

struct Variant {
  double sql_id = 0, execs = 0, total = 0;
  std::string text;
};
struct BucketRow {
  double execs = 0, total = 0;
};
struct HourRow {
  std::string hour;
  double execs = 0, total = 0, errors = 0;
};
struct WhoRow {
  std::string orauser, program, host, ip, osuser, service;
  double execs = 0, total = 0, errors = 0;
};
struct ErrorRow {
  double code = 0, execs = 0;
  std::string last;
};

// Everything report statement shows of one scope.
struct StatementData {
  Scope scope;
  std::string id;  // as asked: the statement id or the fingerprint hash
  std::string text, fingerprint, fingerprint_hash;
  double execs = 0, total = 0, min = 0, max = 0, rows = 0, errors = 0;
  Ranked ranked;
  std::vector<Variant> variants;
  BucketRow buckets[kBuckets];
  std::vector<HourRow> hours;
  std::vector<WhoRow> who;
  std::vector<ErrorRow> error_codes;
  double Avg() const { return execs ? total / execs : 0; }
};

std::string Lower(std::string s) {
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

// The scope an ID names: a statement id (digits) or a fingerprint hash (16 hex digits).
Scope ParseId(const std::string& id) {
  Scope s;
  if (!id.empty() && id.size() < 16 && id.find_first_not_of("0123456789") == std::string::npos) {
    s.sql_id = std::stod(id);
  } else if (id.size() == 16 && id.find_first_not_of("0123456789abcdefABCDEF") == std::string::npos) {
    s.fingerprint_hash = Lower(id);
  } else {
    throw ReportUsageError("ID must be a statement id or a fingerprint hash (16 hex digits), not \"" + id + "\"");
  }
  return s;
}

template <typename Fill>
void Each(Session& session, SqlId id, const Filters& f, const Scope* scope, Fill fill,
          double limit = 0) {
  auto q = session.NewQuery(id);
  BindFilters(*q, f);
  if (scope) BindScope(*q, *scope);
  if (limit > 0) q->SetNumber("limit", limit);
  q->Open();
  for (; !q->Eof(); q->Next()) fill(*q);
}

StatementData LoadStatement(Session& session, const Filters& f, const Scope& scope,
                            const std::string& id, size_t limit) {
  StatementData d;
  d.scope = scope;
  d.id = id;
  {
    auto q = session.NewQuery(SqlId::kReportFindStatement);
    BindScope(*q, scope);
    q->Open();
    if (q->Eof()) {
      throw std::runtime_error(scope.fingerprint_hash.empty()
                                   ? "There is no statement with id " + id
                                   : "There is no statement with fingerprint " + id);
    }
    d.fingerprint_hash = q->FieldAsString("fingerprint_hash");
    d.fingerprint = q->FieldAsString("fingerprint");
    d.text = scope.fingerprint_hash.empty() ? StatementText(*q) : d.fingerprint;
  }
  Each(session, SqlId::kReportScopeSummary, f, &scope, [&](Query& q) {
    d.execs = q.FieldAsNumber("execs");
    d.total = q.FieldAsNumber("total_ms");
    d.min = q.FieldAsNumber("min_ms");
    d.max = q.FieldAsNumber("max_ms");
    d.rows = q.FieldAsNumber("row_count");
    d.errors = q.FieldAsNumber("errors");
  });
  d.ranked = RankTimes(session, f, scope);
  if (!d.fingerprint_hash.empty()) {
    auto q = session.NewQuery(SqlId::kReportVariants);
    BindFilters(*q, f);
    q->SetString("fingerprint_hash", d.fingerprint_hash);
    q->Open();
    for (; !q->Eof() && d.variants.size() < limit; q->Next()) {
      d.variants.push_back({q->FieldAsNumber("sql_id"), q->FieldAsNumber("execs"),
                            q->FieldAsNumber("total_ms"), StatementText(*q)});
    }
  }
  Each(session, SqlId::kReportHistogram, f, &scope, [&](Query& q) {
    const int b = static_cast<int>(q.FieldAsNumber("bucket"));
    if (b >= 0 && b < kBuckets) d.buckets[b] = {q.FieldAsNumber("execs"), q.FieldAsNumber("total_ms")};
  });
  Each(session, SqlId::kReportPerHour, f, &scope, [&](Query& q) {
    d.hours.push_back({q.FieldAsString("hour"), q.FieldAsNumber("execs"), q.FieldAsNumber("total_ms"),
                       q.FieldAsNumber("errors")});
  });
  Each(session, SqlId::kReportWho, f, &scope, [&](Query& q) {
    d.who.push_back({q.FieldAsString("orauser"), q.FieldAsString("program"), q.FieldAsString("host"),
                     q.FieldAsString("ip"), q.FieldAsString("username"), q.FieldAsString("service_name"),
                     q.FieldAsNumber("execs"), q.FieldAsNumber("total_ms"), q.FieldAsNumber("errors")});
  }, static_cast<double>(limit));
  Each(session, SqlId::kReportErrors, f, &scope, [&](Query& q) {
    d.error_codes.push_back({q.FieldAsNumber("error_code"), q.FieldAsNumber("execs"), q.FieldAsString("last_seen")});
  });
  return d;
}

// A share in percent with one decimal (HTML).
std::string Pct(double part, double whole) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.1f", whole > 0 ? 100.0 * part / whole : 0.0);
  return buf;
}

std::string BucketTo(int b) { return b + 1 < kBuckets ? Num(kBucketFrom[b + 1]) : ""; }

std::string Title(const StatementData& d) {
  return d.scope.fingerprint_hash.empty() ? "Statement " + d.id : "Fingerprint " + d.id;
}

// One statement's section of an HTML page: text, figures, charts, tables.
std::string StatementHtml(const StatementData& d, const std::string& anchor) {
  std::ostringstream s;
  s << "<h2 id=\"" << Html(anchor) << "\">" << Html(Title(d)) << "</h2>\n<pre>" << Html(d.text) << "</pre>\n";
  if (!d.fingerprint_hash.empty() && d.scope.fingerprint_hash.empty()) {
    s << "<p>Fingerprint " << Html(d.fingerprint_hash) << ": <code>" << Html(d.fingerprint) << "</code></p>\n";
  }
  s << HtmlTable({"executions", "total (ms)", "avg (ms)", "min (ms)", "p50 (ms)", "p95 (ms)", "p99 (ms)",
                  "max (ms)", "rows", "errors", "first", "last"},
                 {{Num(d.execs), TextMs(d.total), TextMs(d.Avg()), TextMs(d.min), TextMs(d.ranked.p50),
                   TextMs(d.ranked.p95), TextMs(d.ranked.p99), TextMs(d.max), Num(d.rows), Num(d.errors),
                   Html(d.ranked.first), Html(d.ranked.last)}});
  std::vector<Bar> hist;
  for (int b = 0; b < kBuckets; ++b) hist.push_back({BucketLabel(b), d.buckets[b].execs});
  s << BarChart("Time distribution", "executions", hist);
  std::vector<Bar> hours;
  for (const HourRow& h : d.hours) hours.push_back({h.hour.substr(std::min<size_t>(5, h.hour.size())) + "h", h.execs});
  s << BarChart("Executions per hour", "executions", hours);
  std::vector<std::vector<std::string>> rows;
  for (const WhoRow& w : d.who) {
    rows.push_back({"<t>" + Html(w.orauser), "<t>" + Html(w.program), "<t>" + Html(w.host), "<t>" + Html(w.ip),
                    "<t>" + Html(w.osuser), "<t>" + Html(w.service), Num(w.execs), TextMs(w.total), Num(w.errors)});
  }
  s << "<h3>Who ran it</h3>\n"
    << HtmlTable({"user", "program", "host", "IP", "OS user", "service", "executions", "total (ms)", "errors"}, rows);
  rows.clear();
  for (const ErrorRow& e : d.error_codes) rows.push_back({"ORA-" + Num(e.code), Num(e.execs), Html(e.last)});
  s << "<h3>Errors</h3>\n" << HtmlTable({"error", "executions", "last"}, rows);
  if (!d.variants.empty()) {
    rows.clear();
    for (const Variant& v : d.variants) {
      rows.push_back({Num(v.sql_id), Num(v.execs), TextMs(v.total), "<t>" + Html(v.text)});
    }
    s << "<h3>Variants (same fingerprint)</h3>\n"
      << HtmlTable({"sql_id", "executions", "total (ms)", "text"}, rows);
  }
  return s.str();
}

void StatementJson(const StatementData& d, const Filters& f, std::ostream& out) {
  out << "{\"report\": \"statement\", \"scope\": "
      << JsonString(d.scope.fingerprint_hash.empty() ? "statement" : "fingerprint")
      << ", \"id\": " << JsonString(d.id) << ", \"fingerprint_hash\": " << JsonString(d.fingerprint_hash)
      << ", \"since\": " << JsonString(platform::FormatTimestamp(f.since))
      << ", \"until\": " << JsonString(platform::FormatTimestamp(f.until))
      << ",\n \"text\": " << JsonString(d.text) << ", \"fingerprint\": " << JsonString(d.fingerprint)
      << ",\n \"summary\": {\"executions\": " << Num(d.execs) << ", \"total_ms\": " << Num(d.total)
      << ", \"avg_ms\": " << Num(d.Avg()) << ", \"min_ms\": " << Num(d.min) << ", \"p50_ms\": "
      << Num(d.ranked.p50) << ", \"p95_ms\": " << Num(d.ranked.p95) << ", \"p99_ms\": " << Num(d.ranked.p99)
      << ", \"max_ms\": " << Num(d.max) << ", \"rows\": " << Num(d.rows) << ", \"errors\": " << Num(d.errors)
      << ", \"first_seen\": " << JsonString(d.ranked.first) << ", \"last_seen\": " << JsonString(d.ranked.last)
      << "},\n \"variants\": [";
  for (size_t i = 0; i < d.variants.size(); ++i) {
    const Variant& v = d.variants[i];
    out << (i ? ", " : "") << "{\"sql_id\": " << Num(v.sql_id) << ", \"executions\": " << Num(v.execs)
        << ", \"total_ms\": " << Num(v.total) << ", \"text\": " << JsonString(v.text) << "}";
  }
  out << "],\n \"histogram\": [";
  for (int b = 0; b < kBuckets; ++b) {
    out << (b ? ", " : "") << "{\"bucket\": " << b << ", \"label\": " << JsonString(BucketLabel(b))
        << ", \"from_ms\": " << Num(kBucketFrom[b]) << ", \"to_ms\": " << (b + 1 < kBuckets ? BucketTo(b) : "null")
        << ", \"executions\": " << Num(d.buckets[b].execs) << ", \"total_ms\": " << Num(d.buckets[b].total) << "}";
  }
  out << "],\n \"per_hour\": [";
  for (size_t i = 0; i < d.hours.size(); ++i) {
    const HourRow& h = d.hours[i];
    out << (i ? ", " : "") << "{\"hour\": " << JsonString(h.hour) << ", \"executions\": " << Num(h.execs)
        << ", \"total_ms\": " << Num(h.total) << ", \"errors\": " << Num(h.errors) << "}";
  }
  out << "],\n \"who\": [";
  for (size_t i = 0; i < d.who.size(); ++i) {
    const WhoRow& w = d.who[i];
    out << (i ? ",\n  " : "") << "{\"orauser\": " << JsonString(w.orauser) << ", \"program\": " << JsonString(w.program)
        << ", \"host\": " << JsonString(w.host) << ", \"ip\": " << JsonString(w.ip) << ", \"os_user\": "
        << JsonString(w.osuser) << ", \"service_name\": " << JsonString(w.service) << ", \"executions\": "
        << Num(w.execs) << ", \"total_ms\": " << Num(w.total) << ", \"errors\": " << Num(w.errors) << "}";
  }
  out << "],\n \"errors\": [";
  for (size_t i = 0; i < d.error_codes.size(); ++i) {
    const ErrorRow& e = d.error_codes[i];
    out << (i ? ", " : "") << "{\"error_code\": " << Num(e.code) << ", \"executions\": " << Num(e.execs)
        << ", \"last_seen\": " << JsonString(e.last) << "}";
  }
  out << "]}\n";
}

// One CSV of every section: the section's columns filled, the others empty.
void StatementCsv(const StatementData& d, std::ostream& out) {
  enum Col { kSection, kSqlId, kBucket, kFrom, kTo, kHour, kUser, kProgram, kHost, kIp, kOsUser,
             kService, kError, kExecs, kTotal, kAvg, kMin, kP50, kP95, kP99, kMax, kRows, kErrors,
             kFirst, kLast, kText, kCols };
  out << "section,sql_id,bucket,from_ms,to_ms,hour,orauser,program,host,ip,os_user,service_name,"
         "error_code,executions,total_ms,avg_ms,min_ms,p50_ms,p95_ms,p99_ms,max_ms,rows,errors,"
         "first_seen,last_seen,text\n";
  auto emit = [&](std::vector<std::string> row) {
    for (size_t c = 0; c < row.size(); ++c) out << (c ? "," : "") << CsvCell(row[c]);
    out << "\n";
  };
  std::vector<std::string> r(kCols);
  r[kSection] = "summary";
  r[kSqlId] = d.scope.fingerprint_hash.empty() ? d.id : "";
  r[kExecs] = Num(d.execs);
  r[kTotal] = Num(d.total);
  r[kAvg] = Num(d.Avg());
  r[kMin] = Num(d.min);
  r[kP50] = Num(d.ranked.p50);
  r[kP95] = Num(d.ranked.p95);
  r[kP99] = Num(d.ranked.p99);
  r[kMax] = Num(d.max);
  r[kRows] = Num(d.rows);
  r[kErrors] = Num(d.errors);
  r[kFirst] = d.ranked.first;
  r[kLast] = d.ranked.last;
  r[kText] = d.text;
  emit(r);
  for (const Variant& v : d.variants) {
    std::vector<std::string> row(kCols);
    row[kSection] = "variant";
    row[kSqlId] = Num(v.sql_id);
    row[kExecs] = Num(v.execs);
    row[kTotal] = Num(v.total);
    row[kText] = v.text;
    emit(row);
  }
  for (int b = 0; b < kBuckets; ++b) {
    std::vector<std::string> row(kCols);
    row[kSection] = "histogram";
    row[kBucket] = BucketLabel(b);
    row[kFrom] = Num(kBucketFrom[b]);
    row[kTo] = BucketTo(b);
    row[kExecs] = Num(d.buckets[b].execs);
    row[kTotal] = Num(d.buckets[b].total);
    emit(row);
  }
  for (const HourRow& h : d.hours) {
    std::vector<std::string> row(kCols);
    row[kSection] = "hour";
    row[kHour] = h.hour;
    row[kExecs] = Num(h.execs);
    row[kTotal] = Num(h.total);
    row[kErrors] = Num(h.errors);
    emit(row);
  }
  for (const WhoRow& w : d.who) {
    std::vector<std::string> row(kCols);
    row[kSection] = "who";
    row[kUser] = w.orauser;
    row[kProgram] = w.program;
    row[kHost] = w.host;
    row[kIp] = w.ip;
    row[kOsUser] = w.osuser;
    row[kService] = w.service;
    row[kExecs] = Num(w.execs);
    row[kTotal] = Num(w.total);
    row[kErrors] = Num(w.errors);
    emit(row);
  }
  for (const ErrorRow& e : d.error_codes) {
    std::vector<std::string> row(kCols);
    row[kSection] = "error";
    row[kError] = Num(e.code);
    row[kExecs] = Num(e.execs);
    row[kLast] = e.last;
    emit(row);
  }
}

// Text lines of at most `width` characters.
std::string Wrap(const std::string& text, size_t width) {
  std::string out;
  const std::string one = OneLine(text);
  for (size_t at = 0; at < one.size(); at += width) out += one.substr(at, width) + "\n";
  return out;
}

void StatementText(const StatementData& d, size_t width, std::ostream& out) {
  out << Title(d);
  if (!d.fingerprint_hash.empty() && d.scope.fingerprint_hash.empty()) out << " (fingerprint " << d.fingerprint_hash << ")";
  out << "\n" << Wrap(d.text, width);
  out << "Executions " << Num(d.execs) << ", total " << TextMs(d.total) << " ms, avg " << TextMs(d.Avg())
      << " ms, errors " << Num(d.errors) << ", rows " << Num(d.rows) << "\n"
      << "Time (ms): min " << TextMs(d.min) << ", p50 " << TextMs(d.ranked.p50) << ", p95 "
      << TextMs(d.ranked.p95) << ", p99 " << TextMs(d.ranked.p99) << ", max " << TextMs(d.max) << "\n"
      << "First " << d.ranked.first << ", last " << d.ranked.last << "\n";
  if (!d.variants.empty()) {
    std::vector<std::vector<std::string>> rows;
    for (const Variant& v : d.variants) rows.push_back({Num(v.sql_id), Num(v.execs), TextMs(v.total), OneLine(v.text)});
    out << "\nVariants (statements with the same fingerprint)\n"
        << TextTable({"SQL_ID", "EXECS", "TOTAL_MS", "TEXT"}, rows, {true, true, true, false},
                     {false, false, false, true}, width);
  }
  double most = 0;
  for (const BucketRow& b : d.buckets) most = std::max(most, b.execs);
  std::vector<std::vector<std::string>> rows;
  const size_t bar_room = width > 40 ? width - 40 : 10;
  for (int b = 0; b < kBuckets; ++b) {
    const size_t n = most > 0 ? static_cast<size_t>(std::round(bar_room * d.buckets[b].execs / most)) : 0;
    rows.push_back({BucketLabel(b), Num(d.buckets[b].execs), TextMs(d.buckets[b].total), std::string(n, '#')});
  }
  out << "\nTime distribution\n"
      << TextTable({"TIME", "EXECS", "TOTAL_MS", ""}, rows, {false, true, true, false}, {false, false, false, true}, width);
  rows.clear();
  double day_total = 0;
  // More than two days of hours read better as days (CSV, JSON and HTML keep the hours).
  const bool by_day = d.hours.size() > 48;
  for (const HourRow& h : d.hours) {
    const std::string label = by_day ? h.hour.substr(0, 10) : h.hour + "h";
    if (by_day && !rows.empty() && rows.back()[0] == label) {
      std::vector<std::string>& last = rows.back();
      last[1] = Num(std::stod(last[1]) + h.execs);
      day_total += h.total;
      last[2] = TextMs(day_total);
      last[3] = Num(std::stod(last[3]) + h.errors);
      continue;
    }
    day_total = h.total;
    rows.push_back({label, Num(h.execs), TextMs(h.total), Num(h.errors)});
  }
  out << (by_day ? "\nExecutions per day\n" : "\nExecutions per hour\n")
      << TextTable({by_day ? "DAY" : "HOUR", "EXECS", "TOTAL_MS", "ERRS"}, rows, {false, true, true, true}, {false, false, false, false}, width);
  rows.clear();
  for (const WhoRow& w : d.who) {
    rows.push_back({Num(w.execs), TextMs(w.total), Num(w.errors), w.orauser, w.program, w.host, w.ip, w.osuser, w.service});
  }
  out << "\nWho ran it\n"
      << TextTable({"EXECS", "TOTAL_MS", "ERRS", "USER", "PROGRAM", "HOST", "IP", "OS_USER", "SERVICE"}, rows,
                   {true, true, true, false, false, false, false, false, false},
                   {false, false, false, true, true, true, true, true, true}, width);
  rows.clear();
  for (const ErrorRow& e : d.error_codes) rows.push_back({"ORA-" + Num(e.code), Num(e.execs), e.last});
  out << "\nErrors\n"
      << TextTable({"ERROR", "EXECS", "LAST"}, rows, {false, true, false}, {false, false, false}, width);
}

}  // namespace

int StatementReport(Session& session, const std::string& id, const Options& options, std::ostream& out) {
  const std::string format = Opt(options, "--format", "text");
  const size_t limit = static_cast<size_t>(NumberOpt(options, "--limit", 20));
  const size_t width = static_cast<size_t>(std::max(40.0, NumberOpt(options, "--width", 80)));
  const Scope scope = ParseId(id);
  const Filters f = ReadFilters(session, options);
  const StatementData d = LoadStatement(session, f, scope, scope.fingerprint_hash.empty() ? id : scope.fingerprint_hash, limit);
  if (format == "json") {
    StatementJson(d, f, out);
  } else if (format == "csv") {
    StatementCsv(d, out);
  } else if (format == "html") {
    HtmlBegin(out, Title(d), f);
    out << StatementHtml(d, "s" + d.id);
    HtmlEnd(out);
  } else {
    StatementText(d, width, out);
  }
  return 0;
}

int SessionsReport(Session& session, const Options& options, std::ostream& out) {
  const std::string format = Opt(options, "--format", "text");
  const std::string group = Opt(options, "--group-by", "user");
  static const std::set<std::string> kGroups = {"user", "program", "host", "ip", "osuser", "service"};
  if (!kGroups.count(group)) throw ReportUsageError("--group-by must be one of user, program, host, ip, osuser, service");
  const size_t limit = static_cast<size_t>(NumberOpt(options, "--limit", 20));
  const size_t width = static_cast<size_t>(std::max(40.0, NumberOpt(options, "--width", 80)));
  const Filters f = ReadFilters(session, options);
  struct Row {
    std::string value, first, last;
    double execs, total, max, errors, statements, sessions;
  };
  std::vector<Row> rows;
  double grand_total = 0;
  {
    auto q = session.NewQuery(SqlId::kReportSessions);
    BindFilters(*q, f);
    q->SetString("group_by", group);
    q->Open();
    for (; !q->Eof(); q->Next()) {
      grand_total += q->FieldAsNumber("total_ms");
      if (rows.size() >= limit) continue;
      rows.push_back({q->FieldAsString("grp"), q->FieldAsString("first_seen"), q->FieldAsString("last_seen"),
                      q->FieldAsNumber("execs"), q->FieldAsNumber("total_ms"), q->FieldAsNumber("max_ms"),
                      q->FieldAsNumber("errors"), q->FieldAsNumber("statements"), q->FieldAsNumber("sessions")});
    }
  }
  auto avg = [](const Row& r) { return r.execs ? r.total / r.execs : 0; };
  if (format == "json") {
    out << "{\"report\": \"sessions\", \"group_by\": " << JsonString(group)
        << ", \"since\": " << JsonString(platform::FormatTimestamp(f.since))
        << ", \"until\": " << JsonString(platform::FormatTimestamp(f.until))
        << ", \"total_time_ms\": " << Num(grand_total) << ", \"items\": [";
    for (size_t n = 0; n < rows.size(); ++n) {
      const Row& r = rows[n];
      out << (n ? ",\n  " : "\n  ") << "{\"rank\": " << n + 1 << ", \"value\": " << JsonString(r.value)
          << ", \"executions\": " << Num(r.execs) << ", \"total_ms\": " << Num(r.total) << ", \"avg_ms\": "
          << Num(avg(r)) << ", \"max_ms\": " << Num(r.max) << ", \"errors\": " << Num(r.errors)
          << ", \"statements\": " << Num(r.statements) << ", \"sessions\": " << Num(r.sessions)
          << ", \"share_pct\": " << Share(r.total, grand_total) << ", \"first_seen\": " << JsonString(r.first)
          << ", \"last_seen\": " << JsonString(r.last) << "}";
    }
    out << "\n]}\n";
    return 0;
  }
  if (format == "csv") {
    out << "rank," << group << ",executions,total_ms,avg_ms,max_ms,errors,statements,sessions,share_pct,"
        << "first_seen,last_seen\n";
    for (size_t n = 0; n < rows.size(); ++n) {
      const Row& r = rows[n];
      out << n + 1 << "," << CsvCell(r.value) << "," << Num(r.execs) << "," << Num(r.total) << ","
          << Num(avg(r)) << "," << Num(r.max) << "," << Num(r.errors) << "," << Num(r.statements) << ","
          << Num(r.sessions) << "," << Share(r.total, grand_total) << "," << r.first << "," << r.last << "\n";
    }
    return 0;
  }
  std::vector<std::vector<std::string>> cells;
  for (size_t n = 0; n < rows.size(); ++n) {
    const Row& r = rows[n];
    if (format == "html") {
      cells.push_back({Num(static_cast<double>(n + 1)), "<t>" + Html(r.value), Num(r.execs), TextMs(r.total),
                       TextMs(avg(r)), TextMs(r.max), Num(r.errors), Num(r.statements), Num(r.sessions),
                       Pct(r.total, grand_total), Html(r.first), Html(r.last)});
    } else {
      cells.push_back({Num(static_cast<double>(n + 1)), r.value, Num(r.execs), TextMs(r.total), TextMs(avg(r)),
                       Num(r.errors), Num(r.statements), Num(r.sessions), Num(std::round(grand_total > 0 ? 100 * r.total / grand_total : 0)) + "%"});
    }
  }
  if (format == "html") {
    HtmlBegin(out, "Executions by " + group, f);
    out << HtmlTable({"#", group, "executions", "total (ms)", "avg (ms)", "max (ms)", "errors", "statements",
                      "sessions", "share (%)", "first", "last"}, cells);
    HtmlEnd(out);
    return 0;
  }
  std::string key = group;
  for (char& c : key) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  out << TextTable({"#", key, "EXECS", "TOTAL_MS", "AVG_MS", "ERRS", "STMTS", "SESS", "SHARE"}, cells,
                   {true, false, true, true, true, true, true, true, true},
                   {false, true, false, false, false, false, false, false, false}, width)
      << "Total time " << TextMs(grand_total) << " ms; times in milliseconds.\n";
  return 0;
}

std::string TopTableHtml(const TopResult& top, const std::string& by, size_t linked) {
  std::vector<std::vector<std::string>> rows;
  for (size_t n = 0; n < top.items.size(); ++n) {
    const Item& i = top.items[n];
    const std::string key =
        n < linked ? "<a href=\"#s" + Html(i.key) + "\">" + Html(i.key) + "</a>" : Html(i.key);
    rows.push_back({Num(static_cast<double>(n + 1)), key, Num(i.execs), TextMs(i.total), TextMs(i.Avg()),
                    TextMs(i.ranked.p50), TextMs(i.ranked.p95), TextMs(i.ranked.p99), TextMs(i.max), Num(i.rows),
                    Num(i.errors), Pct(i.total, top.grand_total), "<t>" + Html(Cut(OneLine(i.text), 300))});
  }
  return HtmlTable({"#", by == "statement" ? "sql_id" : "fingerprint", "executions", "total (ms)", "avg (ms)",
                    "p50 (ms)", "p95 (ms)", "p99 (ms)", "max (ms)", "rows", "errors", "share (%)", "text"},
                   rows);
}

int OverviewReport(Session& session, const Options& options, std::ostream& out) {
  const size_t limit = static_cast<size_t>(NumberOpt(options, "--limit", 20));
  const size_t sections = static_cast<size_t>(NumberOpt(options, "--sections", 5));
  const Filters f = ReadFilters(session, options);
  const TopResult statements = RankTop(session, f, "statement", "total", limit);
  const TopResult fingerprints = RankTop(session, f, "fingerprint", "total", limit);
  std::vector<HourRow> hours;
  Each(session, SqlId::kReportAllPerHour, f, nullptr, [&](Query& q) {
    hours.push_back({q.FieldAsString("hour"), q.FieldAsNumber("execs"), q.FieldAsNumber("total_ms"),
                     q.FieldAsNumber("errors")});
  });
  std::vector<ErrorRow> errors;
  Each(session, SqlId::kReportAllErrors, f, nullptr, [&](Query& q) {
    errors.push_back({q.FieldAsNumber("error_code"), q.FieldAsNumber("execs"), q.FieldAsString("last_seen")});
  });
  double error_count = 0;
  for (const ErrorRow& e : errors) error_count += e.execs;

  HtmlBegin(out, "Quorvex report", f);
  out << "<h2 id=\"overview\">Overview</h2>\n"
      << HtmlTable({"executions", "total time (ms)", "avg (ms)", "statements", "fingerprints", "failed executions"},
                   {{Num(statements.grand_execs), TextMs(statements.grand_total),
                     TextMs(statements.grand_execs ? statements.grand_total / statements.grand_execs : 0),
                     Num(static_cast<double>(statements.count)), Num(static_cast<double>(fingerprints.count)),
                     Num(error_count)}});
  std::vector<Bar> execs, times;
  for (const HourRow& h : hours) {
    const std::string label = h.hour.substr(std::min<size_t>(5, h.hour.size())) + "h";
    execs.push_back({label, h.execs});
    times.push_back({label, h.total});
  }
  out << BarChart("Executions per hour", "executions", execs) << BarChart("Time per hour", "ms", times);
  out << "<h2 id=\"fingerprints\">Top fingerprints by time</h2>\n" << TopTableHtml(fingerprints, "fingerprint", 0);
  std::vector<std::vector<std::string>> rows;
  for (const ErrorRow& e : errors) rows.push_back({"ORA-" + Num(e.code), Num(e.execs), Html(e.last)});
  out << "<h2 id=\"errors\">Errors</h2>\n" << HtmlTable({"error", "executions", "last"}, rows);
  out << "<h2 id=\"statements\">Top statements by time</h2>\n" << TopTableHtml(statements, "statement", sections);
  for (size_t n = 0; n < statements.items.size() && n < sections; ++n) {
    const Item& i = statements.items[n];
    out << StatementHtml(LoadStatement(session, f, i.scope, i.key, limit), "s" + i.key);
  }
  HtmlEnd(out);
  return 0;
}

}  // namespace qx::admin::report
