// The reports' shared pieces (report_common.h): filters, scopes, percentiles, the top
// ranking, cell formats and the HTML page parts.
#include "admin/report_common.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <set>
#include <sstream>

#include "admin/report.h"
#include "platform/datetime.h"
#include "repository/upgrade.h"

namespace qx::admin::report {

using repository::Query;
using repository::Session;
using repository::SqlId;

const double kBucketFrom[kBuckets] = {0, 1, 2, 5, 10, 20, 50, 100, 200, 500, 1000, 2000, 5000, 10000};

std::string Opt(const Options& o, const std::string& k, const std::string& def) {
  const auto it = o.find(k);
  return it == o.end() ? def : it->second;
}

double NumberOpt(const Options& o, const std::string& name, double def) {
  const std::string v = Opt(o, name);
  if (v.empty()) return def;
  if (v.find_first_not_of("0123456789.") != std::string::npos ||
      std::count(v.begin(), v.end(), '.') > 1 || v == ".") {
    throw ReportUsageError(name + " must be a number, not \"" + v + "\"");
  }
  return std::stod(v);
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
  char rest = 0;
  const int got = std::sscanf(v.c_str(), "%4d-%2d-%2d %2d:%2d:%2d%c", &y, &mo, &d, &h, &mi, &s, &rest);
  const bool ranges = mo >= 1 && mo <= 12 && d >= 1 && d <= 31 && h <= 23 && mi <= 59 && s <= 59 &&
                      h >= 0 && mi >= 0 && s >= 0 && y >= 1900;
  if ((got != 3 && got != 5 && got != 6) || !ranges) {
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

Filters ReadFilters(Session& session, const Options& options) {
  Filters f;
  if (options.count("--since")) f.since = When("--since", Opt(options, "--since"));
  if (options.count("--until")) f.until = When("--until", Opt(options, "--until"));
  f.windowed = options.count("--since") || options.count("--until");
  f.orauser = Opt(options, "--user");
  f.program = Opt(options, "--program");
  f.host = Opt(options, "--host");
  f.min_time = NumberOpt(options, "--min-time", 0);
  if (options.count("--service")) {
    auto q = session.NewQuery(SqlId::kLoadService);
    std::string name = Opt(options, "--service");
    for (char& c : name) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    q->SetString("name", name);
    q->Open();
    if (q->Eof()) throw ReportUsageError("There is no monitored service named " + Opt(options, "--service"));
    f.srvc_id = q->FieldAsNumber("id");
    f.service = q->FieldAsString("name");
  }
  if (!repository::HasColumns(session, "qx_client_sql_history", {"rows_processed", "error_code"}) ||
      !repository::HasColumns(session, "qx_client_sql", {"fingerprint_hash"})) {
    throw std::runtime_error("The repository lacks the columns reports read; run qxadmin upgrade CONNECT_STRING first");
  }
  // SQLite sorts the groups of a large history faster with a helper thread.
  if (session.Kind() == repository::Backend::kSqlite) {
    session.NewFreeStatement("PRAGMA threads = 2")->Execute();
  }
  return f;
}

void BindFilters(Query& q, const Filters& f) {
  q.SetDateTime("since", f.since);
  q.SetDateTime("until", f.until);
  q.SetNumber("srvc_id", f.srvc_id);
  q.SetString("orauser", f.orauser);
  q.SetString("program", f.program);
  q.SetString("host", f.host);
  q.SetNumber("min_time", f.min_time);
}

void BindScope(Query& q, const Scope& s) {
  q.SetNumber("sql_id", s.sql_id);
  q.SetString("fingerprint_hash", s.fingerprint_hash);
}

Ranked RankTimes(Session& session, const Filters& f, const Scope& scope) {
  Ranked r;
  const bool unfiltered = f.srvc_id == 0 && f.orauser.empty() && f.program.empty() && f.host.empty();
  auto q = session.NewQuery(unfiltered ? SqlId::kReportTimesAtRanksUnfiltered : SqlId::kReportTimesAtRanks);
  q->SetDateTime("since", f.since);
  q->SetDateTime("until", f.until);
  q->SetNumber("min_time", f.min_time);
  if (!unfiltered) BindFilters(*q, f);
  BindScope(*q, scope);
  q->SetNumber("p1", 50);
  q->SetNumber("p2", 95);
  q->SetNumber("p3", 99);
  q->Open();
  for (; !q->Eof(); q->Next()) {
    // The count comes with the times, so the ranks hold even while services add rows.
    const double n = q->FieldAsNumber("n");
    const double rn = q->FieldAsNumber("rn");
    const double t = q->FieldAsNumber("exec_time");
    auto rank = [&](double percent) { return std::floor((percent * n + 99) / 100); };
    if (rn == rank(50)) r.p50 = t;
    if (rn == rank(95)) r.p95 = t;
    if (rn == rank(99)) r.p99 = t;
    r.first = q->FieldAsString("first_seen");
    r.last = q->FieldAsString("last_seen");
  }
  return r;
}

std::string BucketLabel(int b) {
  auto ms = [](double v) { return v >= 1000 ? Num(v / 1000) + " s" : Num(v) + " ms"; };
  if (b == 0) return "<1 ms";
  if (b == kBuckets - 1) return ">=" + ms(kBucketFrom[b]);
  const double from = kBucketFrom[b], to = kBucketFrom[b + 1];
  if (from >= 1000) return Num(from / 1000) + "-" + ms(to);
  if (to >= 1000) return ms(from) + "-" + ms(to);
  return Num(from) + "-" + ms(to);
}

std::string StatementText(const Query& q) {
  return q.FieldAsString("sqltext") + q.FieldAsString("sqltext1") + q.FieldAsString("sqltext2") +
         q.FieldAsString("sqltext3");
}

TopResult RankTop(Session& session, const Filters& f, const std::string& by,
                  const std::string& order, size_t limit) {
  TopResult res;
  std::map<std::string, size_t> index;
  {
    auto q = session.NewQuery(SqlId::kReportTop);
    BindFilters(*q, f);
    q->Open();
    for (; !q->Eof(); q->Next()) {
      const double id = q->FieldAsNumber("sql_id");
      const std::string fp = q->FieldAsString("fingerprint_hash");
      std::string key = by == "statement" ? Num(id) : fp;
      if (key.empty()) key = "statement " + Num(id);  // no fingerprint yet
      auto [it, added] = index.emplace(key, res.items.size());
      if (added) {
        Item item;
        item.key = key;
        if (by == "fingerprint" && !fp.empty()) {
          item.scope.fingerprint_hash = fp;
        } else {
          item.scope.sql_id = id;
        }
        res.items.push_back(std::move(item));
      }
      Item& item = res.items[it->second];
      item.execs += q->FieldAsNumber("execs");
      item.total += q->FieldAsNumber("total_ms");
      item.max = std::max(item.max, q->FieldAsNumber("max_ms"));
      item.rows += q->FieldAsNumber("row_count");
      item.errors += q->FieldAsNumber("errors");
      res.grand_total += q->FieldAsNumber("total_ms");
      res.grand_execs += q->FieldAsNumber("execs");
    }
  }
  auto rank = [&](Item& item) { item.ranked = RankTimes(session, f, item.scope); };
  if (order == "p95") {
    for (Item& item : res.items) rank(item);
  }
  auto metric = [&](const Item& i) {
    if (order == "executions") return i.execs;
    if (order == "avg") return i.Avg();
    if (order == "p95") return i.ranked.p95;
    if (order == "max") return i.max;
    if (order == "errors") return i.errors;
    if (order == "rows") return i.rows;
    return i.total;
  };
  std::stable_sort(res.items.begin(), res.items.end(), [&](const Item& a, const Item& b) {
    if (metric(a) != metric(b)) return metric(a) > metric(b);
    return a.key < b.key;
  });
  res.count = res.items.size();
  if (res.items.size() > limit) res.items.resize(limit);
  for (Item& item : res.items) {
    if (order != "p95") rank(item);
    auto q = session.NewQuery(SqlId::kReportFindStatement);
    BindScope(*q, item.scope);
    q->Open();
    if (!q->Eof()) {
      item.text = !item.scope.fingerprint_hash.empty() && !q->FieldAsString("fingerprint").empty()
                      ? q->FieldAsString("fingerprint")
                      : StatementText(*q);
    } else {
      // Executions of a statement no longer in the catalogue (purged while a service still
      // had its id) are counted and shown, not dropped.
      item.text = "(statement " + Num(item.scope.sql_id) + " is not in the catalogue)";
    }
  }
  return res;
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

std::string TextMs(double v) {
  if (v >= 10 || v == std::floor(v)) return Num(std::round(v));
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.1f", v);
  return buf;
}

std::string Share(double part, double whole) {
  return Num(whole > 0 ? std::round(100000.0 * part / whole) / 1000 : 0.0);
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
  if (!out.empty() && out.back() == ' ') out.pop_back();
  return out;
}

std::string Html(const std::string& s) {
  std::string out;
  for (char c : s) {
    switch (c) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '"': out += "&quot;"; break;
      default: out += c;
    }
  }
  return out;
}

std::string Cut(const std::string& s, size_t room) {
  if (s.size() <= room) return s;
  if (room <= 3) return s.substr(0, room);
  return s.substr(0, room - 3) + "...";
}

std::string TextTable(const std::vector<std::string>& header,
                      const std::vector<std::vector<std::string>>& rows,
                      const std::vector<bool>& right, const std::vector<bool>& flexible,
                      size_t width) {
  const size_t n = header.size();
  std::vector<size_t> w(n);
  for (size_t c = 0; c < n; ++c) {
    w[c] = header[c].size();
    for (const auto& row : rows) w[c] = std::max(w[c], row[c].size());
  }
  auto total = [&] {
    size_t t = n ? n - 1 : 0;
    for (size_t x : w) t += x;
    return t;
  };
  while (total() > width) {
    size_t widest = n;
    for (size_t c = 0; c < n; ++c) {
      if (flexible[c] && w[c] > std::max<size_t>(6, header[c].size()) && (widest == n || w[c] > w[widest])) widest = c;
    }
    if (widest == n) break;  // nothing left to narrow
    --w[widest];
  }
  std::string out;
  auto line = [&](const std::vector<std::string>& cells) {
    std::string l;
    for (size_t c = 0; c < n; ++c) {
      const std::string cell = Cut(cells[c], w[c]);
      const std::string pad(w[c] - cell.size(), ' ');
      if (c) l += ' ';
      l += right[c] ? pad + cell : (c + 1 == n ? cell : cell + pad);
    }
    while (!l.empty() && l.back() == ' ') l.pop_back();
    out += l + "\n";
  };
  line(header);
  for (const auto& row : rows) line(row);
  return out;
}

void HtmlBegin(std::ostream& out, const std::string& title, const Filters& f) {
  out << "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">\n<title>" << Html(title)
      << "</title>\n<style>\n"
         "body{font-family:sans-serif;margin:1.5em;color:#222;background:#fff}\n"
         "h1{font-size:1.5em}h2{font-size:1.2em;margin-top:2em;border-bottom:1px solid #ccc}\n"
         "table{border-collapse:collapse;margin:.5em 0;font-size:.9em}\n"
         "th,td{border:1px solid #ccc;padding:.2em .5em;text-align:right;vertical-align:top}\n"
         "th{background:#eef}td.t{text-align:left;font-family:monospace;white-space:pre-wrap;min-width:28em;max-width:60em}\n"
         "p.f{color:#555}pre{background:#f6f6f6;padding:.5em;white-space:pre-wrap}\n"
         "svg{display:block;margin:.5em 0}\n"
         "</style></head><body>\n<h1>"
      << Html(title) << "</h1>\n<p class=\"f\">";
  if (f.windowed) {
    out << "Executions from " << Html(platform::FormatTimestamp(f.since)) << " to "
        << Html(platform::FormatTimestamp(f.until));
  } else {
    out << "All executions";
  }
  if (!f.service.empty()) out << ", service " << Html(f.service);
  if (!f.orauser.empty()) out << ", user " << Html(f.orauser);
  if (!f.program.empty()) out << ", program " << Html(f.program);
  if (!f.host.empty()) out << ", host " << Html(f.host);
  if (f.min_time > 0) out << ", at least " << Num(f.min_time) << " ms";
  out << ". Times in milliseconds. Made " << Html(platform::FormatTimestamp(platform::NowDateTime()))
      << ".</p>\n";
}

void HtmlEnd(std::ostream& out) { out << "</body></html>\n"; }

std::string BarChart(const std::string& title, const std::string& unit, const std::vector<Bar>& bars) {
  const double w = 760, h = 220, left = 70, bottom = 50, top = 24;
  double max = 0;
  for (const Bar& b : bars) max = std::max(max, b.value);
  std::ostringstream s;
  s << "<svg width=\"" << w << "\" height=\"" << h
    << "\" role=\"img\" aria-label=\"" << Html(title) << "\">"
    << "<text x=\"" << left << "\" y=\"16\" font-size=\"13\" font-weight=\"bold\">" << Html(title)
    << " (" << Html(unit) << ")</text>";
  const double plot_w = w - left - 10, plot_h = h - bottom - top;
  s << "<line x1=\"" << left << "\" y1=\"" << top + plot_h << "\" x2=\"" << w - 10 << "\" y2=\""
    << top + plot_h << "\" stroke=\"#888\"/>";
  s << "<text x=\"" << left - 4 << "\" y=\"" << top + 10 << "\" font-size=\"11\" text-anchor=\"end\">"
    << Html(TextMs(max)) << "</text><text x=\"" << left - 4 << "\" y=\"" << top + plot_h
    << "\" font-size=\"11\" text-anchor=\"end\">0</text>";
  if (bars.empty()) {
    s << "<text x=\"" << left + 10 << "\" y=\"" << top + plot_h / 2 << "\" font-size=\"12\">no executions</text>";
  }
  const double slot = bars.empty() ? plot_w : plot_w / static_cast<double>(bars.size());
  const size_t label_every = std::max<size_t>(1, bars.size() / 12 + (bars.size() % 12 ? 1 : 0));
  char buf[64];
  for (size_t i = 0; i < bars.size(); ++i) {
    const double bh = max > 0 ? plot_h * bars[i].value / max : 0;
    const double x = left + slot * static_cast<double>(i);
    std::snprintf(buf, sizeof buf, "%.1f", x + slot * 0.1);
    s << "<rect x=\"" << buf << "\" y=\"";
    std::snprintf(buf, sizeof buf, "%.1f", top + plot_h - bh);
    s << buf << "\" width=\"";
    std::snprintf(buf, sizeof buf, "%.1f", std::max(1.0, slot * 0.8));
    s << buf << "\" height=\"";
    std::snprintf(buf, sizeof buf, "%.1f", bh);
    s << buf << "\" fill=\"#4a74c9\"><title>" << Html(bars[i].label) << ": " << Html(Num(bars[i].value))
      << " " << Html(unit) << "</title></rect>";
    if (i % label_every == 0) {
      std::snprintf(buf, sizeof buf, "%.1f", x + slot / 2);
      s << "<text x=\"" << buf << "\" y=\"" << top + plot_h + 14
        << "\" font-size=\"10\" text-anchor=\"middle\">" << Html(bars[i].label) << "</text>";
    }
  }
  s << "</svg>\n";
  return s.str();
}

std::string HtmlTable(const std::vector<std::string>& header,
                      const std::vector<std::vector<std::string>>& rows) {
  std::string out = "<table><tr>";
  for (const std::string& h : header) out += "<th>" + Html(h) + "</th>";
  out += "</tr>\n";
  for (const auto& row : rows) {
    out += "<tr>";
    for (const std::string& cell : row) {
      const bool text = cell.rfind("<t>", 0) == 0;  // a text cell: left-aligned, monospace
      out += text ? "<td class=\"t\">" + cell.substr(3) + "</td>" : "<td>" + cell + "</td>";
    }
    out += "</tr>\n";
  }
  if (rows.empty()) out += "<tr><td colspan=\"" + std::to_string(header.size()) + "\">none</td></tr>\n";
  return out + "</table>\n";
}

}  // namespace qx::admin::report
