// qxadmin: schema creation, the service and filter commands, their input checks and listings.

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include "admin/admin.h"
#include "admin/table_printer.h"
#include "repository/repository.h"
#include "support/test_util.h"

namespace qx::admin {
namespace {

using qx::test::TempDir;

struct Result {
  int code;
  std::string out, err;
};

class Qxadmin : public ::testing::Test {
 protected:
  Result Run(std::vector<std::string> args) {
    std::ostringstream out, err;
    const int code = RunAdmin(args, dir_.Dir(), out, err);
    return {code, out.str(), err.str()};
  }
  // Runs a command on the test repository.
  Result On(std::vector<std::string> args) {
    args.insert(args.begin(), {"-r", "sqlite:repo.db"});
    return Run(args);
  }
  void Init() { ASSERT_EQ(Run({"init", "sqlite:repo.db"}).code, 0); }
  void AddOrcl() {
    ASSERT_EQ(On({"service", "add", "--name", "orcl", "--oracle-host", "127.0.0.1",
                  "--oracle-port", "1521", "--work-port", "1522", "--manage-port", "1523"})
                  .code,
              0);
  }
  int Count(const std::string& table) {
    auto s = repository::Session::Create("sqlite:repo.db", dir_.Dir());
    s->Connect();
    auto q = s->NewFreeQuery("select count(*) from " + table);
    q->Open();
    return q->FirstAsInteger();
  }
  TempDir dir_;
};

TEST_F(Qxadmin, InitCreatesTheSchemaOnceAndRefusesAnExistingOne) {
  const Result first = Run({"init", "sqlite:repo.db"});
  ASSERT_EQ(first.code, 0) << first.err;
  EXPECT_NE(first.out.find("Created the repository file " + dir_.File("repo.db")),
            std::string::npos);
  for (const char* object : {"table QX_SERVICE_LIST", "table qx_service_filter",
                             "table qx_sql_filter", "table qx_service_status",
                             "table qx_client_sql", "table qx_client_sql_history",
                             "sequence qx_session_id_seq", "sequence qx_client_sql_id_seq",
                             "sequence qx_client_sqlhist_id_seq"}) {
    EXPECT_NE(first.out.find(std::string("Created ") + object + "\n"), std::string::npos)
        << object;
  }
  AddOrcl();
  const Result again = Run({"-r", "sqlite:repo.db", "init"});
  EXPECT_EQ(again.code, 1);
  EXPECT_NE(again.err.find("already has the Quorvex schema"), std::string::npos) << again.err;
  EXPECT_EQ(again.out, "");
  EXPECT_EQ(Count("QX_SERVICE_LIST"), 1);  // untouched

  // Commands other than init need the schema and never create a file.
  EXPECT_EQ(Run({"-r", "sqlite:other.db", "service", "list"}).code, 1);
  EXPECT_FALSE(std::ifstream(dir_.File("other.db")).good());
}

TEST_F(Qxadmin, InitOnAPartialSchemaChangesNothing) {
  sqlite3* raw = nullptr;
  ASSERT_EQ(sqlite3_open(dir_.File("repo.db").c_str(), &raw), SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(raw, "create table qx_sql_filter (id number)", nullptr, nullptr, nullptr),
            SQLITE_OK);
  sqlite3_close(raw);
  const Result r = Run({"init", "sqlite:repo.db"});
  EXPECT_EQ(r.code, 1);
  EXPECT_NE(r.err.find("table qx_sql_filter already exists"), std::string::npos) << r.err;
  // The script ran as one transaction: the tables before the failing one are gone again.
  EXPECT_EQ(Run({"init", "sqlite:repo.db"}).code, 1);
  EXPECT_EQ(Run({"-r", "sqlite:repo.db", "service", "list"}).code, 1);
}

TEST_F(Qxadmin, RejectsInvalidInputWithoutWritingAnything) {
  Init();
  AddOrcl();
  const std::vector<std::string> base = {"service", "add", "--name", "x", "--oracle-host", "h",
                                         "--oracle-port", "1521"};
  auto service = [&](std::vector<std::string> extra) {
    std::vector<std::string> args = base;
    args.insert(args.end(), extra.begin(), extra.end());
    return On(args);
  };
  const std::vector<std::pair<Result, std::string>> cases = {
      {service({"--work-port", "65536", "--manage-port", "2"}), "--work-port must be a port"},
      {service({"--work-port", "-1", "--manage-port", "2"}), "--work-port must be a port"},
      {service({"--work-port", "12a", "--manage-port", "2"}), "--work-port must be a port"},
      {service({"--work-port", "7", "--manage-port", "7"}), "must be different"},
      {service({"--work-port", "1"}), "--manage-port is required"},
      {service({"--work-port", "0", "--manage-port", "9"}), "needs --ip-interface"},
      {service({"--work-port", "1", "--manage-port", "2", "--ip-interface", "1.2.3"}),
       "IPv4"},
      {service({"--work-port", "1", "--manage-port", "2", "--colour", "red"}),
       "--colour does not belong"},
      {On({"service", "add", "--name", "a,b", "--oracle-host", "h", "--oracle-port", "1",
           "--work-port", "2", "--manage-port", "3"}),
       "must not contain"},
      {On({"service-filter", "add", "--service", "orcl", "--type", "maybe", "--sid", "X"}),
       "--type must be INCLUDE or EXCLUDE"},
      {On({"service-filter", "add", "--service", "orcl", "--type", "include", "--date-expr",
           "1=1"}),
       "needs at least one of"},
      {On({"sql-filter", "add", "--service", "orcl", "--type", "exclude", "--exec-time", "1e3"}),
       "--exec-time must be a number"},
      {On({"sql-filter", "add", "--service", "orcl", "--type", "exclude"}),
       "needs at least one of"},
      {On({"sql-filter", "add", "--service", "orcl", "--type", "exclude", "--exec-date-expr",
           "to_char(:date,'D') not in ('1',"}),
       "not a condition the repository can run"},
      {On({"sql-filter", "disable", "--id", "one"}), "--id must be a whole number"},
      {On({"service", "frobnicate"}), "Unknown command"},
      {On({"service-filter", "add", "--service", "orcl", "--sid"}), "needs a value"},
  };
  for (const auto& [result, message] : cases) {
    EXPECT_EQ(result.code, 2) << message << ": " << result.err;
    EXPECT_NE(result.err.find(message), std::string::npos) << result.err;
  }
  EXPECT_EQ(Count("QX_SERVICE_LIST"), 1);
  EXPECT_EQ(Count("qx_service_filter"), 0);
  EXPECT_EQ(Count("qx_sql_filter"), 0);

  // Names the repository does not have.
  EXPECT_EQ(On({"service-filter", "add", "--service", "nope", "--type", "include", "--sid", "X"})
                .code,
            1);
  EXPECT_EQ(On({"sql-filter", "remove", "--id", "42"}).code, 1);
  const Result dup = On({"service", "add", "--name", "ORCL", "--oracle-host", "h",
                         "--oracle-port", "1", "--work-port", "2", "--manage-port", "3"});
  EXPECT_EQ(dup.code, 1);
  EXPECT_NE(dup.err.find("already exists"), std::string::npos);
}

TEST_F(Qxadmin, ConfiguresWhatTheServiceLoads) {
  Init();
  AddOrcl();
  ASSERT_EQ(On({"service", "add", "--name", "pass", "--oracle-host", "127.0.0.2",
                "--oracle-port", "1521", "--work-port", "0", "--manage-port", "1524",
                "--ip-interface", "127.0.0.1"})
                .code,
            0);
  Result r = On({"service-filter", "add", "--service", "ORCL", "--type", "include", "--program",
                 "sqlplus.exe", "--date-expr", "TO_CHAR(:CONN_TIME,'HH24') BETWEEN '08' AND '17'"});
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(r.out, "Added INCLUDE service filter with id 1 for service orcl\n");
  ASSERT_EQ(On({"service-filter", "add", "--service-id", "1", "--type", "EXCLUDE", "--host",
                "BUILD01", "--disabled"})
                .code,
            0);
  r = On({"sql-filter", "add", "--service", "orcl", "--type", "exclude", "--exec-time", "1000",
          "--exec-date-expr", "to_char(:date,'D') not in ('1','7')", "--object-list",
          "EMP, \"DEPT\""});
  ASSERT_EQ(r.code, 0) << r.err;

  r = On({"service", "list", "--csv"});
  EXPECT_EQ(r.out,
            "ID,NAME,MODE,ORACLE_HOST,ORACLE_PORT,WORK_PORT,MANAGE_PORT,IP_INTERFACE\n"
            "1,orcl,active,127.0.0.1,1521,1522,1523,\n"
            "2,pass,passive,127.0.0.2,1521,0,1524,127.0.0.1\n");
  r = On({"sql-filter", "list", "--csv"});
  EXPECT_EQ(r.out,
            "ID,SERVICE_ID,SERVICE,TYPE,EXEC_DATE_EXPR,EXEC_TIME,SQLSTATEMENT,OBJECT_LIST,"
            "ENABLED\n"
            "1,1,orcl,EXCLUDE,\"to_char(:date,'D') not in ('1','7')\",1000,,\"EMP, \"\"DEPT\"\"\","
            "Y\n");
  r = On({"service", "list"});
  EXPECT_NE(r.out.find("ID  NAME  MODE     ORACLE_HOST  ORACLE_PORT"), std::string::npos)
      << r.out;

  // What the service loads: the enabled rows only; disabling and enabling flip that.
  auto loaded = [&] {
    auto s = repository::Session::Create("sqlite:repo.db", dir_.Dir());
    s->Connect();
    auto q = s->NewQuery(repository::SqlId::kLoadServiceFilters);
    q->SetNumber("service_id", 1);
    q->Open();
    std::string ids;
    for (; !q->Eof(); q->Next()) ids += q->FieldAsString("id") + q->FieldAsString("program") + ";";
    return ids;
  };
  EXPECT_EQ(loaded(), "1sqlplus.exe;");
  EXPECT_EQ(On({"service-filter", "enable", "--id", "2"}).code, 0);
  EXPECT_EQ(On({"service-filter", "disable", "--id", "1"}).code, 0);
  EXPECT_EQ(loaded(), "2;");
  r = On({"service-filter", "list", "--service", "pass"});
  EXPECT_EQ(r.out.find('\n', r.out.find('\n') + 1) + 1, r.out.size());  // header and dashes only

  r = On({"service", "remove", "--name", "orcl"});
  EXPECT_EQ(r.out, "Removed service orcl (id 1) with 2 service filter(s) and 1 SQL filter(s)\n");
  EXPECT_EQ(Count("qx_service_filter"), 0);
  EXPECT_EQ(Count("qx_sql_filter"), 0);
  EXPECT_EQ(Count("QX_SERVICE_LIST"), 1);
}

TEST_F(Qxadmin, TakesTheRepositoryFromQxserviceIni) {
  Init();
  EXPECT_EQ(Run({"service", "list"}).code, 2);  // no ini, no -r
  std::ofstream(dir_.File("qxservice.ini")) << "[other]\nrpstConnStr=sqlite:nope.db\n"
                                            << "[ SERVICE ]\n  RPSTCONNSTR = sqlite:repo.db \n";
  AddOrcl();
  const Result r = Run({"service", "list", "--csv"});
  EXPECT_EQ(r.code, 0) << r.err;
  EXPECT_NE(r.out.find("1,orcl,active"), std::string::npos);
}

TEST(QxadminExecutable, PrintsHelpAndInitsARelativePathBesideItself) {
  const std::string exe = test::BinaryPath("qxadmin");
  std::string help;
  EXPECT_EQ(test::RunProgram({exe, "--help"}, &help), 0);
  for (const char* cmd : {"init CONNECT_STRING", "service add", "service list", "service remove",
                          "service-filter add", "service-filter enable|disable|remove",
                          "sql-filter add", "sql-filter list", "--csv"}) {
    EXPECT_NE(help.find(cmd), std::string::npos) << cmd;
  }
  TempDir dir;
  const std::string db = dir.File("abs.db");
  std::string out;
  EXPECT_EQ(test::RunProgram({exe, "init", "sqlite:" + db}, &out), 0) << out;
  EXPECT_NE(test::RunProgram({exe, "init", "sqlite:" + db}, &out), 0);
  EXPECT_EQ(test::RunProgram({exe, "-r", "sqlite:" + db, "service", "list", "--manage-port", "5"}, &out),
            2);
}

TEST(TablePrinter, AlignsColumnsAndQuotesCsv) {
  const Table t{{"ID", "TEXT"}, {{"1", "a,b"}, {"22", "say \"hi\"\nthere"}}};
  std::ostringstream aligned, csv;
  PrintAligned(t, aligned);
  PrintCsv(t, csv);
  EXPECT_EQ(aligned.str(), "ID  TEXT\n--  --------------\n1   a,b\n22  say \"hi\" there\n");
  EXPECT_EQ(csv.str(), "ID,TEXT\n1,\"a,b\"\n22,\"say \"\"hi\"\"\nthere\"\n");
}

}  // namespace
}  // namespace qx::admin
