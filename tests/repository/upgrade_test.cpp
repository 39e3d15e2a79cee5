// qxadmin upgrade on a repository made by the earlier qxadmin init (tests/data/
// sqlite_schema_v1.sql), with rows in it, on SQLite and on the Oracle backend (the OCI
// stand-in): rows stay, the outcome columns and missing indexes appear, a second upgrade
// changes nothing, and the history writer fills the columns only when they exist.
#include <gtest/gtest.h>

#include <sstream>

#include "admin/admin.h"
#include "platform/platform.h"
#include "repository/oracle/oracle_session.h"
#include "repository/upgrade.h"
#include "sql/history_writer.h"
#include "sql/sql_store.h"
#include "support/service_fixture.h"
#include "sql/store_support.h"

namespace qx::repository {
namespace {

using test::Rows;

sql::HistoryRow Hist(double sql_id, std::optional<double> rows, std::optional<int> error) {
  sql::HistoryRow r;
  r.sql_id = sql_id;
  r.srvc_id = 1;
  r.exec_date = 45000.5;
  r.exec_time = 12;
  r.username = "alice";
  r.rows_processed = rows;
  r.error_code = error;
  return r;
}

int Admin(const std::vector<std::string>& args, const std::string& dir, std::string* out) {
  std::ostringstream o, e;
  const int rc = admin::RunAdmin(args, dir, o, e);
  *out = o.str() + e.str();
  return rc;
}

TEST(Upgrade, SqliteRepositoryOfTheEarlierInitKeepsItsRowsAndGainsTheOutcomeColumns) {
  test::ServiceFixture f;
  std::string v1;
  ASSERT_TRUE(platform::ReadFile(std::string(QX_SOURCE_DIR) + "/tests/data/sqlite_schema_v1.sql", &v1));
  std::string drop;
  for (const TableDef& t : Tables()) drop += "drop table " + t.name + ";";
  f.Exec(drop + "drop table qx_sequences;" + v1);
  f.Exec("insert into qx_client_sql (id, sqlhash, sqltext) values (7, 'h7', 'select 1 from dual');"
         "insert into qx_client_sql_history (id, sql_id, srvc_id, exec_time, username) values "
         "(1, 7, 1, 3, 'bob'), (2, 7, 1, 4, 'carol');"
         "update qx_sequences set value = 2 where name = 'qx_client_sqlhist_id_seq'");

  auto& session = *f.svc.session;
  EXPECT_FALSE(HasColumns(session, "qx_client_sql_history", {"rows_processed", "error_code"}));
  // Without the columns the writer writes what the table has; the outcome is dropped.
  f.svc.historyOutcomeColumns = false;
  sql::WriteHistoryRows(f.svc, {Hist(7, 1, 0)});
  EXPECT_TRUE(f.ErrorLog().empty()) << f.ErrorLog().front();

  const std::string cs = "sqlite:" + f.dir.File("repo.db");
  std::string out;
  ASSERT_EQ(Admin({"upgrade", cs}, f.dir.Dir(), &out), 0) << out;
  EXPECT_NE(out.find("Added column qx_client_sql_history.rows_processed"), std::string::npos) << out;
  EXPECT_NE(out.find("Added column qx_client_sql_history.error_code"), std::string::npos);
  EXPECT_NE(out.find("Added index qx_client_sql_history_date"), std::string::npos);
  EXPECT_NE(out.find("Fingerprinted 1 stored statement(s)"), std::string::npos) << out;
  EXPECT_NE(out.find("Absent: index qx_client_sql_history_sql "), std::string::npos) << out;
  EXPECT_EQ(Rows(f, "select fingerprint from qx_client_sql"), (std::vector<test::Row>{{"select ? from dual"}}));
  ASSERT_EQ(Admin({"upgrade", cs}, f.dir.Dir(), &out), 0) << out;
  EXPECT_EQ(out.find("Added"), std::string::npos) << out;
  EXPECT_NE(out.find("nothing was changed"), std::string::npos) << out;

  EXPECT_TRUE(HasColumns(session, "qx_client_sql_history", {"rows_processed", "error_code"}));
  f.svc.historyOutcomeColumns = true;
  sql::WriteHistoryRows(f.svc, {Hist(7, 5, 0), Hist(7, std::nullopt, 942), Hist(7, {}, {})});
  EXPECT_TRUE(f.ErrorLog().empty()) << f.ErrorLog().front();
  EXPECT_EQ(Rows(f, "select id, username, exec_time, rows_processed, error_code from "
                    "qx_client_sql_history order by id"),
            (std::vector<test::Row>{{"1", "bob", "3", "<null>", "<null>"},
                                    {"2", "carol", "4", "<null>", "<null>"},
                                    {"3", "alice", "12", "<null>", "<null>"},
                                    {"4", "alice", "12", "5", "0"},
                                    {"5", "alice", "12", "<null>", "942"},
                                    {"6", "alice", "12", "<null>", "<null>"}}));
  EXPECT_EQ(Rows(f, "select sqltext from qx_client_sql"), (std::vector<test::Row>{{"select 1 from dual"}}));
  // New statements are stored with their fingerprint once the columns are there.
  f.svc.fingerprintColumns = true;
  auto& service = test::AddServiceRecord(f, 1, "ORCL");
  auto record = test::NewRecord(&service, 1);
  record->sqlText = "SELECT * FROM emp WHERE empno = 7369";
  record->sqlStart = 45000.5;
  sql::SaveSQL(f.svc, *record, 3);
  EXPECT_EQ(Rows(f, "select fingerprint from qx_client_sql where sqlhash <> 'h7'"),
            (std::vector<test::Row>{{"select * from emp where empno = ?"}}));
  // A repository without the schema is refused, not created.
  EXPECT_EQ(Admin({"upgrade", "sqlite:" + f.dir.File("none.db")}, f.dir.Dir(), &out), 1) << out;
}

// The previous init made an index by statement alone, which the index by statement and time
// serves as well; upgrade drops it. A new repository keys its rows by rowid, without a
// separate key index, and refuses a second row of the same id all the same.
TEST(Upgrade, SqliteRepositoryLosesTheRedundantStatementIndexAndNewOnesKeyHistoryByRowid) {
  test::ServiceFixture f;
  const std::string index = "select name from sqlite_master where tbl_name = "
                            "'qx_client_sql_history' and type = 'index' order by name";
  EXPECT_EQ(Rows(f, index), (std::vector<test::Row>{{"qx_client_sql_history_date"},
                                                    {"qx_client_sql_history_sql_time"},
                                                    {"qx_client_sql_history_svc"}}));
  f.Exec("insert into qx_client_sql_history (id, sql_id) values (41, 7)");
  EXPECT_EQ(Rows(f, "select rowid from qx_client_sql_history"), (std::vector<test::Row>{{"41"}}));
  EXPECT_THROW(f.Exec("insert into qx_client_sql_history (id, sql_id) values (41, 8)"),
               std::runtime_error);

  f.Exec("create index qx_client_sql_history_sql on qx_client_sql_history (sql_id)");
  const std::string cs = "sqlite:" + f.dir.File("repo.db");
  std::string out;
  ASSERT_EQ(Admin({"upgrade", cs}, f.dir.Dir(), &out), 0) << out;
  EXPECT_NE(out.find("Dropped index qx_client_sql_history_sql on qx_client_sql_history"),
            std::string::npos) << out;
  EXPECT_EQ(Rows(f, index).size(), 3u);
  ASSERT_EQ(Admin({"upgrade", cs}, f.dir.Dir(), &out), 0) << out;
  EXPECT_NE(out.find("nothing was changed"), std::string::npos) << out;
}

struct Stub {
  void (*reset)();
  const char* (*log)();
  void (*queue_result)(const char*, const char*);
  static Stub& Get() {
    static Stub s = [] {
      Stub r{};
      void* lib = platform::OpenLibrary(QX_OCISTUB_PATH);
      r.reset = reinterpret_cast<void (*)()>(platform::LibrarySymbol(lib, "ocistub_reset"));
      r.log = reinterpret_cast<const char* (*)()>(platform::LibrarySymbol(lib, "ocistub_log"));
      r.queue_result = reinterpret_cast<void (*)(const char*, const char*)>(
          platform::LibrarySymbol(lib, "ocistub_queue_result"));
      return r;
    }();
    return s;
  }
};

TEST(Upgrade, OracleRepositoryGetsOnlyWhatItLacksAndTheWriterBindsNulls) {
  Stub& stub = Stub::Get();
  stub.reset();
  OracleOptions options;
  options.library_names = {QX_OCISTUB_PATH};
  options.reconnect_interval = std::chrono::milliseconds(0);
  std::unique_ptr<Session> session = CreateOracleSession("qxrep", "secret", "db:1521/P", options);
  session->Connect();
  const char* old_indexes =
      "QX_SERVICE_FILTER_SVC\nQX_SQL_FILTER_SVC\nQX_CLIENT_SQL_HASH\nQX_CLIENT_SQL_HISTORY_SQL\n"
      "QX_CLIENT_SQL_HISTORY_DATE\nQX_CLIENT_SQL_PK";
  const char* old_columns = "ID\nSQL_ID\nSRVC_ID\nEXEC_DATE\nEXEC_TIME\nSESSION_ID\nHOST\nIP\n"
                            "ORAUSER\nSERVICE_NAME\nSID\nPROGRAM\nUSERNAME";
  stub.queue_result("INDEX_NAME:1:128", old_indexes);
  const char* old_sql_columns = "ID\nSQLHASH\nSQLTEXT\nSQLTEXT1\nSQLTEXT2\nSQLTEXT3";
  stub.queue_result("COLUMN_NAME:1:128", old_columns);
  stub.queue_result("COLUMN_NAME:1:128", old_sql_columns);
  std::ostringstream out;
  EXPECT_EQ(Upgrade(*session, out), 9) << out.str();
  std::string log = stub.log();
  EXPECT_NE(log.find("text=CREATE INDEX qx_service_status_host ON qx_service_status (host)"), std::string::npos) << log;
  EXPECT_NE(log.find("text=ALTER TABLE qx_client_sql_history ADD (rows_processed NUMBER)"), std::string::npos);
  EXPECT_NE(log.find("text=ALTER TABLE qx_client_sql_history ADD (error_code NUMBER(10))"), std::string::npos);
  EXPECT_NE(log.find("text=ALTER TABLE qx_client_sql ADD (fingerprint_hash VARCHAR2(16 CHAR))"), std::string::npos);
  EXPECT_NE(log.find("text=CREATE INDEX qx_client_sql_history_svc ON qx_client_sql_history (srvc_id, exec_date)"), std::string::npos);
  EXPECT_NE(log.find("text=CREATE INDEX qx_client_sql_history_sql_time ON qx_client_sql_history (sql_id, exec_date, exec_time)"), std::string::npos);
  EXPECT_EQ(log.find("CREATE INDEX qx_client_sql_history_sql ON"), std::string::npos);
  EXPECT_NE(log.find("text=DROP INDEX qx_client_sql_history_sql\n"), std::string::npos) << log;

  stub.reset();
  old_indexes = "QX_SERVICE_FILTER_SVC\nQX_SQL_FILTER_SVC\nQX_CLIENT_SQL_HASH\n"
                "QX_CLIENT_SQL_HISTORY_DATE\nQX_CLIENT_SQL_PK";
  stub.queue_result("INDEX_NAME:1:128", (std::string(old_indexes) + "\nQX_SERVICE_STATUS_HOST\n"
                                          "QX_CLIENT_SQL_FP\nQX_CLIENT_SQL_HISTORY_SVC\n"
                                          "QX_CLIENT_SQL_HISTORY_SQL_TIME").c_str());
  stub.queue_result("COLUMN_NAME:1:128", (std::string(old_columns) + "\nROWS_PROCESSED\nERROR_CODE").c_str());
  stub.queue_result("COLUMN_NAME:1:128", (std::string(old_sql_columns) + "\nFINGERPRINT_HASH\nFINGERPRINT").c_str());
  EXPECT_EQ(Upgrade(*session, out), 0);
  log = stub.log();
  EXPECT_EQ(log.find("ALTER"), std::string::npos) << log;
  EXPECT_EQ(log.find("CREATE"), std::string::npos) << log;

  // The writer: an unknown outcome is bound NULL, a known one as its number.
  test::ServiceFixture f;
  f.svc.session->Disconnect();
  f.svc.session = std::move(session);
  f.svc.historyOutcomeColumns = true;
  stub.reset();
  sql::WriteHistoryRows(f.svc, {Hist(7, 5, 0), Hist(7, std::nullopt, 942)});
  log = stub.log();
  EXPECT_NE(log.find(":rows_processed=5 "), std::string::npos) << log;
  EXPECT_NE(log.find(":error_code=0"), std::string::npos) << log;
  EXPECT_NE(log.find(":rows_processed=NULL"), std::string::npos) << log;
  EXPECT_NE(log.find(":error_code=942"), std::string::npos) << log;
  EXPECT_TRUE(f.ErrorLog().empty()) << f.ErrorLog().front();
}

}  // namespace
}  // namespace qx::repository
