// The reports on a generated workload whose truth the test computes on its own: every figure
// of top, statement and sessions, under every filter, in CSV, JSON (checked against its
// schema), text and HTML; the HTML report in a real browser; purge beside a writer.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <thread>

#include "admin/admin.h"
#include "admin/purge.h"
#include "admin/report_common.h"
#include "platform/datetime.h"
#include "repository/session_factory.h"
#include "support/service_fixture.h"

namespace qx::admin {
namespace {

using report::Num;

struct Row {
  int sql_id, srvc_id, session;
  std::string date, user, program, host, ip, osuser, service;
  double time;
  int rows;  // -1: unknown
  int error;
};

const double kTimes[] = {0.5, 1.5, 3, 7, 15, 30, 70, 150, 300, 700, 1500, 3000, 7000, 12000};

// 600 executions over the last 70 hours: four statements (1 and 2 differ only in a literal),
// three users, two programs, four hosts, two services; one in eleven fails with ORA-00942,
// one in thirteen with ORA-00001.
std::vector<Row> Workload(double now) {
  static const char* users[] = {"SCOTT", "ALICE", "BOB"};
  std::vector<Row> rows;
  for (int k = 0; k < 600; ++k) {
    Row r;
    r.sql_id = 1 + (k * k + 3 * k) % 7 % 4;
    r.srvc_id = k % 6 == 0 ? 2 : 1;
    r.session = 100 + k % 9;
    r.date = platform::FormatTimestamp(now - (k * 7 + 0.5) / 1440.0);
    r.user = users[k % 3];
    r.program = k % 2 ? "python3" : "sqlplus";
    r.host = "h" + std::to_string(1 + k % 4);
    r.ip = "10.0.0." + std::to_string(1 + k % 4);
    r.osuser = (k / 2) % 2 ? "app" : "oracle";
    r.service = k % 5 == 0 ? "SALES" : "ORCLPDB1";
    r.time = kTimes[(k * 5) % 14] + (k % 3) * 0.25;
    r.rows = k % 10 == 0 ? -1 : k % 4;
    r.error = k % 11 == 0 ? 942 : k % 13 == 0 ? 1 : 0;
    rows.push_back(r);
  }
  return rows;
}

using Pred = std::function<bool(const Row&)>;

// Figures of a set of rows, computed here from the rows themselves.
struct Figures {
  double execs = 0, total = 0, min = 1e300, max = 0, rows = 0, errors = 0;
  std::vector<double> times;
  std::string first = "9", last;
  void Add(const Row& r) {
    ++execs;
    total += r.time;
    min = std::min(min, r.time);
    max = std::max(max, r.time);
    rows += r.rows > 0 ? r.rows : 0;
    errors += r.error != 0;
    times.push_back(r.time);
    first = std::min(first, r.date);
    last = std::max(last, r.date);
  }
  double P(double p) {
    std::sort(times.begin(), times.end());
    const size_t rank = static_cast<size_t>(std::ceil(p * static_cast<double>(times.size()) - 1e-9));
    return times[std::max<size_t>(rank, 1) - 1];
  }
  std::string Avg() const { return Num(total / execs); }
};

std::string CsvLine(const std::vector<std::string>& cells) {
  std::string out;
  for (size_t i = 0; i < cells.size(); ++i) out += (i ? "," : "") + report::CsvCell(cells[i]);
  return out + "\n";
}

class Reports : public ::testing::Test {
 protected:
  void SetUp() override {
    f.AddService(1, "ORCL", 1522, 1523);
    f.AddService(2, "OTHER", 1532, 1533);
    now = platform::NowDateTime();
    rows = Workload(now);
    std::string sql =
        "insert into qx_client_sql (id, sqlhash, sqltext) values (1, 'h1', 'select * from emp where empno = 1'),"
        "(2, 'h2', 'select * from emp where empno = 2'), (3, 'h3', 'update t set a = 1'),"
        "(4, 'h4', 'delete from t where b = ''x''');"
        "insert into qx_client_sql_history (id, sql_id, srvc_id, exec_date, exec_time, session_id, host, ip, "
        "orauser, service_name, sid, program, username, rows_processed, error_code) values ";
    for (size_t i = 0; i < rows.size(); ++i) {
      const Row& r = rows[i];
      char buf[512];
      std::snprintf(buf, sizeof buf, "%s(%zu, %d, %d, '%s', %s, %d, '%s', '%s', '%s', '%s', 'ORCL', '%s', '%s', %s, %d)",
                    i ? "," : "", i + 1, r.sql_id, r.srvc_id, r.date.c_str(), Num(r.time).c_str(), r.session,
                    r.host.c_str(), r.ip.c_str(), r.user.c_str(), r.service.c_str(), r.program.c_str(),
                    r.osuser.c_str(), r.rows < 0 ? "NULL" : std::to_string(r.rows).c_str(), r.error);
      sql += buf;
    }
    f.Exec(sql);
    std::string out;
    ASSERT_EQ(Run({"upgrade", cs()}, &out), 0) << out;
    fp = f.Scalar("select fingerprint_hash from qx_client_sql where id = 1");
    ASSERT_EQ(fp.size(), 16u);
  }
  std::string cs() { return "sqlite:" + f.dir.File("repo.db"); }
  int Run(std::vector<std::string> args, std::string* out) {
    std::ostringstream o, e;
    const int rc = RunAdmin(args, f.dir.Dir(), o, e);
    *out = o.str() + e.str();
    return rc;
  }
  std::string Report(const std::string& what, std::vector<std::string> args) {
    std::vector<std::string> all = {"-r", cs(), "report"};
    std::istringstream words(what);
    for (std::string w; words >> w;) all.push_back(w);
    all.insert(all.end(), args.begin(), args.end());
    std::string out;
    EXPECT_EQ(Run(all, &out), 0) << out;
    return out;
  }
  // The JSON's values as PATH=VALUE lines, once it passed its schema.
  std::string CheckedJson(const std::string& schema, const std::string& json) {
    const std::string file = f.dir.File("report.json");
    std::ofstream(file) << json;
    const std::string cmd = "python3 " + std::string(QX_SOURCE_DIR) + "/tests/admin/report_json_check.py " +
                            QX_SOURCE_DIR + "/docs/" + schema + " " + file + " 2>&1";
    std::string out;
    FILE* p = popen(cmd.c_str(), "r");
    char buf[4096];
    for (size_t n; p && (n = fread(buf, 1, sizeof buf, p)) > 0;) out.append(buf, n);
    const int rc = p ? pclose(p) : -1;
    EXPECT_EQ(rc, 0) << out;
    return "\n" + out;
  }
  Figures Of(const Pred& keep) {
    Figures fig;
    for (const Row& r : rows) {
      if (keep(r)) fig.Add(r);
    }
    return fig;
  }

  test::ServiceFixture f;
  double now = 0;
  std::vector<Row> rows;
  std::string fp;
};

TEST_F(Reports, StatementAndFingerprintInEveryFormatAreTheTruth) {
  for (const bool by_fp : {false, true}) {
    const Pred in = [&](const Row& r) { return by_fp ? r.sql_id <= 2 : r.sql_id == 1; };
    Figures all = Of(in);
    const std::string id = by_fp ? fp : "1";
    SCOPED_TRACE(id);
    // CSV: every section, every figure.
    std::string want = "section,sql_id,bucket,from_ms,to_ms,hour,orauser,program,host,ip,os_user,service_name,"
                       "error_code,executions,total_ms,avg_ms,min_ms,p50_ms,p95_ms,p99_ms,max_ms,rows,errors,"
                       "first_seen,last_seen,text\n";
    want += CsvLine({"summary", by_fp ? "" : "1", "", "", "", "", "", "", "", "", "", "", "", Num(all.execs),
                     Num(all.total), all.Avg(), Num(all.min), Num(all.P(0.5)), Num(all.P(0.95)), Num(all.P(0.99)),
                     Num(all.max), Num(all.rows), Num(all.errors), all.first, all.last,
                     by_fp ? "select * from emp where empno = ?" : "select * from emp where empno = 1"});
    Figures v1 = Of([](const Row& r) { return r.sql_id == 1; });
    Figures v2 = Of([](const Row& r) { return r.sql_id == 2; });
    std::vector<std::pair<int, Figures*>> variants = {{1, &v1}, {2, &v2}};
    if (v2.total > v1.total) std::swap(variants[0], variants[1]);
    for (auto& [vid, v] : variants) {
      want += CsvLine({"variant", std::to_string(vid), "", "", "", "", "", "", "", "", "", "", "", Num(v->execs),
                       Num(v->total), "", "", "", "", "", "", "", "", "", "",
                       "select * from emp where empno = " + std::to_string(vid)});
    }
    for (int b = 0; b < report::kBuckets; ++b) {
      Figures fb = Of([&](const Row& r) {
        return in(r) && r.time >= report::kBucketFrom[b] && (b == report::kBuckets - 1 || r.time < report::kBucketFrom[b + 1]);
      });
      want += CsvLine({"histogram", "", report::BucketLabel(b), Num(report::kBucketFrom[b]),
                       b + 1 < report::kBuckets ? Num(report::kBucketFrom[b + 1]) : "", "", "", "", "", "", "", "", "",
                       Num(fb.execs), Num(fb.total), "", "", "", "", "", "", "", "", "", "", ""});
    }
    std::map<std::string, Figures> hours;
    std::map<std::vector<std::string>, Figures> who;
    std::map<int, Figures> errors;
    for (const Row& r : rows) {
      if (!in(r)) continue;
      hours[r.date.substr(0, 13)].Add(r);
      who[{r.user, r.program, r.host, r.ip, r.osuser, r.service}].Add(r);
      if (r.error) errors[r.error].Add(r);
    }
    for (auto& [hour, h] : hours) {
      want += CsvLine({"hour", "", "", "", "", hour, "", "", "", "", "", "", "", Num(h.execs), Num(h.total), "", "",
                       "", "", "", "", "", Num(h.errors), "", "", ""});
    }
    std::vector<std::pair<std::vector<std::string>, Figures>> ranked(who.begin(), who.end());
    std::stable_sort(ranked.begin(), ranked.end(), [](const auto& a, const auto& b) {
      if (a.second.execs != b.second.execs) return a.second.execs > b.second.execs;
      if (a.second.total != b.second.total) return a.second.total > b.second.total;
      return a.first < b.first;
    });
    ranked.resize(std::min<size_t>(ranked.size(), 20));
    for (auto& [k, w] : ranked) {
      want += CsvLine({"who", "", "", "", "", "", k[0], k[1], k[2], k[3], k[4], k[5], "", Num(w.execs), Num(w.total),
                       "", "", "", "", "", "", "", Num(w.errors), "", "", ""});
    }
    std::vector<std::pair<int, Figures>> codes(errors.begin(), errors.end());
    std::stable_sort(codes.begin(), codes.end(), [](const auto& a, const auto& b) { return a.second.execs > b.second.execs; });
    for (auto& [code, e] : codes) {
      want += CsvLine({"error", "", "", "", "", "", "", "", "", "", "", "", std::to_string(code), Num(e.execs), "", "",
                       "", "", "", "", "", "", "", "", e.last, ""});
    }
    EXPECT_EQ(Report("statement " + id, {"--format", "csv"}), want);

    // JSON: the schema holds, and the same figures.
    const std::string json = CheckedJson("report-statement.schema.json", Report("statement " + id, {"--format", "json"}));
    for (const std::string& line :
         {"summary.executions=" + Num(all.execs), "summary.total_ms=" + Num(all.total), "summary.p95_ms=" + Num(all.P(0.95)),
          "summary.p99_ms=" + Num(all.P(0.99)), "summary.min_ms=" + Num(all.min), "summary.errors=" + Num(all.errors),
          "summary.first_seen=\"" + all.first + "\"", "per_hour[" + std::to_string(hours.size() - 1) + "].hour=\"" +
          hours.rbegin()->first + "\"", "who[0].orauser=\"" + ranked[0].first[0] + "\"",
          "who[0].executions=" + Num(ranked[0].second.execs), "errors[0].error_code=" + std::to_string(codes[0].first),
          std::string("histogram[13].to_ms=null"), "variants[1].sql_id=" + std::to_string(variants[1].first)}) {
      EXPECT_NE(json.find("\n" + line + "\n"), std::string::npos) << line << json.substr(0, 600);
    }
    // Text: within 80 columns, with the figures.
    const std::string text = Report("statement " + id, {});
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) EXPECT_LE(line.size(), 80u) << line;
    EXPECT_NE(text.find("Executions " + Num(all.execs) + ", total " + report::TextMs(all.total) + " ms"),
              std::string::npos) << text;
    EXPECT_NE(text.find("Executions per day"), std::string::npos);  // 70 hours read as days
    const std::string html = Report("statement " + id, {"--format", "html"});
    EXPECT_NE(html.find("<td>" + Num(all.execs) + "</td><td>" + report::TextMs(all.total) + "</td><td>" +
                        report::TextMs(all.total / all.execs) + "</td><td>" + report::TextMs(all.min) + "</td><td>" +
                        report::TextMs(all.P(0.5)) + "</td><td>" + report::TextMs(all.P(0.95)) + "</td>"),
              std::string::npos) << html.substr(0, 3000);
  }
  std::string out;
  EXPECT_EQ(Run({"-r", cs(), "report", "statement", "12x"}, &out), 2) << out;
  EXPECT_EQ(Run({"-r", cs(), "report", "statement", "99"}, &out), 1) << out;
  EXPECT_NE(out.find("no statement with id 99"), std::string::npos) << out;
}

TEST_F(Reports, EveryFilterKeepsTheRowsItNamesInEveryReport) {
  const std::string from = platform::FormatTimestamp(now - 30.0 / 24), to = platform::FormatTimestamp(now - 20.0 / 24);
  struct Case {
    std::vector<std::string> args;
    Pred keep;
  };
  const std::vector<Case> cases = {
      {{}, [](const Row&) { return true; }},
      {{"--service", "other"}, [](const Row& r) { return r.srvc_id == 2; }},
      {{"--since", "2h"}, [&](const Row& r) { return r.date >= platform::FormatTimestamp(now - 2.0 / 24); }},
      {{"--since", from.substr(0, 16), "--until", to}, [&](const Row& r) { return r.date >= from.substr(0, 16) && r.date < to; }},
      {{"--user", "ALICE"}, [](const Row& r) { return r.user == "ALICE"; }},
      {{"--program", "python3"}, [](const Row& r) { return r.program == "python3"; }},
      {{"--host", "h2"}, [](const Row& r) { return r.host == "h2"; }},
      {{"--min-time", "300"}, [](const Row& r) { return r.time >= 300; }},
      {{"--user", "BOB", "--host", "h3", "--min-time", "7"},
       [](const Row& r) { return r.user == "BOB" && r.host == "h3" && r.time >= 7; }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.args));
    Figures all = Of(c.keep);
    // top: every statement's figures, in rank order.
    std::vector<std::pair<int, Figures>> items;
    for (int id = 1; id <= 4; ++id) {
      Figures fi = Of([&](const Row& r) { return c.keep(r) && r.sql_id == id; });
      if (fi.execs) items.push_back({id, fi});
    }
    std::stable_sort(items.begin(), items.end(), [](const auto& a, const auto& b) { return a.second.total > b.second.total; });
    std::string want = "rank,sql_id,executions,total_ms,avg_ms,p50_ms,p95_ms,p99_ms,max_ms,rows,errors,share_pct,"
                       "first_seen,last_seen,text\n";
    static const char* texts[] = {"", "select * from emp where empno = 1", "select * from emp where empno = 2",
                                  "update t set a = 1", "delete from t where b = 'x'"};
    for (size_t n = 0; n < items.size() && n < 3; ++n) {
      auto& [id, fi] = items[n];
      want += CsvLine({std::to_string(n + 1), std::to_string(id), Num(fi.execs), Num(fi.total), fi.Avg(), Num(fi.P(0.5)),
                       Num(fi.P(0.95)), Num(fi.P(0.99)), Num(fi.max), Num(fi.rows), Num(fi.errors),
                       report::Share(fi.total, all.total), fi.first, fi.last, texts[id]});
    }
    std::vector<std::string> args = c.args;
    args.insert(args.end(), {"--format", "csv", "--limit", "3"});
    EXPECT_EQ(Report("top", args), want);
    // sessions by user.
    std::map<std::string, std::vector<const Row*>> by_user;
    for (const Row& r : rows) {
      if (c.keep(r)) by_user[r.user].push_back(&r);
    }
    std::vector<std::pair<std::string, Figures>> groups;
    for (auto& [user, list] : by_user) {
      Figures g;
      for (const Row* r : list) g.Add(*r);
      groups.push_back({user, g});
    }
    std::stable_sort(groups.begin(), groups.end(), [](const auto& a, const auto& b) { return a.second.total > b.second.total; });
    want = "rank,user,executions,total_ms,avg_ms,max_ms,errors,statements,sessions,share_pct,first_seen,last_seen\n";
    for (size_t n = 0; n < groups.size(); ++n) {
      auto& [user, g] = groups[n];
      std::set<int> statements, sessions;
      for (const Row* r : by_user[user]) {
        statements.insert(r->sql_id);
        sessions.insert(r->session);
      }
      want += CsvLine({std::to_string(n + 1), user, Num(g.execs), Num(g.total), g.Avg(), Num(g.max), Num(g.errors),
                       std::to_string(statements.size()), std::to_string(sessions.size()),
                       report::Share(g.total, all.total), g.first, g.last});
    }
    args = c.args;
    args.insert(args.end(), {"--format", "csv"});
    EXPECT_EQ(Report("sessions", args), want);
    // statement: the summary of statement 3 under the same filter.
    Figures s3 = Of([&](const Row& r) { return c.keep(r) && r.sql_id == 3; });
    const std::string csv = Report("statement 3", args);
    EXPECT_EQ(csv.substr(csv.find('\n') + 1, csv.find("\n", csv.find('\n') + 1) - csv.find('\n')),
              CsvLine({"summary", "3", "", "", "", "", "", "", "", "", "", "", "", Num(s3.execs), Num(s3.total),
                       s3.execs ? s3.Avg() : "0", Num(s3.execs ? s3.min : 0), Num(s3.execs ? s3.P(0.5) : 0),
                       Num(s3.execs ? s3.P(0.95) : 0), Num(s3.execs ? s3.P(0.99) : 0), Num(s3.max), Num(s3.rows),
                       Num(s3.errors), s3.execs ? s3.first : "", s3.last, "update t set a = 1"}));
  }
  // The other groupings, and the JSON of sessions and top against their schemas.
  for (const char* group : {"program", "host", "ip", "osuser", "service"}) {
    const std::string json = CheckedJson("report-sessions.schema.json",
                                         Report("sessions", {"--group-by", group, "--format", "json"}));
    std::map<std::string, double> execs;
    for (const Row& r : rows) {
      const std::string g = std::string(group) == "program" ? r.program : std::string(group) == "host" ? r.host
                            : std::string(group) == "ip" ? r.ip : std::string(group) == "osuser" ? r.osuser : r.service;
      ++execs[g];
    }
    for (auto& [value, n] : execs) {
      const size_t at = json.find("].value=\"" + value + "\"\n");
      ASSERT_NE(at, std::string::npos) << group << " " << value << json;
      const size_t start = json.rfind("\nitems[", at) + 1;
      const std::string index = json.substr(start, at - start);
      EXPECT_NE(json.find("\n" + index + "].executions=" + Num(n) + "\n"), std::string::npos) << index << json;
    }
  }
  const std::string top = CheckedJson("report-top.schema.json", Report("top", {"--by", "fingerprint", "--format", "json"}));
  EXPECT_NE(top.find("\nitems[0].key=\"" + fp + "\"\n"), std::string::npos) << top;
  EXPECT_NE(top.find("\nitems[0].executions=" + Num(Of([](const Row& r) { return r.sql_id <= 2; }).execs) + "\n"),
            std::string::npos) << top;
  std::string out;
  EXPECT_EQ(Run({"-r", cs(), "report", "sessions", "--group-by", "sid"}, &out), 2) << out;
  EXPECT_EQ(Run({"-r", cs(), "report", "top", "--since", "2026-13-01"}, &out), 2) << out;
}

// What an HTML file would fetch from elsewhere: a script, stylesheet, frame, image or font
// by address, or a link or source that leaves the page (in-page "#" links are fine).
std::vector<std::string> OutsideLoads(const std::string& html) {
  std::vector<std::string> found;
  static const std::regex tags(R"(<(script|link|iframe|img|object|embed|audio|video|source)\b)", std::regex::icase);
  static const std::regex attrs(R"(\b(src|href|xlink:href|action)\s*=\s*["']?\s*([^"'#\s>][^"'\s>]*))", std::regex::icase);
  static const std::regex css(R"((@import|url\s*\())", std::regex::icase);
  for (const std::regex* re : {&tags, &attrs, &css}) {
    for (auto it = std::sregex_iterator(html.begin(), html.end(), *re); it != std::sregex_iterator(); ++it) {
      found.push_back(it->str());
    }
  }
  return found;
}

std::string Slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

TEST_F(Reports, TheHtmlReportIsOneFileThatRendersInABrowser) {
  for (const char* page : {"top", "statement 3", "sessions"}) {
    const std::string one = Report(page, {"--format", "html"});
    EXPECT_EQ(OutsideLoads(one), std::vector<std::string>{}) << page;
    EXPECT_NE(one.find("<table>"), std::string::npos) << page;
  }
  const std::string html = Report("overview", {"--sections", "2"});
  EXPECT_EQ(OutsideLoads(html), std::vector<std::string>{});
  EXPECT_EQ(OutsideLoads("<img src=\"http://x/a.png\"><a href=\"#s1\">1</a><style>@import 'x.css'</style>").size(), 3u);
  for (const std::string& part : {"Executions per hour", "Time per hour", "Top fingerprints by time", "Errors",
                                  "Top statements by time", "id=\"s1\"", "Time distribution", "ORA-942"}) {
    EXPECT_NE(html.find(part), std::string::npos) << part;
  }
  EXPECT_EQ(std::count(html.begin(), html.end(), '<') , std::count(html.begin(), html.end(), '>'));
  const std::string page = f.dir.File("report.html");
  std::ofstream(page) << html;

  const char* browser = nullptr;
  for (const char* b : {"/usr/bin/chromium", "/usr/bin/chromium-browser"}) {
    if (std::ifstream(b)) browser = b;
  }
  if (!browser) GTEST_SKIP() << "chromium is not installed (scripts/install-deps.sh installs it): no screenshot";
  const std::string png = f.dir.File("report.png"), log = f.dir.File("chromium.log");
  const std::string cmd = std::string("timeout 60 ") + browser +
                          " --headless --no-sandbox --disable-gpu --hide-scrollbars --no-first-run"
                          " --user-data-dir=" + f.dir.File("profile") +
                          " --enable-logging=stderr --v=0 --window-size=1000,1400 --screenshot=" + png +
                          " file://" + page + " > " + log + " 2>&1";
  ASSERT_EQ(std::system(cmd.c_str()), 0) << Slurp(log);
  // Console messages (script errors, refused loads) are logged as CONSOLE lines.
  const std::string messages = Slurp(log);
  EXPECT_EQ(messages.find("CONSOLE"), std::string::npos) << messages;
  const std::string image = Slurp(png);
  ASSERT_GT(image.size(), 24u);
  ASSERT_EQ(image.substr(1, 3), "PNG");
  auto be32 = [&](size_t at) {
    return (uint32_t(uint8_t(image[at])) << 24) | (uint32_t(uint8_t(image[at + 1])) << 16) |
           (uint32_t(uint8_t(image[at + 2])) << 8) | uint32_t(uint8_t(image[at + 3]));
  };
  EXPECT_EQ(be32(16), 1000u);  // IHDR width and height
  EXPECT_EQ(be32(20), 1400u);
  // A blank page of that size compresses to a few kilobytes; tables and charts do not.
  EXPECT_GT(image.size(), 40000u);
}

TEST(Purge, DeletesOldRowsInBatchesWhileAServiceWrites) {
  test::ServiceFixture f;
  f.AddService(1, "ORCL", 1522, 1523);
  const double now = platform::NowDateTime();
  const std::string old_date = platform::FormatTimestamp(now - 40), new_date = platform::FormatTimestamp(now - 1);
  // Statement 1 ran only long ago, 2 long ago and lately, 3 lately, 4 was just stored and
  // its executions are still queued in the service: none of its rows is written yet.
  f.Exec("insert into qx_client_sql (id, sqlhash, sqltext) values (1, 'h1', 'a'), (2, 'h2', 'b'), (3, 'h3', 'c'), "
         "(4, 'h4', 'd');"
         "update qx_sequences set value = 1000000 where name = 'qx_client_sqlhist_id_seq';"
         "with recursive n(i) as (select 1 union all select i + 1 from n where i < 2500) "
         "insert into qx_client_sql_history (id, sql_id, srvc_id, exec_date, exec_time) "
         "select i, 1 + i % 2, 1, datetime('" + old_date + "', '+' || (i % 600) || ' seconds'), 1 from n;"
         "with recursive n(i) as (select 1 union all select i + 1 from n where i < 300) "
         "insert into qx_client_sql_history (id, sql_id, srvc_id, exec_date, exec_time) "
         "select 10000 + i, 2 + i % 2, 1, '" + new_date + "', 1 from n;");
  const std::string cs = "sqlite:" + f.dir.File("repo.db");
  std::atomic<bool> purging{true};
  std::atomic<int> written{0}, failed{0};
  std::thread writer([&] {
    auto session = repository::Session::Create(cs, f.dir.Dir());
    session->Connect();
    // Bounded: at most 1000 groups of 25 rows, one every 2 ms, only while the purge runs.
    for (int group = 0; group < 1000 && (purging || group == 0); ++group) {
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
      auto st = session->NewStatement(repository::SqlId::kInsertSqlHistoryOutcome);
      st->ExecuteRows(
          25,
          [&](size_t) {
            st->SetNumber("sql_id", 3);
            st->SetNumber("srvc_id", 1);
            st->SetDateTime("exec_date", platform::NowDateTime());
            st->SetNumber("exec_time", 2);
            for (const char* name : {"session_id", "host", "ip", "orauser", "service_name", "sid", "program",
                                     "username", "rows_processed", "error_code"}) {
              st->SetNull(name);
            }
          },
          [&](size_t, const std::exception&) { ++failed; });
      written += 25;
    }
  });
  // After each batch the purge waits (at most 2 s) for the writer to commit more rows, so
  // that writes fall between the batches.
  auto purger = repository::Session::Create(cs, f.dir.Dir());
  purger->Connect();
  std::vector<int> written_at_batch;
  const PurgeCounts counts = Purge(*purger, now - 30, 200, [&](const PurgeCounts&) {
    const int before = written;
    for (int i = 0; i < 200 && written == before; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    written_at_batch.push_back(written);
  });
  purging = false;
  writer.join();
  EXPECT_EQ(counts.history, 2500);
  EXPECT_EQ(counts.statements, 1);
  EXPECT_EQ(counts.batches, 13);
  ASSERT_EQ(written_at_batch.size(), 13u);
  EXPECT_LT(written_at_batch.front(), written_at_batch.back());  // the writer wrote throughout
  EXPECT_EQ(failed.load(), 0);
  EXPECT_EQ(f.Scalar("select count(*) from qx_client_sql_history where exec_date < '" +
                     platform::FormatTimestamp(now - 30) + "'"), "0");
  EXPECT_EQ(f.Scalar("select count(*) from qx_client_sql_history"), std::to_string(300 + written.load()));
  EXPECT_EQ(f.Scalar("select group_concat(id) from (select id from qx_client_sql order by id)"), "2,3,4");

  // A service that still had statement 1's id writes under it: top shows those executions.
  f.Exec("insert into qx_client_sql_history (id, sql_id, srvc_id, exec_date, exec_time) values (5, 1, 1, '" +
         new_date + "', 99999)");
  std::ostringstream top, top_err;
  ASSERT_EQ(RunAdmin({"-r", cs, "report", "top", "--format", "csv", "--limit", "1"}, f.dir.Dir(), top, top_err), 0)
      << top_err.str();
  EXPECT_NE(top.str().find("\n1,1,1,99999,"), std::string::npos) << top.str();
  EXPECT_NE(top.str().find(",(statement 1 is not in the catalogue)\n"), std::string::npos) << top.str();

  std::ostringstream out2, err;
  EXPECT_EQ(RunAdmin({"-r", cs, "purge", "--before", "30d"}, f.dir.Dir(), out2, err), 0) << err.str();
  EXPECT_NE(out2.str().find("Deleted 0 history row(s) before "), std::string::npos) << out2.str();
  EXPECT_NE(out2.str().find(" and 0 statement(s) no row names any more, in 0 batch(es)"), std::string::npos);
  EXPECT_EQ(RunAdmin({"-r", cs, "purge", "--before", "2099-01-01"}, f.dir.Dir(), out2, err), 2);
  EXPECT_EQ(RunAdmin({"-r", cs, "purge"}, f.dir.Dir(), out2, err), 2);
}

}  // namespace
}  // namespace qx::admin
