// qxadmin report top on a workload whose figures are known: every format gives the truth.
#include <gtest/gtest.h>

#include <sstream>

#include "admin/admin.h"
#include "sql/store_support.h"
#include "support/service_fixture.h"

namespace qx::admin {
namespace {

class ReportTop : public ::testing::Test {
 protected:
  void SetUp() override {
    f.AddService(1, "ORCL", 1522, 1523);
    f.AddService(2, "OTHER", 1532, 1533);
    f.Exec(
        "insert into qx_client_sql (id, sqlhash, sqltext) values "
        "(1, 'h1', 'select * from emp where empno = 1'), (2, 'h2', 'SELECT * FROM emp WHERE empno = 2'),"
        "(3, 'h3', 'update t set a = 1');"
        // Statement 1: 100 executions of 1..100 ms by SCOTT at 10:00:01.., 1 row each.
        "with recursive n(i) as (select 1 union all select i + 1 from n where i < 100) "
        "insert into qx_client_sql_history (id, sql_id, srvc_id, exec_date, exec_time, orauser, "
        "rows_processed, error_code) select i, 1, 1, datetime('2026-12-09 10:00:00', '+' || i || "
        "' seconds'), i, 'SCOTT', 1, 0 from n;"
        // Statement 2: 10 of 500 ms by ALICE at 10:30, two failed with ORA-00942.
        "with recursive n(i) as (select 1 union all select i + 1 from n where i < 10) "
        "insert into qx_client_sql_history (id, sql_id, srvc_id, exec_date, exec_time, orauser, "
        "rows_processed, error_code) select 100 + i, 2, 1, '2026-12-09 10:30:00', 500, 'ALICE', "
        "0, case when i <= 2 then 942 else 0 end from n;"
        // Statement 3: 5 of 1000 ms at 12:00, 3 rows each; one more on the other service.
        "with recursive n(i) as (select 1 union all select i + 1 from n where i < 5) "
        "insert into qx_client_sql_history (id, sql_id, srvc_id, exec_date, exec_time, orauser, "
        "rows_processed, error_code) select 200 + i, 3, 1, '2026-12-09 12:00:00', 1000, 'SCOTT', "
        "3, 0 from n;"
        "insert into qx_client_sql_history (id, sql_id, srvc_id, exec_date, exec_time) values "
        "(300, 3, 2, '2026-12-09 12:00:00', 7);");
    std::string out;
    ASSERT_EQ(Run({"upgrade", cs()}, &out), 0) << out;  // fills the fingerprints
  }
  std::string cs() { return "sqlite:" + f.dir.File("repo.db"); }
  int Run(std::vector<std::string> args, std::string* out) {
    std::ostringstream o, e;
    const int rc = RunAdmin(args, f.dir.Dir(), o, e);
    *out = o.str() + e.str();
    return rc;
  }
  std::string Report(std::vector<std::string> args) {
    std::vector<std::string> all = {"-r", cs(), "report", "top", "--service", "ORCL"};
    all.insert(all.end(), args.begin(), args.end());
    std::string out;
    EXPECT_EQ(Run(all, &out), 0) << out;
    return out;
  }
  test::ServiceFixture f;
};

TEST_F(ReportTop, CsvCarriesEveryFigureOfEachStatement) {
  const std::string csv = Report({"--format", "csv"});
  EXPECT_EQ(csv,
            "rank,sql_id,executions,total_ms,avg_ms,p50_ms,p95_ms,p99_ms,max_ms,rows,errors,"
            "share_pct,first_seen,last_seen,text\n"
            "1,1,100,5050,50.500,50,95,99,100,100,0,33.555,2026-12-09 10:00:01,2026-12-09 10:01:40,"
            "select * from emp where empno = 1\n"
            "2,2,10,5000,500,500,500,500,500,0,2,33.223,2026-12-09 10:30:00,2026-12-09 10:30:00,"
            "SELECT * FROM emp WHERE empno = 2\n"
            "3,3,5,5000,1000,1000,1000,1000,1000,15,0,33.223,2026-12-09 12:00:00,2026-12-09 12:00:00,"
            "update t set a = 1\n");
}

TEST_F(ReportTop, FingerprintsMergeStatementsAndFiltersAndOrdersApply) {
  const std::string fp = Report({"--by", "fingerprint", "--format", "csv"});
  EXPECT_NE(fp.find(",110,10050,91.364,55,500,500,500,100,2,66.777,2026-12-09 10:00:01,"
                    "2026-12-09 10:30:00,select * from emp where empno = ?\n"),
            std::string::npos) << fp;
  const std::string alice = Report({"--user", "ALICE", "--format", "csv"});
  EXPECT_NE(alice.find("\n1,2,10,5000,"), std::string::npos) << alice;
  EXPECT_EQ(std::count(alice.begin(), alice.end(), '\n'), 2);
  const std::string window = Report({"--since", "2026-12-09 11:00", "--until", "2026-12-09 13:00",
                                     "--format", "csv"});
  EXPECT_NE(window.find("\n1,3,5,5000,"), std::string::npos) << window;
  EXPECT_EQ(std::count(window.begin(), window.end(), '\n'), 2);
  const std::string by_execs = Report({"--order", "errors", "--limit", "1", "--format", "csv"});
  EXPECT_NE(by_execs.find("\n1,2,10,"), std::string::npos) << by_execs;
  const std::string slow = Report({"--min-time", "600", "--format", "csv"});
  EXPECT_NE(slow.find("\n1,3,5,5000,"), std::string::npos) << slow;
}

TEST_F(ReportTop, JsonAndTextCarryTheSameFigures) {
  const std::string json = Report({"--format", "json", "--limit", "1"});
  EXPECT_NE(json.find("\"total_time_ms\": 15050"), std::string::npos) << json;
  EXPECT_NE(json.find("{\"rank\": 1, \"key\": \"1\", \"executions\": 100, \"total_ms\": 5050, "
                      "\"avg_ms\": 50.500, \"p50_ms\": 50, \"p95_ms\": 95, \"p99_ms\": 99, "
                      "\"max_ms\": 100, \"rows\": 100, \"errors\": 0, \"share_pct\": 33.555"),
            std::string::npos) << json;
  const std::string text = Report({});
  std::istringstream lines(text);
  std::string line;
  while (std::getline(lines, line)) EXPECT_LE(line.size(), 80u) << line;
  std::istringstream second(text.substr(text.find('\n') + 1));
  std::vector<std::string> cells(9);
  for (auto& c : cells) second >> c;
  EXPECT_EQ(cells, (std::vector<std::string>{"1", "1", "100", "5050", "51", "95", "0", "34%",
                                             "select"})) << text;
  std::string out;
  EXPECT_EQ(Run({"-r", cs(), "report", "top", "--order", "median"}, &out), 2) << out;
}

}  // namespace
}  // namespace qx::admin
